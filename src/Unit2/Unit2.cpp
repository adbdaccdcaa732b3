#include "Unit2/Unit2.h"

#include "PngSpeedButton/PngSpeedButton.h"
#include "Unit2/ListBox.h"
#include "common/QeltError.h"
#include "filters/FilterStore.h"
#include "filters/RecordFile.h"
#include "settings/Settings.h"
#include "widgets/Dialogs.h"
#include "widgets/SafeUrl.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QScreen>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QVBoxLayout>

namespace {

constexpr int InputMaxLength = 255;

QString caption()
{
    return TManagerForm::tr("Filter Manager");
}

// The bytes the store keeps of text: its first capacity bytes. With UTF-8 as the code page a
// character is never split, so the stored text still reads as the one typed.
std::string storedPart(std::string bytes, std::size_t capacity, qelt::CodePageId codePage)
{
    if (bytes.size() <= capacity)
        return bytes;
    std::size_t end = capacity;
    if (codePage == qelt::CodePageUtf8) {
        while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80)
            --end;
    }
    bytes.resize(end);
    return bytes;
}

TPngSpeedButton* makeButton(QWidget* parent, const char* name, const QString& text,
                            const QString& glyph, int x)
{
    auto* button = new TPngSpeedButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setCaption(text);
    button->setPngImage(TPNGObject::fromResource(glyph));
    button->setGeometry(x, 0, 80, 50);
    return button;
}

} // namespace

TManagerForm::TManagerForm(QWidget* parent) : TManagerForm(qelt::AppDir(), parent) {}

TManagerForm::TManagerForm(std::string appDir, QWidget* parent)
    : QDialog(parent), m_appDir(std::move(appDir))
{
    m_codePage = qelt::ReadCodePage(m_appDir);
    buildControls();
    FormCreate();
}

TManagerForm::~TManagerForm() = default;

