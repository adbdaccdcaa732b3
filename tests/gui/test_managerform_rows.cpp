// The filter manager and the main window side by side: a colour changed in the manager shows
// on the main window's rows the next time they are painted, with no message between the two.

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit1/RecordModel.h"
#include "Unit1/Unit1.h"
#include "Unit2/ColorBox.h"
#include "Unit2/ListBox.h"
#include "Unit2/Unit2.h"
#include "filters/FilterStore.h"
#include "widgets/Dialogs.h"

#include "test_files.h"

#include <QComboBox>
#include <QFile>
#include <QListView>
#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <fstream>
#include <functional>
#include <memory>

namespace {

// Runs the filter manager through a script instead of a modal loop.
class ManagerScript : public Dialogs
{
public:
    std::function<void(TManagerForm&)> script;
    int opened = 0;
    QStringList errors;

    int execModal(QDialog& dialog) override
    {
        auto* form = qobject_cast<TManagerForm*>(&dialog);
        if (!form)
            return QDialog::Rejected;
        ++opened;
        form->show();
        if (!QTest::qWaitForWindowExposed(form))
            qWarning("filter manager not exposed");
        script(*form);
        form->close();
        return QDialog::Rejected;
    }
    void showError(QWidget*, const QString& message) override { errors << message; }
};

const char* const Log = "10.0.0.5 - alice [07/Dec/2026:03:44:43 +0800] \"GET "
                        "http://dl1.example.com/files/setup.zip HTTP/1.1\" \"HTTP\"\r\n"
                        "10.0.0.5 - alice [07/Dec/2026:03:46:10 +0800] \"GET "
                        "http://news.example.net/index.html HTTP/1.1\" \"HTTP\"\r\n";

} // namespace

class TestManagerFormRows : public QObject
{
    Q_OBJECT

private slots:
    void rowsTakeTheNewColourWhenNextPainted()
    {
        QTemporaryDir appDir;
        QTemporaryDir logDir;
        const std::string app = QFile::encodeName(appDir.path()).toStdString() + "/";
        WriteFile(logDir.filePath(QStringLiteral("log1.txt")), Log);
        WriteFile(appDir.filePath(QStringLiteral("config.ini")),
                  "[Logger]\r\nLogDir=" + QFile::encodeName(logDir.path()).toStdString() + "\r\n");
        qelt::FilterStore store(app);
        store.AddGroup("Downloads", 0x000080);
        store.AddFilter("Downloads", "setup.zip");

        ManagerScript dialogs;
        Dialogs::setInstance(&dialogs);
        TForm1 main(app);
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));

        QSignalSpy built(&main, &TForm1::loadFinished);
        main.ComboBox1->setFocus();
        QTest::keyClick(main.ComboBox1, Qt::Key_Down);
        QVERIFY(built.count() > 0 || built.wait(10000));
        QSignalSpy listed(&main, &TForm1::listingFinished);
        const QModelIndex alice = main.TreeView1->model()->index(0, 0);
        QTest::mouseClick(main.TreeView1->viewport(), Qt::LeftButton, {},
                          main.TreeView1->visualRect(alice).center());
        QVERIFY(listed.count() > 0 || listed.wait(10000));
        QCOMPARE(main.recordModel()->rowCount(), 2);

        const auto background = [&](int row) {
            return main.recordModel()
                ->index(row, RecordModel::UrlColumn)
                .data(Qt::BackgroundRole)
                .value<QColor>();
        };
        // The colour most of a row's visible URL cell shows on screen (the text covers little).
        const auto painted = [&](int row) {
            const QImage image = main.ListView1->viewport()->grab().toImage();
            const QRect cell =
                main.ListView1->visualRect(main.recordModel()->index(row, RecordModel::UrlColumn))
                    .intersected(image.rect());
            QMap<QRgb, int> counts;
            for (int y = cell.top(); y <= cell.bottom(); ++y)
                for (int x = cell.left(); x <= cell.right(); ++x)
                    ++counts[image.pixel(x, y)];
            QRgb most = 0;
            for (auto it = counts.cbegin(); it != counts.cend(); ++it)
                if (it.value() > counts.value(most))
                    most = it.key();
            return QColor(most);
        };
        QCOMPARE(background(0), QColor(0x80, 0, 0));
        QCOMPARE(painted(0), QColor(0x80, 0, 0));
        QVERIFY(!background(1).isValid());

        dialogs.script = [](TManagerForm& form) {
            const QRect row = form.GroupList->visualItemRect(form.GroupList->item(0));
            QTest::mouseClick(form.GroupList->viewport(), Qt::LeftButton, {}, row.center());
            form.ColorBox1->showPopup();
            QAbstractItemView* view = form.ColorBox1->view();
            QVERIFY(QTest::qWaitForWindowExposed(view->window()));
            const QRect lime = view->visualRect(view->model()->index(11, 0)); // clLime
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, lime.center());
        };
        QTest::mouseClick(main.FMButton, Qt::LeftButton);
        QCOMPARE(dialogs.opened, 1);
        QCOMPARE(store.GroupColor("Downloads"), std::optional<qelt::ColorValue>(0x00FF00));

        QCOMPARE(background(0), QColor(0, 0xFF, 0));
        QCOMPARE(painted(0), QColor(0, 0xFF, 0));
        QVERIFY(!background(1).isValid());
        QCOMPARE(painted(1), QColor(Qt::white));
        QVERIFY(dialogs.errors.isEmpty());
        Dialogs::setInstance(nullptr);
    }
};

QTEST_MAIN(TestManagerFormRows)
#include "test_managerform_rows.moc"
