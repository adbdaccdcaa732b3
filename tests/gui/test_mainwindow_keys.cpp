// Drives the real main window through what goes beyond its toolbar: the filter bar over the list,
// sorting by the column headers, the keyboard and the right-click menus.

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit1/FilterBar.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/Unit1.h"
#include "widgets/Dialogs.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

// Answers every dialog the window shows.
class QuietDialogs : public Dialogs
{
public:
    QStringList errors;
    QString getExistingDirectory(QWidget*, const QString&, const QString&) override { return {}; }
    QMessageBox::StandardButton question(QWidget*, const QString&, const QString&,
                                         QMessageBox::StandardButtons, QMessageBox::StandardButton,
                                         QMessageBox::StandardButton) override
    {
        return QMessageBox::Yes;
    }
    void showError(QWidget*, const QString& message) override { errors.append(message); }
    int execModal(QDialog&) override { return QDialog::Accepted; }
};

std::string Line(const std::string& user, const std::string& stamp, const std::string& url)
{
    return "10.0.0.5 - " + user + " [" + stamp + " +0800] \"GET " + url + " HTTP/1.1\" \"HTTP\"";
}

// alice's requests over a turn of the year: as texts the dates sort otherwise than as times.
const std::string A0 = Line("alice", "31/Dec/2026:23:59:00", "http://b.example.com/one");
const std::string A1 = Line("alice", "01/Jan/2027:00:00:10", "http://a.example.org/two");
const std::string B0 = Line("bob", "31/Dec/2026:10:00:00", "http://c.example.com/bob");
const std::string A2 = Line("alice", "15/Dec/2026:08:30:00", "http://c.EXAMPLE.com/three");
const std::string A3 = Line("alice", "02/Jan/2027:12:00:00", "http://d.example.net/four");

void WriteFile(const QString& path, const std::string& bytes)
{
    std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary);
    out << bytes;
}