void TManagerForm::buildControls()
{
    setObjectName(QStringLiteral("ManagerForm"));
    setWindowTitle(caption());
    setSizeGripEnabled(false);
    QFont small = font();
    // Fonts with the narrow metrics of the original 8-point face first, so that "Group Color"
    // fits before the colour box.
    small.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                       QStringLiteral("Arimo"), QStringLiteral("Nimbus Sans"),
                       QStringLiteral("DejaVu Sans")});
    small.setStyleHint(QFont::SansSerif);
    small.setPixelSize(11);
    setFont(small);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    ControlBar1 = new QFrame(this);
    ControlBar1->setObjectName(QStringLiteral("ControlBar1"));
    ControlBar1->setFrameShape(QFrame::NoFrame);
    ControlBar1->setFixedHeight(54);
    Panel2 = new QWidget(ControlBar1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(11, 2, 320, 50);
    btAddGroup = makeButton(Panel2, "btAddGroup", tr("Add Group"),
                            QStringLiteral(":/icons/add_group.png"), 0);
    btDelGroup = makeButton(Panel2, "btDelGroup", tr("Delete Group"),
                            QStringLiteral(":/icons/delete_group.png"), 80);
    btAddFilter = makeButton(Panel2, "btAddFilter", tr("Add Filter"),
                             QStringLiteral(":/icons/add_filter.png"), 160);
    btDelFilter = makeButton(Panel2, "btDelFilter", tr("Delete Filter"),
                             QStringLiteral(":/icons/delete_filter.png"), 240);
    btDelGroup->setEnabled(false);
    btAddFilter->setEnabled(false);
    btDelFilter->setEnabled(false);
    layout->addWidget(ControlBar1);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(4);
    Splitter1->setChildrenCollapsible(false);
    GroupList = new ListBox(Splitter1);
    GroupList->setObjectName(QStringLiteral("GroupList"));
    QPalette white = GroupList->palette();
    white.setColor(QPalette::Base, Qt::white);
    GroupList->setPalette(white);
    FilterList = new ListBox(Splitter1);
    FilterList->setObjectName(QStringLiteral("FilterList"));
    Splitter1->addWidget(GroupList);
    Splitter1->addWidget(FilterList);
    // Resizing the window changes only the width of FilterList.
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({218, 353});
    layout->addWidget(Splitter1, 1);
    setTabOrder(GroupList, FilterList);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setFixedHeight(28);
    Label1 = new QLabel(tr("Group Color"), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(7, 8);
    Label1->adjustSize();
    ColorBox1 = new ColorBox(Panel1);
    ColorBox1->setObjectName(QStringLiteral("ColorBox1"));
    ColorBox1->setGeometry(70, 3, 134, 22);
    layout->addWidget(Panel1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(19);
    layout->addWidget(StatusBar1);

    resize(575, 309);

    connect(GroupList, &ListBox::userClick, this, &TManagerForm::GroupListClick);
    connect(FilterList, &ListBox::userClick, this, &TManagerForm::FilterListClick);
    connect(FilterList, &ListBox::userDoubleClick, this, &TManagerForm::FilterListDblClick);
    connect(btAddGroup, &TPngSpeedButton::clicked, this, &TManagerForm::btAddGroupClick);
    connect(btDelGroup, &TPngSpeedButton::clicked, this, &TManagerForm::btDelGroupClick);
    connect(btAddFilter, &TPngSpeedButton::clicked, this, &TManagerForm::btAddFilterClick);
    connect(btDelFilter, &TPngSpeedButton::clicked, this, &TManagerForm::btDelFilterClick);
    connect(ColorBox1, &ColorBox::colorChanged, this, &TManagerForm::ColorBox1Change);
}

void TManagerForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    if (const QScreen* shown = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(shown->availableGeometry().center());
        move(frame.topLeft());
    }
}

template <class Operation> bool TManagerForm::runStore(Operation&& operation)
{
    try {
        operation();
        return true;
    } catch (const qelt::QeltError& error) {
        Dialogs::instance().showError(this, QString::fromStdString(error.what()));
        return false;
    }
}

// A store file that cannot be looked at is reported like any failing store operation.
bool TManagerForm::groupFileExists()
{
    bool exists = false;
    return runStore(
               [&] { exists = qelt::FileExists(qelt::FilterStore(m_appDir).GroupFilePath()); }) &&
           exists;
}

bool TManagerForm::filterFileExists()
{
    bool exists = false;
    return runStore(
               [&] { exists = qelt::FileExists(qelt::FilterStore(m_appDir).FilterFilePath()); }) &&
           exists;
}

std::optional<std::string> TManagerForm::selectedBytes(const ListBox* list)
{
    const int row = list->selectedRow();
    if (row < 0)
        return std::nullopt;
    const QByteArray bytes = list->item(row)->data(Qt::UserRole).toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void TManagerForm::appendEntry(ListBox* list, const std::string& bytes)
{
    auto* item =
        new QListWidgetItem(QString::fromStdString(qelt::DecodeForDisplay(bytes, m_codePage)));
    item->setData(Qt::UserRole, QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    const QSignalBlocker blocker(list);
    list->addItem(item);
}

void TManagerForm::fillList(ListBox* list, const std::vector<std::string>& entries)
{
    const QSignalBlocker blocker(list);
    list->clear();
    for (const std::string& entry : entries)
        appendEntry(list, entry);
}

std::optional<std::string> TManagerForm::askText(const QString& prompt, const QString& initial,
                                                 QString* typedText)
{
    const std::optional<QString> typed =
        Dialogs::instance().getText(this, caption(), prompt, initial, InputMaxLength);
    if (!typed || typed->isEmpty())
        return std::nullopt;
    *typedText = *typed;
    std::optional<std::string> bytes = qelt::EncodeFromUtf8(typed->toStdString(), m_codePage);
    if (!bytes) {
        Dialogs::instance().showError(
            this, tr("\"%1\" cannot be stored: code page %2 (CodePage in config.ini) has no "
                     "byte for some of its characters. Nothing was stored.")
                      .arg(*typed)
                      .arg(m_codePage));
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::string> TManagerForm::askStoredText(const QString& prompt, std::size_t capacity,
                                                       const QString& tooLong)
{
    QString typed;
    for (;;) {
        const std::optional<std::string> bytes = askText(prompt, typed, &typed);
        if (!bytes)
            return std::nullopt;
        if (bytes->size() <= capacity)
            return bytes;
        const std::string stored = storedPart(*bytes, capacity, m_codePage);
        const QString shown = QString::fromStdString(qelt::DecodeForDisplay(stored, m_codePage));
        enum Answer
        {
            Keep,
            Edit,
            Cancel
        };
        const int answer = Dialogs::instance().choose(
            this, caption(),
            tooLong.arg(capacity).arg(typed) +
                tr("\n\nIt would be stored as:\n\n%1\n\nKeep this text, edit it, or cancel?")
                    .arg(shown),
            {tr("&Keep"), tr("&Edit"), tr("Cancel")}, Edit, Cancel);
        if (answer == Keep)
            return stored;
        if (answer != Edit)
            return std::nullopt;
    }
}

void TManagerForm::FormCreate()
{
    std::vector<std::string> groups;
    if (runStore([&] { groups = qelt::FilterStore(m_appDir).ListGroups(); }))
        fillList(GroupList, groups);
    const QSignalBlocker blocker(FilterList);
    FilterList->clear();
}

void TManagerForm::GroupListClick()
{
    fillList(FilterList, {});
    const std::optional<std::string> group = selectedBytes(GroupList);
    if (!group) {
        btDelGroup->setEnabled(false);
        return;
    }
    btDelGroup->setEnabled(true);
    btAddFilter->setEnabled(true);
    btDelFilter->setEnabled(false);
    // Without a filter file the colour box keeps its choice, whatever the group file says.
    if (!filterFileExists())
        return;
    std::vector<std::string> filters;
    if (!runStore([&] { filters = qelt::FilterStore(m_appDir).ListFilters(*group); }))
        return;
    fillList(FilterList, filters);
    if (!groupFileExists())
        return;
    std::optional<StoredColor> color;
    if (!runStore([&] { color = qelt::FilterStore(m_appDir).GroupColor(*group); }))
        return;
    if (color) {
        ColorBox1->selectColor(*color);
        ColorBox1->repaint();
        QCoreApplication::processEvents();
    }
}

void TManagerForm::FilterListClick()
{
    if (FilterList->selectedRow() >= 0)
        btDelFilter->setEnabled(true);
}

void TManagerForm::FilterListDblClick()
{
    const std::optional<std::string> filter = selectedBytes(FilterList);
    if (!filter)
        return;
    const QString address = QStringLiteral("http://") +
                            QString::fromStdString(qelt::DecodeForDisplay(*filter, m_codePage));
    // Like a row's address in the main window: what is not a web or FTP address opens nothing.
    OpenUrlSafely(address);
}

void TManagerForm::btAddGroupClick()
{
    const std::optional<std::string> typed =
        askStoredText(tr("Please enter a Group Name"), qelt::GroupNameCapacity,
                      tr("A group name can hold %1 bytes, and \"%2\" is longer."));
    if (!typed)
        return;
    const std::string& name = *typed;
    const StoredColor color = ColorBox1->selectedColor();
    bool appended = false;
    if (!runStore([&] { appended = qelt::FilterStore(m_appDir).AddGroup(name, color); }))
        return;
    if (appended)
        appendEntry(GroupList, name);
}

void TManagerForm::btAddFilterClick()
{
    const std::optional<std::string> group = selectedBytes(GroupList);
    if (!group)
        return;
    const std::optional<std::string> typed =
        askStoredText(tr("Please eneter a filter entry"), qelt::FilterTextCapacity,
                      tr("A filter can hold %1 bytes, and \"%2\" is longer."));
    if (!typed)
        return;
    const std::string& text = *typed;
    bool appended = false;
    if (!runStore([&] { appended = qelt::FilterStore(m_appDir).AddFilter(*group, text); }))
        return;
    if (appended)
        appendEntry(FilterList, text);
}

void TManagerForm::btDelFilterClick()
{
    const std::optional<std::string> group = selectedBytes(GroupList);
    const int row = FilterList->selectedRow();
    const std::optional<std::string> filter = selectedBytes(FilterList);
    if (!group || !filter || !filterFileExists())
        return;
    if (!runStore([&] { qelt::FilterStore(m_appDir).DeleteFilter(*group, *filter); }))
        return;
    const QSignalBlocker blocker(FilterList);
    delete FilterList->takeItem(row);
    FilterList->clearSelection();
    FilterList->setCurrentRow(-1);
}

void TManagerForm::btDelGroupClick()
{
    const std::optional<std::string> group = selectedBytes(GroupList);
    if (!group || !groupFileExists())
        return;
    // The filters go with the group: ask before they do.
    std::size_t filters = 0;
    if (filterFileExists() &&
        !runStore([&] { filters = qelt::FilterStore(m_appDir).ListFilters(*group).size(); }))
        return;
    if (filters > 0) {
        const QString name = QString::fromStdString(qelt::DecodeForDisplay(*group, m_codePage));
        const QString question =
            filters == 1 ? tr("Delete the group \"%1\" and its filter?").arg(name)
                         : tr("Delete the group \"%1\" and its %2 filters?").arg(name).arg(filters);
        if (Dialogs::instance().question(this, caption(), question,
                                         QMessageBox::Yes | QMessageBox::No, QMessageBox::No,
                                         QMessageBox::No) != QMessageBox::Yes)
            return;
    }
    bool found = false;
    const bool deleted = runStore([&] {
        qelt::FilterStore store(m_appDir);
        found = store.GroupColor(*group).has_value();
        store.DeleteGroup(*group);
    });
    if (!deleted)
        return;
    if (found && filterFileExists())
        fillList(FilterList, {});
    std::vector<std::string> groups;
    if (runStore([&] { groups = qelt::FilterStore(m_appDir).ListGroups(); }))
        fillList(GroupList, groups);
    const QSignalBlocker blocker(GroupList);
    GroupList->clearSelection();
    GroupList->setCurrentRow(-1);
}

void TManagerForm::ColorBox1Change()
{
    const std::optional<std::string> group = selectedBytes(GroupList);
    if (!group)
        return;
    const StoredColor color = ColorBox1->selectedColor();
    runStore([&] { qelt::FilterStore(m_appDir).SetGroupColor(*group, color); });
}
