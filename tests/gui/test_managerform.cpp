// The filter manager driven as a user drives it, on real store files in a temporary AppDir.

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit2/ColorBox.h"
#include "Unit2/ListBox.h"
#include "Unit2/Unit2.h"
#include "filters/FilterStore.h"
#include "widgets/Dialogs.h"

#include <QAbstractItemView>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QSignalSpy>
#include <QSplitter>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>

namespace {

// Answers the window's dialogs from queues and records what was asked and shown.
class ScriptedDialogs : public Dialogs
{
public:
    struct TextRequest
    {
        QString caption;
        QString prompt;
        QString initial;
        int maxLength;
    };

    // A null QString answers Cancel.
    std::deque<QString> texts;
    std::deque<std::optional<QColor>> colors;
    std::vector<TextRequest> textRequests;
    std::vector<QColor> colorRequests;
    QStringList errors;

    std::optional<QString> getText(QWidget*, const QString& caption, const QString& prompt,
                                   const QString& initial, int maxLength) override
    {
        textRequests.push_back({caption, prompt, initial, maxLength});
        if (texts.empty())
            return std::nullopt;
        const QString answer = texts.front();
        texts.pop_front();
        if (answer.isNull())
            return std::nullopt;
        return answer;
    }
    std::optional<QColor> getColor(QWidget*, const QColor& initial) override
    {
        colorRequests.push_back(initial);
        if (colors.empty())
            return std::nullopt;
        std::optional<QColor> answer = colors.front();
        colors.pop_front();
        return answer;
    }
    void showError(QWidget*, const QString& message) override { errors << message; }

    // Questions: what was asked, and the answers in turn (No, or the escape index, when none).
    QStringList asked;
    std::deque<QMessageBox::StandardButton> answers;
    std::vector<int> defaults;
    std::deque<int> choices;
    QMessageBox::StandardButton question(QWidget*, const QString&, const QString& text,
                                         QMessageBox::StandardButtons,
                                         QMessageBox::StandardButton defaultButton,
                                         QMessageBox::StandardButton escapeButton) override
    {
        asked << text;
        defaults.push_back(defaultButton);
        if (answers.empty())
            return escapeButton;
        const auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    int choose(QWidget*, const QString&, const QString& text, const QStringList& buttons,
               int defaultIndex, int escapeIndex) override
    {
        asked << text + QStringLiteral(" [") + buttons.join(QLatin1Char('|')) + QStringLiteral("]");
        defaults.push_back(defaultIndex);
        if (choices.empty())
            return escapeIndex;
        const int answer = choices.front();
        choices.pop_front();
        return answer;
    }
};

// Receives the addresses the window asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

// Uses up the process's file descriptors while it lives, so that opening any file fails with
// EMFILE, also for root. The limit is lowered first so that only a few are taken.
class NoFreeFileDescriptors
{
public:
    NoFreeFileDescriptors()
    {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        int highest = ::open("/dev/null", O_RDONLY);
        ::close(highest);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(highest) + 16;
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
            m_taken.push_back(fd);
    }
    ~NoFreeFileDescriptors()
    {
        for (int fd : m_taken)
            ::close(fd);
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    NoFreeFileDescriptors(const NoFreeFileDescriptors&) = delete;
    NoFreeFileDescriptors& operator=(const NoFreeFileDescriptors&) = delete;

private:
    rlimit m_saved{};
    std::vector<int> m_taken;
};

QStringList texts(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

std::vector<std::string> strings(std::initializer_list<const char*> items)
{
    return std::vector<std::string>(items.begin(), items.end());
}

} // namespace

class TestManagerForm : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::string m_appDir;

    qelt::FilterStore store() const { return qelt::FilterStore(m_appDir); }
    QString path(const char* name) const
    {
        return QString::fromStdString(m_appDir) + QLatin1String(name);
    }

    std::unique_ptr<TManagerForm> openForm()
    {
        auto form = std::make_unique<TManagerForm>(m_appDir);
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qWarning("window not exposed");
        return form;
    }

    static void click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }

