// The window under a Russian locale: the program's translation and Qt's own are found and the
// captions, headers, status texts and dialogs read Russian. And the shipped translations are
// whole: every text translated, with the placeholders its English has.

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/Unit1.h"
#include "Unit2/ColorBox.h"
#include "Unit2/Unit2.h"
#include "common/QeltError.h"
#include "logaccess/LogFile.h"
#include "widgets/Translations.h"

#include "test_files.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QXmlStreamReader>

#include <cstdlib>
#include <fstream>

namespace {

// The placeholders %1 ... %99 of a text, sorted.
QStringList Placeholders(const QString& text)
{
    QStringList found;
    static const QRegularExpression pattern(QStringLiteral("%\\d+"));
    for (auto it = pattern.globalMatch(text); it.hasNext();)
        found.append(it.next().captured());
    found.sort();
    return found;
}

} // namespace

class TestTranslation : public QObject
{
    Q_OBJECT

private:
    bool m_installed = false;

private slots:
    void initTestCase() { m_installed = InstallTranslations(QLocale::system()); }

    void theRussianTranslationIsFound()
    {
        QCOMPARE(QLocale::system().language(), QLocale::Russian);
        QVERIFY(m_installed);
    }

    void mainWindowReadsRussian()
    {
        QTemporaryDir appDir;
        QTemporaryDir logDir;
        WriteFile(logDir.filePath(QStringLiteral("log1.txt")),
                  "10.0.0.5 - alice [07/Dec/2026:03:44:43 +0800] \"GET "
                  "http://dl1.example.com/files/setup.zip HTTP/1.1\" \"HTTP\"\r\n");
        WriteFile(appDir.filePath(QStringLiteral("config.ini")),
                  "[Logger]\r\nLogDir=" + QFile::encodeName(logDir.path()).toStdString() + "\r\n");
        TForm1 form(QFile::encodeName(appDir.path()).toStdString() + "/");
        form.show();

        QCOMPARE(form.OpenButton->caption(), QStringLiteral("Открыть папку журналов"));
        QCOMPARE(form.DeleteLogButton->caption(), QStringLiteral("Удалить файл журнала"));
        QCOMPARE(form.DeleteButton->caption(), QStringLiteral("Удалить запись или узел"));
        QCOMPARE(form.FMButton->caption(), QStringLiteral("Менеджер фильтров"));
        QCOMPARE(form.PngSpeedButton1->caption(), QStringLiteral("О программе"));
        QCOMPARE(form.GroupBox1->title(), QStringLiteral("Обработка..."));
        const QAbstractItemModel* rows = form.ListView1->model();
        QCOMPARE(rows->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Дата"));
        QCOMPARE(rows->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Тип соединения"));

        // The status texts, with the numbers and names put in.
        QSignalSpy built(&form, &TForm1::loadFinished);
        form.ComboBox1->setCurrentIndex(0);
        form.ComboBox1Change();
        QVERIFY(built.count() > 0 || built.wait(10000));
        QCOMPARE(form.panelText(0), QStringLiteral("Всего учётных записей: 1"));
        const QModelIndex user = form.treeModel()->index(0, 0);
        form.TreeView1->setCurrentIndex(user);
        QSignalSpy listed(&form, &TForm1::listingFinished);
        form.TreeView1Click();
        QVERIFY(listed.count() > 0 || listed.wait(10000));
        QCOMPARE(form.panelText(2), QStringLiteral("Выбран пользователь: alice"));
        QCOMPARE(form.panelText(1), QStringLiteral("Число записей: 1"));
    }

    void filterManagerReadsRussian()
    {
        QTemporaryDir appDir;
        TManagerForm form(QFile::encodeName(appDir.path()).toStdString() + "/");
        QCOMPARE(form.windowTitle(), QStringLiteral("Менеджер фильтров"));
        QCOMPARE(form.btAddGroup->caption(), QStringLiteral("Новая группа"));
        QCOMPARE(form.btDelFilter->caption(), QStringLiteral("Убрать фильтр"));
        QCOMPARE(form.Label1->text(), QStringLiteral("Цвет группы"));
        QCOMPARE(form.ColorBox1->itemText(0), QStringLiteral("Другой..."));
        QCOMPARE(form.ColorBox1->itemText(1), QStringLiteral("Чёрный"));
    }

    void qtDialogsFollow()
    {
        QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("q"),
                        QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(box.button(QMessageBox::Yes)->text().remove(QLatin1Char('&')),
                 QStringLiteral("Да"));
        QCOMPARE(box.button(QMessageBox::No)->text().remove(QLatin1Char('&')),
                 QStringLiteral("Нет"));
    }

    void coreMessagesReadRussian()
    {
        // What the core really throws, with the name kept as it is.
        QString thrown;
        try {
            const qelt::LogFile file("/nonexistent/log1.txt");
        } catch (const qelt::QeltError& error) {
            thrown = QString::fromUtf8(error.what());
        }
        QCOMPARE(TranslateCoreMessage(thrown),
                 QStringLiteral("Не удаётся открыть файл /nonexistent/log1.txt"));
        QCOMPARE(TranslateCoreMessage(
                     QStringLiteral("Cannot create file /l/log1.txt\nAnother program changed the "
                                    "log since it was read; it was left as it is.")),
                 QStringLiteral("Не удаётся создать файл /l/log1.txt\nДругая программа изменила "
                                "журнал после чтения; он оставлен как есть."));
        QCOMPARE(TranslateCoreMessage(QStringLiteral("List index out of bounds (12)")),
                 QStringLiteral("Индекс списка вне границ (12)"));
        // A line the core's list does not know stays as it is.
        QCOMPARE(TranslateCoreMessage(QStringLiteral("File access denied\nsomething else")),
                 QStringLiteral("Доступ к файлу запрещён\nsomething else"));
    }

    void everyTextIsTranslated_data()
    {
        QTest::addColumn<QString>("file");
        const QDir folder(QStringLiteral(QELT_TRANSLATIONS_DIR));
        const QStringList files = folder.entryList({QStringLiteral("*_ru.ts")}, QDir::Files);
        QVERIFY(files.contains(QStringLiteral("qelt-viewer_ru.ts")));
        for (const QString& name : files)
            QTest::newRow(qPrintable(name)) << folder.filePath(name);
    }

    void everyTextIsTranslated()
    {
        QFETCH(QString, file);
        QFile ts(file);
        QVERIFY(ts.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&ts);
        QString context;
        QString source;
        int messages = 0;
        QStringList faults;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("name")) {
                context = xml.readElementText();
            } else if (xml.name() == QLatin1String("source")) {
                source = xml.readElementText();
            } else if (xml.name() == QLatin1String("translation")) {
                const bool unfinished =
                    xml.attributes().value(QLatin1String("type")) == QLatin1String("unfinished");
                // Plural forms come as numerusform elements inside.
                const QString translation =
                    xml.readElementText(QXmlStreamReader::IncludeChildElements);
                ++messages;
                if (unfinished || translation.isEmpty())
                    faults.append(context + QStringLiteral(": untranslated: ") + source);
                else if (Placeholders(translation) != Placeholders(source))
                    faults.append(context + QStringLiteral(": placeholders differ: ") + source);
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QVERIFY(messages > 0);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
    }
};

int main(int argc, char* argv[])
{
    // The locale a Russian desktop session sets; Qt reads it when the application starts.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"})
        unsetenv(name);
    setenv("LANG", "ru_RU.UTF-8", 1);
    QApplication app(argc, argv);
    TestTranslation test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_translation.moc"