std::string ReadFile(const QString& path)
{
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

class TestMainWindowKeys : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_appDir;
    std::unique_ptr<QTemporaryDir> m_logDir;
    QuietDialogs m_dialogs;
    std::unique_ptr<TForm1> m_form;

    QString logPath() const { return m_logDir->filePath(QStringLiteral("log1.txt")); }

    TForm1& openWindow()
    {
        m_form = std::make_unique<TForm1>(QFile::encodeName(m_appDir->path()).toStdString());
        new QAbstractItemModelTester(m_form->treeModel(), m_form.get());
        new QAbstractItemModelTester(m_form->recordModel(), m_form.get());
        m_form->show();
        m_form->activateWindow();
        if (!QTest::qWaitForWindowActive(m_form.get()))
            qWarning("window not active");
        QSignalSpy built(m_form.get(), &TForm1::loadFinished);
        m_form->ComboBox1->setFocus();
        QTest::keyClick(m_form->ComboBox1, Qt::Key_Down);
        if (!built.wait(10000))
            qWarning("no tree");
        return *m_form;
    }

    void list(TForm1& form, int user)
    {
        QSignalSpy listed(&form, &TForm1::listingFinished);
        const QModelIndex index = form.treeModel()->index(user, 0);
        QTest::mouseClick(form.TreeView1->viewport(), Qt::LeftButton, {},
                          form.TreeView1->visualRect(index).center(),
                          QApplication::doubleClickInterval() + 1);
        QVERIFY(listed.count() > 0 || listed.wait(10000));
    }

    // The URL column of the shown rows, top to bottom.
    QStringList urls(TForm1& form)
    {
        QStringList out;
        RecordModel* model = form.recordModel();
        for (int row = 0; row < model->rowCount(); ++row)
            out << model->index(row, RecordModel::UrlColumn).data().toString();
        return out;
    }

    void clickHeader(TForm1& form, int column)
    {
        QHeaderView* header = form.ListView1->header();
        const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    }

private slots:
    void init()
    {
        m_appDir = std::make_unique<QTemporaryDir>();
        m_logDir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_appDir->isValid() && m_logDir->isValid());
        m_dialogs = QuietDialogs();
        Dialogs::setInstance(&m_dialogs);
        WriteFile(logPath(), A0 + "\r\n" + A1 + "\r\n" + B0 + "\r\n" + A2 + "\r\n" + A3 + "\r\n");
        WriteFile(m_appDir->filePath(QStringLiteral("config.ini")),
                  "[Logger]\r\nLogDir=" + QFile::encodeName(m_logDir->path()).toStdString() +
                      "\r\n");
    }

    void cleanup()
    {
        m_form.reset();
        Dialogs::setInstance(nullptr);
    }

    void theFilterBarNarrowsTheListAsItIsTyped()
    {
        TForm1& form = openWindow();
        list(form, 0);
        FilterBar* bar = form.filterBar();
        QCOMPARE(bar->countText(), QStringLiteral("4 of 4 rows"));

        // Case is ignored; every key narrows at once.
        QTest::keyClicks(bar->urlEdit(), QStringLiteral("EXAMPLE.c"));
        QCOMPARE(urls(form), QStringList({QStringLiteral("http://b.example.com/one"),
                                          QStringLiteral("http://c.EXAMPLE.com/three")}));
        QTest::keyClick(bar->urlEdit(), Qt::Key_O);
        QCOMPARE(form.recordModel()->rowCount(), 2);
        QCOMPARE(bar->countText(), QStringLiteral("2 of 4 rows"));
        QCOMPARE(form.panelText(1), QStringLiteral("Records Count: 2"));
        bar->urlEdit()->clear();

        // Times, not texts: from the last day of 2026 to the first of 2027, whole days.
        QTest::keyClicks(bar->fromEdit(), QStringLiteral("31/Dec/2026"));
        QTest::keyClicks(bar->toEdit(), QStringLiteral("2027-01-01"));
        QCOMPARE(urls(form), QStringList({QStringLiteral("http://b.example.com/one"),
                                          QStringLiteral("http://a.example.org/two")}));
        // A bound that names no time is left open until it is mended.
        bar->toEdit()->setText(QStringLiteral("soon"));
        QCOMPARE(form.recordModel()->rowCount(), 3);
        bar->fromEdit()->clear();
        bar->toEdit()->clear();
        QCOMPARE(bar->countText(), QStringLiteral("4 of 4 rows"));

        // The filter stays for the next listing.
        QTest::keyClicks(bar->urlEdit(), QStringLiteral(".com"));
        list(form, 1);
        QCOMPARE(urls(form), QStringList({QStringLiteral("http://c.example.com/bob")}));
        QCOMPARE(bar->countText(), QStringLiteral("1 of 1 rows"));
    }

    void headerClicksSortReverseAndRestoreFileOrder()
    {
        TForm1& form = openWindow();
        list(form, 0);
        const QString one = QStringLiteral("http://b.example.com/one");
        const QString two = QStringLiteral("http://a.example.org/two");
        const QString three = QStringLiteral("http://c.EXAMPLE.com/three");
        const QString four = QStringLiteral("http://d.example.net/four");
        clickHeader(form, RecordModel::DateColumn);
        QCOMPARE(urls(form), QStringList({three, one, two, four}));
        QCOMPARE(form.ListView1->header()->sortIndicatorOrder(), Qt::AscendingOrder);
        clickHeader(form, RecordModel::DateColumn);
        QCOMPARE(urls(form), QStringList({four, two, one, three}));
        clickHeader(form, RecordModel::DateColumn);
        QCOMPARE(urls(form), QStringList({one, two, three, four}));
        QVERIFY(!form.ListView1->header()->isSortIndicatorShown());
        clickHeader(form, RecordModel::UrlColumn);
        QCOMPARE(urls(form), QStringList({two, one, three, four}));

        // Sorted and filtered at once; a deletion removes only the rows shown and selected.
        form.filterBar()->urlEdit()->setText(QStringLiteral("example.com"));
        QCOMPARE(urls(form), QStringList({one, three}));
        form.ListView1->setFocus();
        form.ListView1->selectAll();
        QSignalSpy deleted(&form, &TForm1::deletionFinished);
        QTest::mouseClick(form.DeleteButton, Qt::LeftButton);
        QVERIFY(deleted.count() > 0 || deleted.wait(10000));
        QCOMPARE(ReadFile(logPath()), A1 + "\r\n" + B0 + "\r\n" + A3 + "\r\n");
        QCOMPARE(form.recordModel()->rowCount(), 0);
        QCOMPARE(form.filterBar()->countText(), QStringLiteral("0 of 2 rows"));
        form.filterBar()->urlEdit()->clear();
        QCOMPARE(urls(form), QStringList({two, four}));
    }
};

QTEST_MAIN(TestMainWindowKeys)
#include "test_mainwindow_keys.moc"