    static void clickRow(ListBox* list, int row)
    {
        const QRect rect = list->visualItemRect(list->item(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    }

    static void doubleClickRow(ListBox* list, int row)
    {
        const QPoint at = list->visualItemRect(list->item(row)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    }

    // Chooses an entry of the colour box the way a user does: open the list, click the entry.
    static void chooseFromList(ColorBox* box, int index)
    {
        box->showPopup();
        auto* view = box->view();
        QVERIFY(QTest::qWaitForWindowExposed(view->window()));
        const QRect rect = view->visualRect(view->model()->index(index, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
        QTRY_VERIFY(!view->isVisible());
    }

    static std::vector<bool> buttonStates(const TManagerForm& form)
    {
        return {form.btAddGroup->isEnabled(), form.btDelGroup->isEnabled(),
                form.btAddFilter->isEnabled(), form.btDelFilter->isEnabled()};
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_appDir = m_dir->path().toStdString() + "/";
        m_dialogs = std::make_unique<ScriptedDialogs>();
        Dialogs::setInstance(m_dialogs.get());
    }

    void cleanup()
    {
        Dialogs::setInstance(nullptr);
        m_dialogs.reset();
        m_dir.reset();
    }

    void opensWithItsControlsAndStartStates()
    {
        auto form = openForm();
        QCOMPARE(form->objectName(), QStringLiteral("ManagerForm"));
        QCOMPARE(form->windowTitle(), QStringLiteral("Filter Manager"));
        QCOMPARE(form->size(), QSize(575, 309));
        const std::pair<const char*, const char*> buttons[] = {{"btAddGroup", "Add Group"},
                                                               {"btDelGroup", "Delete Group"},
                                                               {"btAddFilter", "Add Filter"},
                                                               {"btDelFilter", "Delete Filter"}};
        for (const auto& [name, caption] : buttons) {
            auto* button = form->findChild<TPngSpeedButton*>(QString::fromLatin1(name));
            QVERIFY2(button, name);
            QCOMPARE(button->caption(), QString::fromLatin1(caption));
            QVERIFY2(!button->pngImage().isEmpty(), name);
        }
        for (const char* name : {"ControlBar1", "Panel2", "GroupList", "Splitter1", "FilterList",
                                 "Panel1", "Label1", "ColorBox1", "StatusBar1"})
            QVERIFY2(form->findChild<QWidget*>(QString::fromLatin1(name)), name);
        QCOMPARE(form->Label1->text(), QStringLiteral("Group Color"));
        QCOMPARE(buttonStates(*form), (std::vector<bool>{true, false, false, false}));
        QCOMPARE(form->GroupList->count(), 0);
        QCOMPARE(form->ColorBox1->currentText(), QStringLiteral("Maroon"));
        QCOMPARE(form->ColorBox1->selectedColor(), StoredColor{0x000080});
        // Opening reads the store but never creates a file.
        QVERIFY(!QFile::exists(path("GroupFile.tdf")));
        QVERIFY(!QFile::exists(path("FilterFile.tdf")));

        // Only FilterList takes a change of the window's width.
        const int groupWidth = form->GroupList->width();
        const int filterWidth = form->FilterList->width();
        form->resize(775, 409);
        QTRY_COMPARE(form->FilterList->width(), filterWidth + 200);
        QCOMPARE(form->GroupList->width(), groupWidth);
        QCOMPARE(form->Panel1->height(), 28);
        QCOMPARE(form->Panel1->geometry().bottom() + 1, form->StatusBar1->geometry().top());
    }

    void colourBoxOffersTheNamedColours()
    {
        // Readable names; the values are the stored ones.
        const std::pair<const char*, StoredColor> entries[] = {
            {"Black", 0x000000}, {"Maroon", 0x000080},      {"Green", 0x008000},
            {"Olive", 0x008080}, {"Navy", 0x800000},        {"Purple", 0x800080},
            {"Teal", 0x808000},  {"Gray", 0x808080},        {"Silver", 0xC0C0C0},
            {"Red", 0x0000FF},   {"Lime", 0x00FF00},        {"Yellow", 0x00FFFF},
            {"Blue", 0xFF0000},  {"Fuchsia", 0xFF00FF},     {"Aqua", 0xFFFF00},
            {"White", 0xFFFFFF}, {"Money Green", 0xC0DCC0}, {"Sky Blue", 0xF0CAA6},
            {"Cream", 0xF0FBFF}, {"Medium Gray", 0xA4A0A0}};
        ColorBox box;
        QCOMPARE(box.count(), 21);
        QCOMPARE(box.itemText(0), QStringLiteral("Custom..."));
        // Every entry of the list is 16 pixels high.
        for (int i = 0; i < box.count(); ++i)
            QCOMPARE(box.view()->sizeHintForRow(i), 16);
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(box.itemText(i + 1), QString::fromLatin1(entries[i].first));
            QCOMPARE(box.entryColor(i + 1), entries[i].second);
            // The swatch shows the colour itself (0x00BBGGRR read as red, green, blue).
            const QImage swatch = box.itemIcon(i + 1).pixmap(box.iconSize()).toImage();
            QCOMPARE(swatch.pixelColor(swatch.width() / 2, swatch.height() / 2),
                     ToQColor(entries[i].second));
        }
        QCOMPARE(ToQColor(0x0000FF), QColor(255, 0, 0));
        QCOMPARE(FromQColor(QColor(0x12, 0x34, 0x56)), StoredColor{0x563412});
    }

    void addingGroupsCreatesTheFileAndIgnoresDuplicates()
    {
        auto form = openForm();
        m_dialogs->texts = {QStringLiteral("Work"), QStringLiteral("Work"), QStringLiteral("work"),
                            QString(), QString(QLatin1String(""))};
        for (int i = 0; i < 5; ++i)
            click(form->btAddGroup);

        QCOMPARE(m_dialogs->textRequests.size(), std::size_t{5});
        const auto& asked = m_dialogs->textRequests.front();
        QCOMPARE(asked.caption, QStringLiteral("Filter Manager"));
        QCOMPARE(asked.prompt, QStringLiteral("Please enter a Group Name"));
        QCOMPARE(asked.initial, QString());
        QCOMPARE(asked.maxLength, 255);

        QVERIFY(QFile::exists(path("GroupFile.tdf")));
        QVERIFY(!QFile::exists(path("FilterFile.tdf")));
        QCOMPARE(texts(form->GroupList),
                 (QStringList{QStringLiteral("Work"), QStringLiteral("work")}));
        QCOMPARE(store().ListGroups(), strings({"Work", "work"}));
        QCOMPARE(store().GroupColor("Work"), std::optional<StoredColor>(0x000080));
        QVERIFY(m_dialogs->errors.isEmpty());
        QCOMPARE(buttonStates(*form), (std::vector<bool>{true, false, false, false}));
    }

    void addingAGroupKeepsTheSelectionAndUsesTheBoxColour()
    {
        store().AddGroup("First", 0x0000FF);
        store().AddFilter("First", "a");
        auto form = openForm();
        clickRow(form->GroupList, 0);
        QCOMPARE(form->ColorBox1->currentText(), QStringLiteral("Red"));
        m_dialogs->texts = {QStringLiteral("Second")};
        click(form->btAddGroup);
        QCOMPARE(texts(form->GroupList),
                 (QStringList{QStringLiteral("First"), QStringLiteral("Second")}));
        QCOMPARE(form->GroupList->selectedRow(), 0);
        QCOMPARE(store().GroupColor("Second"), std::optional<StoredColor>(0x0000FF));
    }

    void clickingAGroupShowsItsFiltersAndColour_data()
    {
        QTest::addColumn<uint>("stored");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<uint>("custom");
        QTest::newRow("named") << 0x00FFFFu << QStringLiteral("Yellow") << 0u;
        QTest::newRow("black is named") << 0x000000u << QStringLiteral("Black") << 0u;
        QTest::newRow("other") << 0x123456u << QStringLiteral("Custom...") << 0x123456u;
    }

    void clickingAGroupShowsItsFiltersAndColour()
    {
        QFETCH(uint, stored);
        QFETCH(QString, entry);
        QFETCH(uint, custom);
        store().AddGroup("other", 0xFF0000);
        store().AddGroup("mine", stored);
        store().AddFilter("mine", "a");
        store().AddFilter("other", "b");
        store().AddFilter("mine", "c");
        auto form = openForm();
        QSignalSpy changes(form->ColorBox1, &ColorBox::colorChanged);

        clickRow(form->GroupList, 1);
        QCOMPARE(texts(form->FilterList), (QStringList{QStringLiteral("a"), QStringLiteral("c")}));
        QCOMPARE(form->ColorBox1->currentText(), entry);
        QCOMPARE(form->ColorBox1->customColor(), StoredColor{custom});
        QCOMPARE(buttonStates(*form), (std::vector<bool>{true, true, true, false}));
        // The window's own choice of colour is no user's choice: nothing was written.
        QCOMPARE(changes.count(), 0);
        QCOMPARE(store().GroupColor("mine"), std::optional<StoredColor>(stored));

        clickRow(form->FilterList, 1);
        QCOMPARE(buttonStates(*form), (std::vector<bool>{true, true, true, true}));

        // A selection moved with the keys is a click too.
        QTest::keyClick(form->GroupList, Qt::Key_Up);
        QCOMPARE(form->GroupList->selectedRow(), 0);
        QCOMPARE(texts(form->FilterList), QStringList{QStringLiteral("b")});
        QCOMPARE(form->ColorBox1->currentText(), QStringLiteral("Blue"));
        QCOMPARE(buttonStates(*form), (std::vector<bool>{true, true, true, false}));
    }

    void withoutFilterFileAGroupClickLeavesTheColourBox()
    {
        store().AddGroup("g", 0x0000FF);
        auto form = openForm();
        clickRow(form->GroupList, 0);
        QCOMPARE(form->FilterList->count(), 0);
        QCOMPARE(form->ColorBox1->currentText(), QStringLiteral("Maroon"));
        QCOMPARE(buttonStates(*form), (std::vector<bool>{true, true, true, false}));

        m_dialogs->texts = {QStringLiteral("example.com"), QStringLiteral("example.com")};
        click(form->btAddFilter);
        click(form->btAddFilter);
        QCOMPARE(m_dialogs->textRequests.front().prompt,
                 QStringLiteral("Please eneter a filter entry"));
        QCOMPARE(m_dialogs->textRequests.front().maxLength, 255);
        QVERIFY(QFile::exists(path("FilterFile.tdf")));
        QCOMPARE(texts(form->FilterList), QStringList{QStringLiteral("example.com")});
        QCOMPARE(store().ListFilters("g"), strings({"example.com"}));
    }

    void deletingAGroupRemovesItsFiltersAndTheSelection()
    {
        for (const char* group : {"G1", "G2", "G3", "G4"})
            store().AddGroup(group, 0x000080);
        store().AddFilter("G2", "x");
        store().AddFilter("G1", "y");
        store().AddFilter("G2", "z");
        auto form = openForm();
        clickRow(form->GroupList, 1);
        QCOMPARE(texts(form->FilterList), (QStringList{QStringLiteral("x"), QStringLiteral("z")}));

        // A group with filters goes only when the user says Yes (No is the default).
        click(form->btDelGroup);
        QCOMPARE(m_dialogs->asked,
                 QStringList{QStringLiteral("Delete the group \"G2\" and its 2 filters?")});
        QCOMPARE(m_dialogs->defaults, std::vector<int>{QMessageBox::No});
        QCOMPARE(store().ListFilters("G2"), strings({"x", "z"}));
        QCOMPARE(form->GroupList->count(), 4);
        m_dialogs->answers = {QMessageBox::Yes};
        click(form->btDelGroup);
        QCOMPARE(texts(form->GroupList),
                 (QStringList{QStringLiteral("G1"), QStringLiteral("G4"), QStringLiteral("G3")}));
        QCOMPARE(form->GroupList->selectedRow(), -1);
        QCOMPARE(form->FilterList->count(), 0);
        QCOMPARE(store().ListFilters("G2"), strings({}));
        QCOMPARE(store().ListFilters("G1"), strings({"y"}));
        // Deleting leaves the states as they were; without a selection the commands do nothing.
        QCOMPARE(buttonStates(*form), (std::vector<bool>{true, true, true, false}));
        click(form->btDelGroup);
        click(form->btAddFilter);
        QCOMPARE(store().ListGroups(), strings({"G1", "G4", "G3"}));
        QVERIFY(m_dialogs->textRequests.empty());
        QVERIFY(m_dialogs->errors.isEmpty());
        // A group without filters goes without a question.
        clickRow(form->GroupList, 1);
        click(form->btDelGroup);
        QCOMPARE(store().ListGroups(), strings({"G1", "G3"}));
        QCOMPARE(m_dialogs->asked.size(), 2);
    }

    void aSharedFilterIsDeletedFromTheSelectedGroupOnly()
    {
        store().AddGroup("g1", 0x000080);
        store().AddGroup("g2", 0x000080);
        store().AddFilter("g1", "shared");
        store().AddFilter("g2", "own");
        store().AddFilter("g2", "shared");
        auto form = openForm();
        clickRow(form->GroupList, 1);
        clickRow(form->FilterList, 1);
        QCOMPARE(form->FilterList->currentItem()->text(), QStringLiteral("shared"));
        click(form->btDelFilter);
        QCOMPARE(texts(form->FilterList), QStringList{QStringLiteral("own")});
        QCOMPARE(form->FilterList->selectedRow(), -1);
        QCOMPARE(store().ListFilters("g1"), strings({"shared"}));
        QCOMPARE(store().ListFilters("g2"), strings({"own"}));
        // Without a selected filter the command does nothing.
        click(form->btDelFilter);
        QCOMPARE(store().ListFilters("g2"), strings({"own"}));
    }

    void aColourChosenWithoutAGroupColoursTheNextGroup()
    {
        store().AddGroup("kept", 0x000080);
        auto form = openForm();
        QSignalSpy changes(form->ColorBox1, &ColorBox::colorChanged);
        chooseFromList(form->ColorBox1, 13); // clBlue
        QCOMPARE(changes.count(), 1);
        QCOMPARE(store().GroupColor("kept"), std::optional<StoredColor>(0x000080));

        m_dialogs->texts = {QStringLiteral("new")};
        click(form->btAddGroup);
        QCOMPARE(store().GroupColor("new"), std::optional<StoredColor>(0xFF0000));

        // With a group selected the choice is stored at once.
        clickRow(form->GroupList, 0);
        chooseFromList(form->ColorBox1, 10); // clRed
        QCOMPARE(store().GroupColor("kept"), std::optional<StoredColor>(0x0000FF));
        QCOMPARE(store().GroupColor("new"), std::optional<StoredColor>(0xFF0000));
    }

    void customColourAsksForAColour()
    {
        store().AddGroup("g", 0x000080);
        auto form = openForm();
        clickRow(form->GroupList, 0);
        QSignalSpy changes(form->ColorBox1, &ColorBox::colorChanged);

        // Cancelled: "Custom..." stays chosen with its old colour, and nothing is written.
        chooseFromList(form->ColorBox1, ColorBox::CustomIndex);
        QCOMPARE(m_dialogs->colorRequests.size(), std::size_t{1});
        QCOMPARE(m_dialogs->colorRequests.back(), QColor(0, 0, 0));
        QCOMPARE(changes.count(), 0);
        QCOMPARE(form->ColorBox1->currentIndex(), ColorBox::CustomIndex);
        QCOMPARE(store().GroupColor("g"), std::optional<StoredColor>(0x000080));

        // Confirmed: the colour becomes the custom colour and the group's colour.
        m_dialogs->colors = {QColor(0x12, 0x34, 0x56)};
        chooseFromList(form->ColorBox1, ColorBox::CustomIndex);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(form->ColorBox1->customColor(), StoredColor{0x563412});
        QCOMPARE(store().GroupColor("g"), std::optional<StoredColor>(0x563412));

        // The next dialog starts at the custom colour.
        chooseFromList(form->ColorBox1, ColorBox::CustomIndex);
        QCOMPARE(m_dialogs->colorRequests.back(), QColor(0x12, 0x34, 0x56));

        // Stepping onto "Custom..." with the keys takes the custom colour without asking.
        chooseFromList(form->ColorBox1, 1); // clBlack
        const std::size_t asked = m_dialogs->colorRequests.size();
        QTest::keyClick(form->ColorBox1, Qt::Key_Up);
        QCOMPARE(m_dialogs->colorRequests.size(), asked);
        QCOMPARE(form->ColorBox1->currentIndex(), ColorBox::CustomIndex);
        QCOMPARE(store().GroupColor("g"), std::optional<StoredColor>(0x563412));
    }

    void textsAreKeptAsTheStoreFilesBytes()
    {
        QFile config(path("config.ini"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("[Logger]\r\nCodePage=1251\r\n");
        config.close();
        const std::string cyrillic = "\xCF\xF0\xE8"; // "При" in code page 1251
        store().AddGroup(cyrillic, 0x000080);
        store().AddFilter(cyrillic, "\xE0");
        auto form = openForm();
        QCOMPARE(form->GroupList->item(0)->text(), QString::fromUtf8("При"));
        QCOMPARE(form->GroupList->item(0)->data(Qt::UserRole).toByteArray(),
                 QByteArray::fromStdString(cyrillic));
        clickRow(form->GroupList, 0);
        QCOMPARE(texts(form->FilterList), QStringList{QString::fromUtf8("а")});

        m_dialogs->texts = {QString::fromUtf8("Отдел"), QString::fromUtf8("日本")};
        click(form->btAddGroup);
        QCOMPARE(store().ListGroups(),
                 (std::vector<std::string>{cyrillic, "\xCE\xF2\xE4\xE5\xEB"}));
        QVERIFY(m_dialogs->errors.isEmpty());
        // A text the code page cannot hold is refused and nothing is stored.
        click(form->btAddGroup);
        QCOMPARE(m_dialogs->errors.size(), 1);
        QVERIFY(m_dialogs->errors.front().contains(QString::fromUtf8("日本")));
        QCOMPARE(store().ListGroups().size(), std::size_t{2});
        QCOMPARE(form->GroupList->count(), 2);
    }

    void aLongTextIsShownAsItWouldBeStoredAndKeptEditedOrCancelled()
    {
        auto form = openForm();
        const QString typed = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123"); // 30 characters
        // Edit (the default) asks again with the text typed; a name that fits is stored as is.
        m_dialogs->texts = {typed, QStringLiteral("abc")};
        m_dialogs->choices = {1};
        click(form->btAddGroup);
        QCOMPARE(m_dialogs->asked.size(), 1);
        QVERIFY(m_dialogs->asked[0].contains(QStringLiteral("abcdefghijklmnopqrstuvwxy\n")));
        QVERIFY(m_dialogs->asked[0].endsWith(QStringLiteral("[&Keep|&Edit|Cancel]")));
        QCOMPARE(m_dialogs->defaults, std::vector<int>{1});
        QCOMPARE(m_dialogs->textRequests.at(1).initial, typed);
        QCOMPARE(store().ListGroups(), strings({"abc"}));
        // Cancel stores nothing; Keep stores the shortened text and lists it as stored.
        m_dialogs->texts = {typed, typed};
        m_dialogs->choices = {2, 0};
        click(form->btAddGroup);
        QCOMPARE(store().ListGroups(), strings({"abc"}));
        click(form->btAddGroup);
        QCOMPARE(texts(form->GroupList), (QStringList{QStringLiteral("abc"), typed.left(25)}));
        QCOMPARE(store().ListGroups(), strings({"abc", "abcdefghijklmnopqrstuvwxy"}));
        // The entry names the stored group, so its colour can be changed.
        clickRow(form->GroupList, 1);
        chooseFromList(form->ColorBox1, 10); // clRed
        QCOMPARE(store().GroupColor("abcdefghijklmnopqrstuvwxy"),
                 std::optional<StoredColor>(0x0000FF));

        m_dialogs->texts = {QStringLiteral("0123456789012345678901234567890123")};
        m_dialogs->choices = {0};
        click(form->btAddFilter);
        QCOMPARE(texts(form->FilterList),
                 QStringList{QStringLiteral("012345678901234567890123456789")});
        QCOMPARE(store().ListFilters("abcdefghijklmnopqrstuvwxy"),
                 strings({"012345678901234567890123456789"}));
    }

    void aFailingStoreIsShownOnceAndTheListsStay()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the sanitizers' own memory checks need free file descriptors");
#endif
        store().AddGroup("A", 0x000080);
        store().AddGroup("B", 0x000080);
        store().AddFilter("A", "a1");
        auto form = openForm();
        clickRow(form->GroupList, 0);
        clickRow(form->FilterList, 0);
        const QStringList groups = texts(form->GroupList);
        const QStringList filters = texts(form->FilterList);

        struct Step
        {
            const char* name;
            std::function<void()> act;
        };
        const Step steps[] = {
            {"add group",
             [&] {
                 m_dialogs->texts = {QStringLiteral("C")};
                 click(form->btAddGroup);
             }},
            {"add filter",
             [&] {
                 m_dialogs->texts = {QStringLiteral("a2")};
                 click(form->btAddFilter);
             }},
            {"delete filter", [&] { click(form->btDelFilter); }},
            {"delete group", [&] { click(form->btDelGroup); }},
            {"colour", [&] { chooseFromList(form->ColorBox1, 10); }},
        };
        for (const Step& step : steps) {
            m_dialogs->errors.clear();
            {
                // No file can be opened: every store operation fails.
                const NoFreeFileDescriptors exhausted;
                step.act();
            }
            QVERIFY2(m_dialogs->errors == QStringList{QStringLiteral("Too many open files")},
                     step.name);
            QVERIFY2(texts(form->GroupList) == groups, step.name);
            QVERIFY2(texts(form->FilterList) == filters, step.name);
            QVERIFY2(form->isVisible(), step.name);
        }
        QCOMPARE(store().ListGroups(), strings({"A", "B"}));
        QCOMPARE(store().ListFilters("A"), strings({"a1"}));
        QCOMPARE(store().GroupColor("A"), std::optional<StoredColor>(0x000080));

        // A group whose filters cannot be read shows none rather than another group's.
        m_dialogs->errors.clear();
        {
            const NoFreeFileDescriptors exhausted;
            clickRow(form->GroupList, 1);
        }
        QCOMPARE(m_dialogs->errors.size(), 1);
        QCOMPARE(form->FilterList->count(), 0);
    }

    void aStoreFileThatCannotBeCreatedIsReported()
    {
        store().AddGroup("A", 0x000080);
        auto form = openForm();
        clickRow(form->GroupList, 0);
        // Folders in place of the files: the store takes them for missing files and fails to
        // create them.
        QVERIFY(QFile::remove(path("GroupFile.tdf")));
        QVERIFY(QDir().mkdir(path("GroupFile.tdf")));
        QVERIFY(QDir().mkdir(path("FilterFile.tdf")));
        m_dialogs->texts = {QStringLiteral("B"), QStringLiteral("f")};
        click(form->btAddGroup);
        QCOMPARE(m_dialogs->errors.size(), 1);
        click(form->btAddFilter);
        QCOMPARE(m_dialogs->errors.size(), 2);
        QCOMPARE(texts(form->GroupList), QStringList{QStringLiteral("A")});
        QCOMPARE(form->FilterList->count(), 0);
        QVERIFY(form->isVisible());
    }

    void doubleClickOpensTheFilterAsAnHttpAddress_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("opened");
        QTest::newRow("host and path")
            << QStringLiteral("example.com/a") << QStringLiteral("http://example.com/a");
        QTest::newRow("already a scheme")
            << QStringLiteral("https://x.org") << QStringLiteral("http://https://x.org");
        QTest::newRow("not an address") << QStringLiteral("a b") << QString();
    }

    void doubleClickOpensTheFilterAsAnHttpAddress()
    {
        QFETCH(QString, filter);
        QFETCH(QString, opened);
        store().AddGroup("g", 0x000080);
        store().AddFilter("g", filter.toStdString());
        auto form = openForm();
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        clickRow(form->GroupList, 0);
        doubleClickRow(form->FilterList, 0);
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        if (opened.isEmpty()) {
            QVERIFY(catcher.opened.isEmpty());
            QVERIFY(m_dialogs->errors.isEmpty());
        } else {
            QCOMPARE(catcher.opened, QList<QUrl>{QUrl(opened)});
            QVERIFY(m_dialogs->errors.isEmpty());
        }
    }
};

QTEST_MAIN(TestManagerForm)
#include "test_managerform.moc"
