#include "Unit1/Unit1.h"

#include "PngSpeedButton/PngSpeedButton.h"
#include "StatsView/StatsWindow.h"
#include "Unit1/DeleteAnimation.h"
#include "Unit1/FilterBar.h"
#include "Unit1/FindBar.h"
#include "Unit1/LogFollower.h"
#include "Unit1/LogOpener.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/StatusControls.h"
#include "Unit1/WindowActions.h"
#include "Unit1/Worker.h"
#include "Unit2/ColorBox.h"
#include "Unit2/Unit2.h"
#include "common/QeltError.h"
#include "filters/RowColor.h"
#include "logaccess/Deletion.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogIndex.h"
#include "logaccess/LogRewrite.h"
#include "logaccess/RecordListing.h"
#include "logaccess/UndoJournal.h"
#include "settings/Settings.h"
#include "widgets/Dialogs.h"
#include "widgets/DisplayText.h"
#include "widgets/ItemHeight.h"
#include "widgets/SafeUrl.h"
#include "widgets/Trash.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFontInfo>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>

bool ListingBusy = false;

namespace {

// The outer size of the window is its client area plus the frame of the window it was designed
// with; config.ini keeps outer sizes, Qt sets client sizes.
constexpr int FrameWidth = 8;
constexpr int FrameHeight = 27;
constexpr int DesignClientWidth = 700;
constexpr int DesignClientHeight = 425;
// The smallest client area a stored size gives.
constexpr int MinimumClientWidth = 100;
constexpr int MinimumClientHeight = 100;
// The tree fills its pane inside a one-pixel bevel on each side.
constexpr int TreeInset = 2;
constexpr int SplitterSnap = 30;

const QColor TreeBackground(252, 238, 176);
const QColor Navy(0, 0, 128);

// The font of the design when the platform has it, else the closest sans at the same pixel
// height. The fallbacks run wider than the design's fonts, so DejaVu Sans is taken condensed to
// keep the texts within the fixed column and panel widths (a date fills the Date column).
QFont ClosestSans(const QString& family, int pixelSize, bool bold)
{
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    if (QFontInfo(font).family().compare(family, Qt::CaseInsensitive) == 0)
        return font;
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arimo")});
    font.setStyleHint(QFont::SansSerif);
    if (QFontInfo(font).family() == QLatin1String("DejaVu Sans"))
        font.setStretch(QFont::Condensed);
    return font;
}

QFont SansFont(int pixelSize, bool bold = false)
{
    return ClosestSans(QStringLiteral("Tahoma"), pixelSize, bold);
}

QFont TreeFont(bool bold = false)
{
    return ClosestSans(QStringLiteral("MS Sans Serif"), 11, bold);
}

// Throttles the progress of a worker to a few updates a second and hands them to the window's
// thread. The last value always arrives: flush() sends what is pending.
class StatusForwarder
{
public:
    using Sender = std::function<void(int slot, const QString& text)>;

    explicit StatusForwarder(Sender send) : m_send(std::move(send)) { m_clock.start(); }

    void set(int slot, QString text)
    {
        m_texts[slot] = std::move(text);
        m_dirty[slot] = true;
        if (m_clock.elapsed() >= 40)
            flush();
    }
    void flush()
    {
        for (int slot = 0; slot < 3; ++slot) {
            if (m_dirty[slot])
                m_send(slot, m_texts[slot]);
            m_dirty[slot] = false;
        }
        m_clock.restart();
    }

private:
    Sender m_send;
    QString m_texts[3];
    bool m_dirty[3] = {};
    QElapsedTimer m_clock;
};

// The first batch of rows a listing hands to the list ahead of the whole table; each further
// batch is twice as large, up to the last one.
constexpr std::size_t FirstListingBatch = 100;
constexpr std::size_t LastListingBatch = 12800;

// A panel is a few dozen characters wide; it gets no more than this many bytes of a name.
constexpr std::size_t PanelLimit = 200;

// The status bar as the index builder's progress sink, seen from the worker. The builder's
// texts are an English prefix and the bytes of a count, user or host; the prefix is shown in the
// user's language.
class StatusBarSink : public qelt::ProgressSink
{
public:
    StatusBarSink(StatusForwarder& forwarder, int codePage)
        : m_forwarder(forwarder), m_codePage(codePage)
    {
        for (Prefix& prefix : m_prefixes)
            prefix.shown = QCoreApplication::translate("TForm1", prefix.format);
    }
    void ShowStatus(int slot, std::string_view text) override
    {
        for (const Prefix& prefix : m_prefixes) {
            if (text.substr(0, prefix.bytes.size()) == prefix.bytes) {
                m_forwarder.set(slot,
                                prefix.shown.arg(DisplayTextElided(text.substr(prefix.bytes.size()),
                                                                   m_codePage, PanelLimit)));
                return;
            }
        }
        m_forwarder.set(slot, DisplayTextElided(text, m_codePage, PanelLimit));
    }
    // The window runs its own event loop; nothing to pump from here.
    void ProcessPending() override {}

private:
    struct Prefix
    {
        std::string_view bytes;
        const char* format;
        QString shown;
    };
    StatusForwarder& m_forwarder;
    int m_codePage;
    Prefix m_prefixes[3] = {
        {"Total Accounts: ", QT_TRANSLATE_NOOP("TForm1", "Total Accounts: %1"), {}},
        {"Found User: ", QT_TRANSLATE_NOOP("TForm1", "Found User: %1"), {}},
        {"Found URL: ", QT_TRANSLATE_NOOP("TForm1", "Found URL: %1"), {}},
    };
};

// The processing panel's bar as a deletion's progress, seen from the worker.
class BarProgress : public qelt::DeletionProgress
{
public:
    using Sender = std::function<void(int minimum, int maximum, int position)>;

    explicit BarProgress(Sender send) : m_send(std::move(send)) { m_clock.start(); }
    void setRange(int minimum, int maximum) override
    {
        m_minimum = minimum;
        m_maximum = maximum;
        flush();
    }
    void setPosition(int position) override
    {
        m_position = position;
        if (m_clock.elapsed() >= 30)
            flush();
    }
    void flush()
    {
        m_send(m_minimum, m_maximum, m_position);
        m_clock.restart();
    }

private:
    Sender m_send;
    int m_minimum = 0;
    int m_maximum = 100;
    int m_position = 0;
    QElapsedTimer m_clock;
};

// Draws user nodes bold and navy, host nodes in the tree's font; a selected node takes the
// menu colour as its text colour over the highlight.
class TreeNodeDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        const int level = LogTreeModel::level(index);
        const TreeNodeStyleResult style =
            TreeNodeStyle(level, option->state.testFlag(QStyle::State_Selected));
        if (style.bold) {
            option->font = TreeFont(true);
            option->fontMetrics = QFontMetrics(option->font);
        }
        option->palette.setColor(QPalette::Text, style.color);
        option->palette.setColor(QPalette::HighlightedText, style.color);
        // Hot tracking: the node under the mouse is underlined.
        if (option->state.testFlag(QStyle::State_MouseOver) &&
            !option->state.testFlag(QStyle::State_Selected)) {
            option->font.setUnderline(true);
            option->fontMetrics = QFontMetrics(option->font);
        }
        // The node's number of lines, or of matches while find in the log is on.
        const QVariant count = index.data(LogTreeModel::CountRole);
        if (count.isValid())
            option->text += QStringLiteral(" (%1)").arg(count.toULongLong());
    }
};

// Answers every left click on the tree as the tree's click event does: a click on a node, on
// a node's expand arrow or on the empty space below the nodes lists the selected node. The view
// reports clicks on nodes only, and would take the selection away on empty space.
class TreeClicks : public QObject
{
public:
    TreeClicks(QTreeView* tree, std::function<void()> click)
        : QObject(tree), m_tree(tree), m_viewport(tree->viewport()), m_click(std::move(click))
    {
        m_viewport->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Compared with the viewport kept at the start: while the tree is taken down, events
        // still come, and the tree must not be asked.
        if (watched != m_viewport)
            return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            const auto* mouse = static_cast<const QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton &&
                !m_tree->indexAt(mouse->position().toPoint()).isValid()) {
                m_tree->setFocus(Qt::MouseFocusReason);
                m_pressedEmpty = true;
                return true;
            }
            break;
        }
        case QEvent::MouseButtonDblClick:
            // The release that ends a double click is no click of its own.
            m_doubleClick = true;
            break;
        case QEvent::MouseButtonRelease:
            if (static_cast<const QMouseEvent*>(event)->button() != Qt::LeftButton)
                break;
            if (m_doubleClick) {
                m_doubleClick = false;
                break;
            }
            // After the view has handled the release, so that the selection is settled.
            QMetaObject::invokeMethod(this, m_click, Qt::QueuedConnection);
            if (m_pressedEmpty) {
                m_pressedEmpty = false;
                return true;
            }
            break;
        default:
            break;
        }
        return false;
    }

private:
    QTreeView* m_tree;
    QObject* m_viewport;
    std::function<void()> m_click;
    bool m_pressedEmpty = false;
    bool m_doubleClick = false;
};

} // namespace

TreeNodeStyleResult TreeNodeStyle(int level, bool selected)
{
    TreeNodeStyleResult style;
    style.bold = level == 0;
    if (selected)
        style.color = QApplication::palette("QMenu").color(QPalette::Window);
    else
        style.color = level == 1 ? QColor(Qt::black) : Navy;
    return style;
}

QString AboutText()
{
    return QCoreApplication::translate(
        "TForm1", "Qelt Viewer 2.5 build 0716\n"
                  "\n"
                  "Views, colours and prunes the access logs of a proxy server.\n"
                  "\n"
                  "Written by the Qelt Viewer developers.\n"
                  "Icons: Silk by Mark James (CC-BY 3.0), Tango (public domain),\n"
                  "Oxygen (LGPL-3+).");
}

TForm1::TForm1(QWidget* parent) : TForm1(qelt::AppDir(), parent) {}

TForm1::TForm1(std::string appDir, QWidget* parent)
    : QMainWindow(parent), m_appDir(qelt::WithTrailingSlash(std::move(appDir))),
      m_codePage(qelt::ReadCodePage(m_appDir)),
      m_rowColorRule(std::make_unique<qelt::RowColorRule>(m_appDir))
{
    loadImages();
    buildControls();
    buildUndo();
    FormCreate();
}

TForm1::~TForm1()
{
    // The tree's widgets send their last events (focus out) while the base class takes them
    // down; the key filter must not see them through a window that is half gone.
    TreeView1->removeEventFilter(m_actions);
    stopWorkers();
    while (m_waitDepth > 0)
        endWait();
    // The views may still ask for icons and colours while the base class takes them down, after
    // the members that hold them are gone.
    m_recordModel->setColorRule({});
    m_recordModel->setIcons(nullptr);
    m_treeModel->setIcons(nullptr);
}

void TForm1::stopWorkers()
{
    if (m_cancel)
        m_cancel->store(true);
    // A deletion finishes writing its log; results still on their way are dropped with the window.
    for (const QPointer<QThread>& worker : m_workers) {
        if (worker)
            worker->wait();
    }
}

void TForm1::track(QThread* worker)
{
    m_workers.removeIf([](const QPointer<QThread>& p) { return p.isNull(); });
    m_workers.append(worker);
}

void TForm1::loadImages()
{
    TPngSpeedButton::initResources();
    for (int i = 0; i < 10; ++i)
        ImageList1.append(QIcon(QStringLiteral(":/icons/icon%1.png").arg(i)));
    QIcon appIcon;
    for (int size : {16, 24, 32, 48})
        appIcon.addFile(QStringLiteral(":/icons/app_%1.png").arg(size), QSize(size, size));
    setWindowIcon(appIcon);
}

void TForm1::buildControls()
{
    setWindowTitle(tr("Qelt Viewer"));
    setFont(SansFont(11));
    resize(DesignClientWidth, DesignClientHeight);

    // The toolbar strip and its one band.
    ControlBar1 = new QWidget(this);
    ControlBar1->setObjectName(QStringLiteral("ControlBar1"));
    ControlBar1->setFixedHeight(54);
    Panel3 = new QWidget(ControlBar1);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setGeometry(11, 2, 780, 50);
    buildToolbar();
    setMenuWidget(ControlBar1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(19);
    StatusBar1->setSizeGripEnabled(true);
    // Three panels of 120, 180 and 120 pixels from the left edge, placed by hand: the status
    // bar's own layout would put margins and gaps between them.
    const int widths[3] = {120, 180, 120};
    int left = 0;
    for (int i = 0; i < 3; ++i) {
        m_panels[i] = new QLabel(StatusBar1);
        m_panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        m_panels[i]->setGeometry(left, 0, widths[i], 19);
        m_panels[i]->setFrameShape(QFrame::Panel);
        m_panels[i]->setFrameShadow(QFrame::Sunken);
        m_panels[i]->setContentsMargins(2, 0, 2, 0);
        left += widths[i];
    }
    setStatusBar(StatusBar1);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(4);
    // A hatched line follows the mouse; the panes change when the button is released.
    Splitter1->setOpaqueResize(false);
    Splitter1->setChildrenCollapsible(true);

    Panel1 = new QFrame(Splitter1);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    // Any width down to one pixel; the snap below shuts it from 30 pixels down.
    Panel1->setMinimumWidth(1);
    auto* leftLayout = new QVBoxLayout(Panel1);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(0);

    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFixedHeight(30);
    auto* chooserLayout = new QHBoxLayout(Panel2);
    chooserLayout->setContentsMargins(5, 4, 5, 4);
    ComboBox1 = new QComboBox(Panel2);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setEditable(false);
    ComboBox1->setMaxVisibleItems(15);
    ComboBox1->setIconSize(QSize(16, 16));
    ComboBox1->setFont(TreeFont());
    ComboBox1->setFixedHeight(22);
    ComboBox1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComboBox1->setMinimumContentsLength(4);
    SetItemHeight(ComboBox1, 16);
    chooserLayout->addWidget(ComboBox1);
    leftLayout->addWidget(Panel2);

    TreeView1 = new QTreeView(Panel1);
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    m_treeModel = new LogTreeModel(this);
    m_treeModel->setIcons(&ImageList1);
    m_treeModel->setCodePage(m_codePage);
    TreeView1->setModel(m_treeModel);
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(19);
    TreeView1->setIconSize(QSize(16, 16));
    TreeView1->setFont(TreeFont());
    TreeView1->setFrameShape(QFrame::NoFrame);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeView1->setMouseTracking(true);
    TreeView1->setAttribute(Qt::WA_Hover);
    TreeView1->viewport()->setAttribute(Qt::WA_Hover);
    TreeView1->setUniformRowHeights(true);
    TreeView1->setItemDelegate(new TreeNodeDelegate(TreeView1));
    {
        QPalette palette = TreeView1->palette();
        palette.setColor(QPalette::Base, TreeBackground);
        palette.setColor(QPalette::Text, Qt::black);
        // The selection stays as visible when the tree loses the focus.
        palette.setColor(QPalette::Inactive, QPalette::Highlight,
                         palette.color(QPalette::Active, QPalette::Highlight));
        TreeView1->setPalette(palette);
    }
    leftLayout->addWidget(TreeView1, 1);

    Panel4 = new QWidget(Splitter1);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Panel4->setMinimumWidth(SplitterSnap);
    auto* listLayout = new QVBoxLayout(Panel4);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(0);
    ListView1 = new QTreeView(Panel4);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    m_recordModel = new RecordModel(this);
    m_recordModel->setIcons(&ImageList1);
    m_recordModel->setCodePage(m_codePage);
    m_recordModel->setColorRule([this](std::string_view url) { return rowColor(url); });
    ListView1->setModel(m_recordModel);
    ListView1->setRootIsDecorated(false);
    ListView1->setItemsExpandable(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setAllColumnsShowFocus(true);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setIconSize(QSize(16, 16));
    ListView1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    ListView1->header()->setStretchLastSection(false);
    ListView1->header()->setSectionsMovable(false);
    ListView1->setColumnWidth(RecordModel::DateColumn, 130);
    ListView1->setColumnWidth(RecordModel::LabelColumn, 80);
    ListView1->setColumnWidth(RecordModel::UrlColumn, 400);
    {
        QPalette palette = ListView1->palette();
        palette.setColor(QPalette::Base, Qt::white);
        palette.setColor(QPalette::Inactive, QPalette::Highlight,
                         palette.color(QPalette::Active, QPalette::Highlight));
        palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         palette.color(QPalette::Active, QPalette::HighlightedText));
        ListView1->setPalette(palette);
    }
    m_filterBar = new FilterBar(m_recordModel, m_codePage, Panel4);
    m_filterBar->sortByHeader(ListView1->header());
    listLayout->addWidget(m_filterBar);
    listLayout->addWidget(ListView1);

    ProcessPanel = new QFrame(Panel4);
    ProcessPanel->setObjectName(QStringLiteral("ProcessPanel"));
    ProcessPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    ProcessPanel->setLineWidth(1);
    ProcessPanel->setAutoFillBackground(true);
    ProcessPanel->setGeometry(56, 120, 367, 170);
    ProcessPanel->hide();
    GroupBox1 = new QGroupBox(tr("Processing..."), ProcessPanel);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setFont(TreeFont(true));
    GroupBox1->setGeometry(17, 12, 336, 142);
    Animate1 = new DeleteAnimation(GroupBox1);
    Animate1->setObjectName(QStringLiteral("Animate1"));
    Animate1->setGeometry(16, 23, 304, 60);
    PB = new QProgressBar(GroupBox1);
    PB->setObjectName(QStringLiteral("PB"));
    PB->setGeometry(16, 96, 305, 16);
    PB->setRange(0, 100);
    PB->setValue(0);
    PB->setTextVisible(false);

    Splitter1->addWidget(Panel1);
    Splitter1->addWidget(Panel4);
    Splitter1->setCollapsible(0, true);
    Splitter1->setCollapsible(1, false);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    setCentralWidget(Splitter1);

    connect(Splitter1, &QSplitter::splitterMoved, this, [this](int pos, int) {
        // A tree pane dragged to 30 pixels or less snaps shut.
        if (pos > 0 && pos <= SplitterSnap) {
            const QList<int> sizes = Splitter1->sizes();
            Splitter1->setSizes({0, sizes.value(0) + sizes.value(1)});
        }
    });
    connect(ComboBox1, qOverload<int>(&QComboBox::activated), this, &TForm1::ComboBox1Change);
    new TreeClicks(TreeView1, [this] { TreeView1Click(); });
    connect(ListView1, &QTreeView::doubleClicked, this, &TForm1::ListView1DblClick);
    connect(ListView1->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TForm1::ListView1Change);
    connect(m_recordModel, &RecordModel::shownRowsChanged, this, &TForm1::ListView1Change);
    // Find in the log stands between the chooser and the tree while it is open.
    m_findBar = new FindBar(this);
    leftLayout->insertWidget(1, m_findBar);
    m_actions = new WindowActions(this);
    addStatisticsCommands();
    m_opener = new LogOpener(this);
    m_statusControls = new StatusControls(this);
    m_follower = new LogFollower(this);
    connect(m_statusControls->followAction(), &QAction::toggled, m_follower,
            &LogFollower::setEnabled);
}

void TForm1::buildToolbar()
{
    struct ToolbarButtonDef
    {
        TPngSpeedButton** button;
        const char* name;
        const char* caption;
        const char* glyph;
        int left;
        void (TForm1::*handler)();
    };
    // Created in the order of the window description; placed in the order of the toolbar.
    const ToolbarButtonDef toolbarButtons[] = {
        {&OpenButton, "OpenButton", QT_TR_NOOP("Open Log Folder"), "open_log_folder", 0,
         &TForm1::OpenButtonClick},
        {&DeleteButton, "DeleteButton", QT_TR_NOOP("Delete Record or Node"), "delete_record", 260,
         &TForm1::DeleteButtonClick},
        {&PngSpeedButton1, "PngSpeedButton1", QT_TR_NOOP("Software Version"), "about", 520,
         &TForm1::PngSpeedButton1Click},
        {&FMButton, "FMButton", QT_TR_NOOP("Filter Manager"), "filter_manager", 390,
         &TForm1::FMButtonClick},
        {&DeleteLogButton, "DeleteLogButton", QT_TR_NOOP("Delete Log File"), "delete_log_file", 130,
         &TForm1::DeleteLogButtonClick},
        {&StatsButton, "StatsButton", "Statistics", "statistics", 650, &TForm1::StatsButtonClick},
    };
    for (const ToolbarButtonDef& entry : toolbarButtons) {
        auto* button = new TPngSpeedButton(Panel3);
        button->setObjectName(QString::fromLatin1(entry.name));
        button->setCaption(tr(entry.caption));
        button->setPngImage(TPNGObject::fromResource(
            QStringLiteral(":/icons/%1.png").arg(QString::fromLatin1(entry.glyph))));
        button->setGeometry(entry.left, 0, 130, 50);
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &TPngSpeedButton::clicked, this, entry.handler);
        *entry.button = button;
    }
    DeleteButton->setEnabled(false);
    DeleteLogButton->setEnabled(false);
}

QString TForm1::panelText(int panel) const
{
    return m_panelTexts[panel];
}

void TForm1::setPanel(int panel, const QString& text, const QString& toolTip)
{
    // A panel shows what fits its width; the whole text is its tooltip then.
    QLabel* label = m_panels[panel];
    m_panelTexts[panel] = text;
    const QMargins margins = label->contentsMargins();
    const int room = label->width() - 2 * label->frameWidth() - margins.left() - margins.right();
    const QString shown = label->fontMetrics().elidedText(text, Qt::ElideRight, room);
    label->setText(shown);
    label->setToolTip(!toolTip.isEmpty() ? toolTip : shown != text ? text : QString());
}

void TForm1::showError(const QString& message)
{
    Dialogs::instance().showError(this, message);
}

void TForm1::showNote(const QString& note, const QPoint& at)
{
    // A tooltip where the user looks, not a dialog and not a panel of its own.
    QToolTip::showText(at, note, ListView1);
}

void TForm1::beginWait()
{
    if (m_waitDepth++ == 0)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

void TForm1::endWait()
{
    if (m_waitDepth > 0 && --m_waitDepth == 0)
        QGuiApplication::restoreOverrideCursor();
}

std::optional<std::string> TForm1::chosenLogName() const
{
    const int item = ComboBox1->currentIndex();
    if (item < 0)
        return std::nullopt;
    return ToBytes(ComboBox1->itemData(item).toByteArray());
}

std::string TForm1::logPath(const std::string& name) const
{
    return qelt::LogDir() + name;
}

std::optional<QColor> TForm1::rowColor(std::string_view url)
{
    std::string error;
    const std::optional<qelt::ColorValue> color = m_rowColorRule->RowColorNoThrow(url, error);
    // The rule gives the message once, not once per row. It is shown after the paint: a
    // message box inside a paint would paint again.
    if (!error.empty()) {
        QMetaObject::invokeMethod(
            this, [this, error] { showError(QString::fromLocal8Bit(error.c_str())); },
            Qt::QueuedConnection);
    }
    if (!color)
        return std::nullopt;
    return ToQColor(*color);
}

// ---- Start and end.

void TForm1::FormCreate()
{
    ApplySettings();
}

void TForm1::ApplySettings()
{
    const QSize client = size();
    qelt::WindowSizes current;
    current.width = client.width() + FrameWidth;
    current.height = client.height() + FrameHeight;
    current.separator = treeWidth();
    const qelt::LoggerSettings settings = qelt::ReadLoggerSettings(m_appDir, current);
    // Any 32-bit number may stand in config.ini, and one saved on a larger screen does not fit
    // this one: the window takes what the screen can hold, the tree pane what the window can.
    const QScreen* display = screen();
    const QSize room = display ? display->availableGeometry().size() : QSize(1024, 768);
    const auto clamped = [](std::int64_t value, std::int64_t low, std::int64_t high) {
        return static_cast<int>(std::clamp(value, low, std::max(low, high)));
    };
    const int outerWidth =
        clamped(settings.sizes.width, MinimumClientWidth + FrameWidth, room.width());
    const int outerHeight =
        clamped(settings.sizes.height, MinimumClientHeight + FrameHeight, room.height());
    resize(outerWidth - FrameWidth, outerHeight - FrameHeight);
    const int widestTree = outerWidth - FrameWidth - SplitterSnap - 4 - TreeInset;
    setTreePaneWidth(clamped(settings.sizes.separator, 0, widestTree) + TreeInset);
    if (m_shown)
        keepOnScreen();

    qelt::SetLogDir(settings.logDir);
    if (qelt::LogDir().empty())
        return;
    ComboBox1->clear();
    int error = 0;
    const std::vector<std::string> names = qelt::ListLogFiles(qelt::LogDir(), error);
    if (error != 0) {
        // The tree, the list and the commands belonged to the folder before; the status bar
        // says why the chooser stays empty.
        ++m_treeGeneration;
        m_treeModel->clear();
        m_recordModel->clear();
        DeleteButton->setEnabled(false);
        DeleteLogButton->setEnabled(false);
        setPanel(0, QString());
        setPanel(1, QString());
        const QString folder = QFile::decodeName(QByteArray::fromStdString(qelt::LogDir()));
        setPanel(2,
                 error == ENOENT || error == ENOTDIR ? tr("Folder not found")
                                                     : tr("Folder not readable"),
                 tr("Cannot open folder %1\n%2")
                     .arg(folder, QString::fromLocal8Bit(std::strerror(error))));
    }
    for (const std::string& name : names)
        ComboBox1->addItem(ImageList1.value(3), DisplayText(name, m_codePage), ToByteArray(name));
    ComboBox1->setCurrentIndex(-1);
}

void TForm1::applyCodePage(int codePage)
{
    m_codePage = codePage;
    m_treeModel->setCodePage(codePage);
    m_recordModel->setCodePage(codePage);
    m_filterBar->setCodePage(codePage);
    for (int item = 0; item < ComboBox1->count(); ++item)
        ComboBox1->setItemText(
            item, DisplayText(ToBytes(ComboBox1->itemData(item).toByteArray()), codePage));
    TreeView1->viewport()->update();
    ListView1->viewport()->update();
}

QString TForm1::BrowseForLogFolder()
{
    const QString start = QFile::decodeName(QByteArray::fromStdString(qelt::LogDir()));
    return Dialogs::instance().getExistingDirectory(this, QString(), start);
}

void TForm1::OpenButtonClick()
{
    const QString folder = BrowseForLogFolder();
    if (folder.isEmpty())
        return;
    const std::string bytes = QFile::encodeName(folder).toStdString();
    // LogDir changes only once config.ini holds the new folder: after a failed write it stays
    // the folder whose files the chooser lists.
    try {
        qelt::WriteLogDir(m_appDir, bytes);
        qelt::AddRecentFolder(m_appDir, bytes);
    } catch (const qelt::QeltError& error) {
        showError(QString::fromLocal8Bit(error.what()));
        return;
    }
    qelt::SetLogDir(bytes);
    ApplySettings();
}

int TForm1::treeWidth() const
{
    // Until the window is first shown the panes have no sizes yet: the one to apply counts.
    const int pane = m_shown ? Splitter1->sizes().value(0) : m_paneWidth;
    return std::max(pane - TreeInset, 0);
}

void TForm1::setTreePaneWidth(int pane)
{
    // A pane closed by the snap is stored as a tree of no width; it opens closed again rather
    // than as a sliver of its bevel.
    if (pane <= SplitterSnap)
        pane = 0;
    m_paneWidth = pane;
    if (!m_shown)
        return;
    const int total = Splitter1->width();
    Splitter1->setSizes({pane, std::max(total - pane - Splitter1->handleWidth(), SplitterSnap)});
}

void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        setTreePaneWidth(m_paneWidth);
        // Centred on the screen when first shown; a stored position is not kept.
        if (const QScreen* display = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(display->availableGeometry().center());
            move(frame.topLeft());
        }
        keepOnScreen();
    }
}

void TForm1::keepOnScreen()
{
    // The title bar and the toolbar stay on the screen: the top left corner first, then as much
    // of the rest as the screen holds.
    const QScreen* display = screen();
    if (!display)
        return;
    const QRect room = display->availableGeometry();
    QRect frame = frameGeometry();
    if (frame.right() > room.right())
        frame.moveRight(room.right());
    if (frame.bottom() > room.bottom())
        frame.moveBottom(room.bottom());
    if (frame.left() < room.left())
        frame.moveLeft(room.left());
    if (frame.top() < room.top())
        frame.moveTop(room.top());
    if (frame.topLeft() != frameGeometry().topLeft())
        move(frame.topLeft());
}

void TForm1::FormClose()
{
    qelt::WindowSizes sizes;
    sizes.width = width() + FrameWidth;
    sizes.height = height() + FrameHeight;
    sizes.separator = treeWidth();
    try {
        qelt::WriteWindowSizes(m_appDir, sizes);
    } catch (const qelt::QeltError& error) {
        showError(QString::fromLocal8Bit(error.what()));
    }
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // A deletion writes its log back before the window goes; a build or a listing just stops.
    if (m_cancel)
        m_cancel->store(true);
    stopWorkers();
    FormClose();
    event->accept();
}

// ---- The index.

void TForm1::ComboBox1Change()
{
    LoadSelectedLog();
}

void TForm1::LoadSelectedLog()
{
    const std::optional<std::string> name = chosenLogName();
    if (!name)
        return;
    beginWait();
    ComboBox1->setEnabled(false);
    ControlBar1->setEnabled(false);
    ++m_treeGeneration;
    // The tree, the list and the panels stay until the file has been opened: a log that cannot
    // be read leaves them as they were. DeleteButton waits for the next listing either way.
    m_opening = true;
    DeleteButton->setEnabled(false);

    struct BuildResult
    {
        UserNodes users;
        std::size_t userCount = 0;
        LoadedLog read;
        QString error;
        bool cancelled = false;
        bool opened = false;
    };
    const std::string path = logPath(*name);
    auto cancel = std::make_shared<std::atomic_bool>(false);
    m_cancel = cancel;
    const int codePage = m_codePage;
    QPointer<TForm1> self(this);
    auto work = [path, cancel, codePage, self]() -> BuildResult {
        BuildResult result;
        StatusForwarder forwarder([self](int slot, const QString& text) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, slot, text] {
                    if (self && !self->ComboBox1->isEnabled())
                        self->setPanel(slot, text);
                },
                Qt::QueuedConnection);
        });
        try {
            auto file = std::make_shared<const qelt::LogFile>(path);
            result.opened = true;
            QMetaObject::invokeMethod(
                self.data(),
                [self] {
                    if (self)
                        self->clearForBuild();
                },
                Qt::QueuedConnection);
            StatusBarSink sink(forwarder, codePage);
            qelt::IndexOptions options;
            options.cancel = cancel.get();
            const qelt::LogIndex index = qelt::BuildLogIndex(file, &sink, options);
            if (index.cancelled) {
                result.cancelled = true;
                return result;
            }
            forwarder.flush();
            result.read = {path, file->identity(), file->text().size()};
            result.userCount = index.users.size();
            const qelt::LogTree tree = qelt::MakeLogTree(index);
            result.users.reserve(tree.users.size());
            for (const qelt::TreeUser& user : tree.users) {
                auto node = std::make_unique<UserNode>();
                node->text = std::string(user.text);
                node->lines = user.lines;
                node->hosts.reserve(user.hostCount);
                for (const qelt::TreeHost& host : tree.hostsOf(user))
                    node->hosts.push_back({std::string(host.text), int(host.icon), host.lines});
                result.users.push_back(std::move(node));
            }
        } catch (const std::exception& error) {
            result.error = QString::fromLocal8Bit(error.what());
        }
        return result;
    };
    track(RunOnWorker<BuildResult>(this, std::move(work), [this](BuildResult result) {
        if (result.cancelled)
            return;
        m_opening = false;
        if (result.opened) {
            m_treeModel->setUsers(std::move(result.users));
            m_loadedLog.reset();
            if (result.error.isEmpty())
                m_loadedLog = std::move(result.read);
        }
        ComboBox1->setEnabled(true);
        ControlBar1->setEnabled(true);
        if (!result.error.isEmpty()) {
            endWait();
            showError(result.error);
        } else {
            setPanel(0, tr("Total Accounts: %1").arg(result.userCount));
            setPanel(1, QString());
            setPanel(2, QString());
            endWait();
        }
        DeleteLogButton->setEnabled(ComboBox1->currentIndex() >= 0);
        emit loadFinished();
    }));
}

void TForm1::clearForBuild()
{
    m_opening = false;
    m_treeModel->clear();
    for (int panel = 0; panel < 3; ++panel)
        setPanel(panel, QString());
    m_recordModel->clear();
}

// ---- The listing.

void TForm1::TreeView1Click()
{
    const QModelIndex node = TreeView1->selectionModel()->currentIndex();
    // While a build opens its log the tree still shows the log before, which is not the
    // chosen one any more.
    if (!node.isValid() || !TreeView1->selectionModel()->isSelected(node) || ListingBusy ||
        m_opening)
        return;
    const int level = LogTreeModel::level(node);
    if (level == 0)
        setPanel(2, tr("Selected User: %1").arg(node.data(Qt::DisplayRole).toString()));
    ListingBusy = true;
    DeleteButton->setEnabled(false);
    beginWait();
    m_recordModel->clear();

    struct ListingResult
    {
        RecordTable table;
        QString error;
    };
    const std::optional<std::string> name = chosenLogName();
    const LogTreeModel::SearchTexts texts = m_treeModel->searchTexts(node);
    const std::string path = name ? logPath(*name) : std::string();
    const unsigned generation = m_treeGeneration;
    QPointer<TForm1> self(this);
    auto work = [path, texts, hasLog = name.has_value(), self, generation]() -> ListingResult {
        ListingResult result;
        // With no log chosen (the last one was deleted) there is nothing to list.
        if (!hasLog)
            return result;
        try {
            auto file = std::make_shared<const qelt::LogFile>(path);
            const qelt::RecordList list =
                qelt::ListNodeRecords(file, qelt::NodeSearchTexts{texts.user, texts.host});
            result.table.setOrigin({qelt::TakeLogSnapshot(*file), texts.user, texts.host});
            // The rows keep their own bytes, so the file is let go when the listing ends.
            std::size_t bytes = 0;
            for (const qelt::RecordRow& row : list.rows())
                bytes += row.lineSize;
            result.table.reserve(list.size(), bytes);
            // The first rows also reach the list ahead of the rest, in batches that double in
            // size, so that "Records Count" climbs while the list fills. The whole table
            // follows in one piece: the list lays out its rows once more, not once a batch.
            std::size_t batch = FirstListingBatch;
            RecordTable ahead;
            for (std::size_t row = 0; row < list.size(); ++row) {
                const qelt::RecordFields fields = list.fields(row);
                const std::string_view url = qelt::StripHttpVersion(fields.rawUrl);
                result.table.append(fields.date, fields.label().view(), url, int(list.icon(row)),
                                    list.rows()[row].line);
                if (batch > LastListingBatch || row + 1 == list.size())
                    continue;
                ahead.append(fields.date, fields.label().view(), url, int(list.icon(row)),
                             list.rows()[row].line);
                if (ahead.size() == batch) {
                    auto ready = std::make_shared<RecordTable>(std::move(ahead));
                    ahead = RecordTable();
                    batch *= 2;
                    QMetaObject::invokeMethod(
                        self.data(),
                        [self, generation, ready] {
                            if (self)
                                self->appendListedRows(generation, *ready);
                        },
                        Qt::QueuedConnection);
                }
            }
        } catch (const std::exception& error) {
            result.error = QString::fromLocal8Bit(error.what());
        }
        return result;
    };
    track(
        RunOnWorker<ListingResult>(this, std::move(work), [this, generation](ListingResult result) {
            // A build that started meanwhile owns the list and the buttons now.
            const bool current = generation == m_treeGeneration;
            if (current)
                m_recordModel->setTable(std::move(result.table));
            ListingBusy = false;
            if (current)
                DeleteButton->setEnabled(true);
            // A failed listing has emptied the list: its count is shown as well.
            if (current)
                ListView1Change();
            endWait();
            if (!result.error.isEmpty())
                showError(result.error);
            emit listingFinished();
        }));
}

void TForm1::appendListedRows(unsigned generation, const RecordTable& rows)
{
    // Only while the listing that sent them is still the list's.
    if (generation != m_treeGeneration || !ListingBusy)
        return;
    m_recordModel->appendRows(rows);
    ListView1Change();
}

void TForm1::ListView1Change()
{
    setPanel(1, tr("Records Count: %1").arg(m_recordModel->rowCount()));
}

void TForm1::ListView1DblClick()
{
    // The topmost selected row, not necessarily the one under the mouse.
    const QModelIndexList selected = ListView1->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    int top = selected.first().row();
    for (const QModelIndex& index : selected)
        top = std::min(top, index.row());
    // The whole URL, not the text the cell shows.
    QString url =
        DisplayText(m_recordModel->table().url(static_cast<RecordTable::Row>(top)), m_codePage);
    // An FTP request has no version text to strip, so its URL keeps the request's closing
    // quote; the address to open ends before it.
    if (url.startsWith(QLatin1String("ftp://"), Qt::CaseInsensitive) &&
        url.endsWith(QLatin1Char('"')))
        url.chop(1);
    QString reason;
    if (!OpenUrlSafely(url, &reason) && !reason.isEmpty())
        showNote(reason, ListView1->viewport()->mapToGlobal(
                             ListView1->visualRect(m_recordModel->index(top, 0)).center()));
}

// ---- Deleting.

void TForm1::CentreProcessPanel()
{
    const QPoint centre = ListView1->geometry().center();
    ProcessPanel->move(centre.x() - ProcessPanel->width() / 2,
                       centre.y() - ProcessPanel->height() / 2);
}

void TForm1::setBarRange(int minimum, int maximum)
{
    // A range of one value would turn the bar into a busy indicator; one row's deletion is a
    // step from empty to full like any other.
    PB->setRange(minimum, std::max(maximum, minimum + 1));
}

void TForm1::setDeletionLock(bool locked)
{
    // Disabling a control moves the focus away from it, and DeleteButton acts on whichever of
    // the list and the tree holds the focus: give it back when the deletion ends.
    if (locked)
        m_focusBeforeDeletion = focusWidget();
    m_deleting = locked;
    TreeView1->setEnabled(!locked);
    ListView1->setEnabled(!locked);
    ComboBox1->setEnabled(!locked);
    if (!locked && m_focusBeforeDeletion && m_focusBeforeDeletion->isEnabled())
        m_focusBeforeDeletion->setFocus(Qt::OtherFocusReason);
}

void TForm1::DeleteButtonClick()
{
    if (m_deleting)
        return;
    const std::optional<std::string> name = chosenLogName();
    // With no log chosen there is no file to read or write.
    if (!name)
        return;
    QWidget* focus = focusWidget();
    const QModelIndexList selectedRows = ListView1->selectionModel()->selectedRows();
    const QModelIndex node = TreeView1->selectionModel()->currentIndex();
    const bool nodeSelected = node.isValid() && TreeView1->selectionModel()->isSelected(node);

    enum class Branch
    {
        Nothing,
        Records,
        Node
    };
    Branch branch = Branch::Nothing;
    if (focus == ListView1 && !selectedRows.isEmpty())
        branch = Branch::Records;
    else if (focus == TreeView1 && nodeSelected)
        branch = Branch::Node;

    DeleteButton->setEnabled(false);
    setDeletionLock(true);
    Animate1->setActive(true);
    CentreProcessPanel();
    PB->setMinimum(0);
    PB->setValue(0);

    // The rows in list order, with where their lines start in the log as it was listed.
    std::vector<RecordTable::Row> rows;
    std::vector<qelt::ByteOffset> lines;
    std::vector<qelt::ByteOffset> allLines; // of every row, for their places after the rewrite
    RecordTable::Origin listed;
    LogTreeModel::SearchTexts texts;
    if (branch == Branch::Records) {
        // The selected rows are shown rows: a row the filter hides is never deleted.
        for (const QModelIndex& index : selectedRows)
            rows.push_back(m_recordModel->tableRow(index.row()));
        std::sort(rows.begin(), rows.end());
        for (RecordTable::Row row : rows)
            lines.push_back(m_recordModel->table().line(row));
        listed = m_recordModel->table().origin();
        for (RecordTable::Row row = 0; row < m_recordModel->table().size(); ++row)
            allLines.push_back(m_recordModel->table().line(row));
        setBarRange(0, static_cast<int>(rows.size()) - 1);
        ProcessPanel->show();
    } else if (branch == Branch::Node) {
        PB->setMaximum(100);
        m_recordModel->clear();
        ProcessPanel->show();
        texts = m_treeModel->searchTexts(node);
    }
    ProcessPanel->raise();

    struct DeletionResult
    {
        std::vector<bool> rowRemoved;
        // Where the lines of all rows start in the rewritten log (NotKept: removed).
        std::optional<std::vector<qelt::ByteOffset>> moved;
        RecordTable::Origin rewritten;
        // What the undo journal recorded; no line removed when nothing was.
        qelt::JournalEntry recorded;
        QString error;
        bool cancelled = false;
    };
    const std::string path = logPath(*name);
    const std::string appDir = m_appDir;
    QPointer<TForm1> self(this);
    auto work = [path, appDir, branch, lines, allLines, listed, texts, self]() -> DeletionResult {
        DeletionResult result;
        BarProgress progress([self](int minimum, int maximum, int position) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, minimum, maximum, position] {
                    if (!self)
                        return;
                    self->setBarRange(minimum, maximum);
                    self->PB->setValue(position);
                },
                Qt::QueuedConnection);
        });
        try {
            const qelt::LogFile file(path);
            const qelt::LogSnapshot snapshot = qelt::TakeLogSnapshot(file);
            const std::string_view text = qelt::DeletableText(file, snapshot);
            qelt::KeptText kept;
            if (branch == Branch::Records) {
                // The rows' offsets are those of the log as listed: another program that did
                // more than append to it since then moved its lines.
                if (!qelt::StillHoldsListedLog(listed.snapshot, file))
                    throw qelt::QeltError("Cannot create file " + path +
                                          "\nThe log was changed since it was listed.");
                qelt::RecordDeletion deletion = qelt::DeleteSelectedRecords(
                    text, lines, qelt::NodeSearchTexts{listed.user, listed.host}, &progress);
                kept = std::move(deletion.kept);
                result.rowRemoved = std::move(deletion.rowRemoved);
            } else if (branch == Branch::Node) {
                kept = qelt::DeleteNodeLines(text, qelt::NodeSearchTexts{texts.user, texts.host},
                                             &progress);
            }
            progress.flush();
            file.checkNotCutShort();
            // A deletion that removes no line leaves the log as it is.
            if (kept.removedLines > 0) {
                // The removed lines go to the undo journal first, then the log is rewritten.
                const bool ofRows = branch == Branch::Records;
                const qelt::DeletionSubject subject{
                    ofRows ? listed.user : texts.user, ofRows ? listed.host : texts.host,
                    ofRows ? qelt::DeletionSubject::Kind::Rows : qelt::DeletionSubject::Kind::Node};
                result.recorded = qelt::CommitDeletion(qelt::UndoJournal::ForAppDir(appDir), file,
                                                       snapshot, text, kept, subject);
                if (branch == Branch::Records) {
                    result.moved = qelt::OffsetsAfterRewrite(text, kept, allLines);
                    result.rewritten = {{}, listed.user, listed.host};
                    try {
                        result.rewritten.snapshot = qelt::TakeLogSnapshot(qelt::LogFile(path));
                    } catch (const std::exception&) {
                        // The rows' lines cannot be told apart from another program's change:
                        // deleting them again fails until they are listed again.
                    }
                }
            }
        } catch (const std::exception& error) {
            result.error = QString::fromLocal8Bit(error.what());
            result.rowRemoved.clear();
        }
        return result;
    };
    // The node that goes with the last row, or with the node branch: only a selected one.
    const QPersistentModelIndex listedNode(nodeSelected ? node : QModelIndex());
    track(RunOnWorker<DeletionResult>(
        this, std::move(work), [this, branch, rows, listedNode](DeletionResult result) {
            const bool written = result.error.isEmpty();
            if (written && branch == Branch::Records) {
                std::vector<RecordTable::Row> removed;
                for (std::size_t i = 0; i < rows.size() && i < result.rowRemoved.size(); ++i) {
                    if (result.rowRemoved[i])
                        removed.push_back(rows[i]);
                }
                // One row's bar runs from 0 to 1 (see setBarRange): full once it is removed.
                if (rows.size() == 1 && !removed.empty())
                    PB->setValue(PB->maximum());
                std::vector<RecordTable::Row> stay;
                std::set_difference(rows.begin(), rows.end(), removed.begin(), removed.end(),
                                    std::back_inserter(stay));
                if (m_recordModel->removeTableRows(removed))
                    reselectRows(stay, removed);
                if (result.moved)
                    m_recordModel->relocateRows(*result.moved, std::move(result.rewritten));
                if (m_recordModel->totalRows() == 0 && listedNode.isValid())
                    removeTreeNode(listedNode, false);
            } else if (written && branch == Branch::Node && listedNode.isValid()) {
                removeTreeNode(listedNode, true);
            }
            // The node branch empties the list before it reads, so a failed one counts too.
            ListView1Change();
            ProcessPanel->hide();
            Animate1->setActive(false);
            setDeletionLock(false);
            // A failed read or write leaves DeleteButton off until the next listing.
            DeleteButton->setEnabled(written);
            if (!written)
                showError(result.error);
            else if (result.recorded.removedLines > 0)
                setDeletionNote(deletedText(result.recorded));
            emit deletionFinished();
        }));
}

void TForm1::reselectRows(const std::vector<RecordTable::Row>& stay,
                          const std::vector<RecordTable::Row>& removed)
{
    // Rows whose line was not found stay selected; after a reset they are selected anew at
    // their new places, a run of adjacent rows as one range.
    std::vector<RecordTable::Row> now;
    now.reserve(stay.size());
    std::size_t gone = 0;
    for (RecordTable::Row row : stay) {
        while (gone < removed.size() && removed[gone] < row)
            ++gone;
        now.push_back(row - gone);
    }
    std::vector<int> shown = m_recordModel->viewRows(now);
    std::sort(shown.begin(), shown.end());
    QItemSelection selection;
    int first = -1;
    int last = -1;
    const auto flush = [&] {
        if (first >= 0)
            selection.select(m_recordModel->index(first, 0),
                             m_recordModel->index(last, RecordModel::ColumnCount - 1));
    };
    for (const int row : shown) {
        if (row < 0)
            continue;
        if (first < 0 || row != last + 1) {
            flush();
            first = row;
        }
        last = row;
    }
    flush();
    ListView1->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void TForm1::removeTreeNode(const QPersistentModelIndex& node, bool nodeBranch)
{
    // Deleting the last host of a user leaves that user without hosts: the node branch takes it
    // along (its other lines stay in the file). Only that parent goes with the node; a user next
    // to it that never had hosts stays.
    const bool parentToo =
        nodeBranch && node.parent().isValid() && m_treeModel->rowCount(node.parent()) == 1;
    const QPersistentModelIndex target(parentToo ? node.parent() : QModelIndex(node));
    // The node selected next: the parent, else the next sibling, else the previous one.
    QPersistentModelIndex next(target.parent());
    if (!next.isValid())
        next = target.sibling(target.row() + 1, 0);
    if (!next.isValid())
        next = target.sibling(target.row() - 1, 0);
    const bool userGone = LogTreeModel::level(target) == 0;
    const QString selectedUser =
        tr("Selected User: %1").arg(target.data(Qt::DisplayRole).toString());
    m_treeModel->removeNode(target);
    TreeView1->selectionModel()->clearSelection();
    if (next.isValid())
        TreeView1->selectionModel()->setCurrentIndex(next, QItemSelectionModel::ClearAndSelect);
    if (userGone) {
        // The status bar no longer names a user that is gone, nor counts it.
        if (parentToo || panelText(2) == selectedUser)
            setPanel(2, QString());
        setPanel(0, tr("Total Accounts: %1").arg(m_treeModel->rowCount()));
    }
}

void TForm1::DeleteLogButtonClick()
{
    if (m_deleting)
        return;
    const std::optional<std::string> name = chosenLogName();
    if (!name)
        return;
    const QString shown = ComboBox1->currentText();
    const std::string path = logPath(*name);
    const QString filePath = QFile::decodeName(QByteArray::fromStdString(path));
    // The log goes to the desktop's trash, from where the file manager restores it. Where no
    // trash can take it, the question says that it goes for good. One Enter keeps the file.
    bool toTrash = CanMoveToTrash(filePath);
    QString question = tr("Are you sure you want to delete %1 log file?").arg(shown);
    if (!toTrash)
        question += tr("\n\nThere is no trash for it here: it will be deleted for good.");
    QMessageBox::StandardButton answer = Dialogs::instance().question(
        this, tr("Confirm"), question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No,
        QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (toTrash && !QFile::moveToTrash(filePath) && QFile::exists(filePath)) {
        answer = Dialogs::instance().question(
            this, tr("Confirm"),
            tr("%1 could not be moved to the trash. Delete it for good?").arg(shown),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
        toTrash = false;
    }
    // A log already gone counts as deleted. One that stays must not leave the chooser as if it
    // had gone: the failure is shown and nothing changes.
    if (!toTrash && std::remove(path.c_str()) != 0 && errno != ENOENT) {
        const int error = errno;
        showError(tr("Cannot delete file %1\n%2")
                      .arg(QFile::decodeName(QByteArray::fromStdString(path)),
                           QString::fromLocal8Bit(std::strerror(error))));
        return;
    }
    ComboBox1->removeItem(ComboBox1->currentIndex());
    ComboBox1->setCurrentIndex(ComboBox1->count() > 0 ? 0 : -1);
    LoadSelectedLog();
    setDeletionNote(toTrash ? tr("Moved %1 to the trash.").arg(shown)
                            : tr("Deleted %1 for good.").arg(shown));
}

// ---- Undo.

namespace {

QString countText(qelt::LineCount count)
{
    return QLocale(QLocale::English, QLocale::UnitedStates)
        .toString(static_cast<qulonglong>(count));
}

} // namespace

QString TForm1::deletedText(const qelt::JournalEntry& entry) const
{
    const QString what = DisplayText(qelt::SubjectText(entry.subject), m_codePage);
    return (entry.removedLines == 1
                ? tr("Deleted 1 line of %1.").arg(what)
                : tr("Deleted %1 lines of %2.").arg(countText(entry.removedLines), what)) +
           QLatin1Char(' ') + tr("Ctrl+Z undoes it.");
}

void TForm1::buildUndo()
{
    UndoAction = new QAction(tr("Undo"), this);
    UndoAction->setObjectName(QStringLiteral("UndoAction"));
    UndoAction->setShortcut(QKeySequence::Undo);
    UndoAction->setShortcutContext(Qt::WindowShortcut);
    addAction(UndoAction);
    connect(UndoAction, &QAction::triggered, this, &TForm1::UndoDeletion);
    // And in the right-click menus of the list and the tree, after their commands.
    for (const char* name : {"RowMenu", "NodeMenu"}) {
        if (auto* menu = findChild<QMenu*>(QLatin1String(name))) {
            menu->addSeparator();
            menu->addAction(UndoAction);
        }
    }

    DeletionNote = new QLabel(StatusBar1);
    DeletionNote->setObjectName(QStringLiteral("DeletionNote"));
    DeletionNote->setGeometry(420 + 6, 0, 4000, 19);
    // Under the size grip, which stays at the right end.
    DeletionNote->lower();
}

void TForm1::setDeletionNote(const QString& text)
{
    DeletionNote->setText(text);
}

void TForm1::UndoDeletion()
{
    if (m_deleting)
        return;
    const std::optional<std::string> name = chosenLogName();
    if (!name)
        return;
    DeleteButton->setEnabled(false);
    setDeletionLock(true);
    struct UndoResult
    {
        qelt::UndoneDeletion undone;
        QString error;
    };
    const std::string path = logPath(*name);
    const std::string appDir = m_appDir;
    auto work = [path, appDir]() -> UndoResult {
        UndoResult result;
        try {
            result.undone = qelt::UndoJournal::ForAppDir(appDir).undo(path);
        } catch (const std::exception& error) {
            result.error = QString::fromLocal8Bit(error.what());
        }
        return result;
    };
    track(RunOnWorker<UndoResult>(this, std::move(work), [this](UndoResult result) {
        setDeletionLock(false);
        if (!result.error.isEmpty()) {
            // Nothing changed: the tree and the list are still those of the log.
            DeleteButton->setEnabled(m_recordModel->rowCount() > 0);
            showError(result.error);
            emit deletionFinished();
            return;
        }
        const qelt::DeletionSubject& subject = result.undone.entry.subject;
        const QString what = DisplayText(qelt::SubjectText(subject), m_codePage);
        setDeletionNote(
            result.undone.restoredLines == 1
                ? tr("Restored 1 line of %1.").arg(what)
                : tr("Restored %1 lines of %2.").arg(countText(result.undone.restoredLines), what));
        // The lines are back in the log: read it again and list the node they belong to.
        showNodeAgain(subject.user, subject.host);
        LoadSelectedLog();
        emit deletionFinished();
    }));
}

void TForm1::showNodeAgain(const std::string& user, const std::string& host)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    const std::optional<std::string> log = chosenLogName();
    *connection = connect(this, &TForm1::loadFinished, this, [this, connection, log, user, host] {
        disconnect(*connection);
        if (chosenLogName() != log)
            return;
        for (int row = 0; row < m_treeModel->rowCount(); ++row) {
            const QModelIndex userIndex = m_treeModel->index(row, 0);
            if (m_treeModel->nodeText(userIndex) != user)
                continue;
            QModelIndex node = userIndex;
            for (int child = 0; !host.empty() && child < m_treeModel->rowCount(userIndex);
                 ++child) {
                const QModelIndex hostIndex = m_treeModel->index(child, 0, userIndex);
                if (m_treeModel->nodeText(hostIndex) == host)
                    node = hostIndex;
            }
            TreeView1->selectionModel()->setCurrentIndex(node, QItemSelectionModel::ClearAndSelect);
            TreeView1->scrollTo(node);
            TreeView1Click();
            return;
        }
    });
}

// ---- The other buttons.

void TForm1::PngSpeedButton1Click()
{
    QMessageBox box(QMessageBox::Information, tr("About Software"), AboutText(), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("AboutBox"));
    box.setWindowModality(Qt::ApplicationModal);
    Dialogs::instance().execModal(box);
}

void TForm1::FMButtonClick()
{
    TManagerForm form(m_appDir, this);
    Dialogs::instance().execModal(form);
}

// ---- Statistics.

void TForm1::addStatisticsCommands()
{
    // The node menu: the statistics of the node it was opened on (its current node).
    QMenu* nodeMenu = m_actions->nodeMenu();
    QAction* statistics = new QAction(tr("Statistics"), nodeMenu);
    statistics->setObjectName(QStringLiteral("StatisticsAction"));
    connect(statistics, &QAction::triggered, this,
            [this] { ShowStatistics(TreeView1->currentIndex()); });
    const QList<QAction*> nodeActions = nodeMenu->actions();
    nodeMenu->insertAction(nodeActions.size() > 2 ? nodeActions[2] : nullptr, statistics);

    // The row menu: the list as it shows now, to a CSV file.
    QMenu* rowMenu = m_actions->rowMenu();
    QAction* exportList = new QAction(tr("Export List as CSV..."), rowMenu);
    exportList->setObjectName(QStringLiteral("ExportListAction"));
    connect(exportList, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, tr("Export List as CSV"), QString(),
                                                          tr("CSV files (*.csv)"));
        if (!path.isEmpty())
            ExportListCsv(path);
    });
    const QList<QAction*> rowActions = rowMenu->actions();
    rowMenu->insertAction(rowActions.size() > 3 ? rowActions[3] : nullptr, exportList);
    connect(rowMenu, &QMenu::aboutToShow, exportList,
            [this, exportList] { exportList->setEnabled(ListView1->model()->rowCount() > 0); });
}

void TForm1::StatsButtonClick()
{
    ShowStatistics(QModelIndex());
}

void TForm1::ShowStatistics(const QModelIndex& node)
{
    const std::optional<std::string> name = chosenLogName();
    if (!name) {
        showNote(tr("Choose a log first."),
                 StatsButton->mapToGlobal(StatsButton->rect().bottomLeft()));
        return;
    }
    qelt::StatsScope scope;
    if (node.isValid()) {
        if (LogTreeModel::level(node) == 0)
            scope = qelt::StatsScope::ForUser(m_treeModel->nodeText(node));
        else
            scope = qelt::StatsScope::ForHost(m_treeModel->nodeText(node.parent()),
                                              m_treeModel->nodeText(node));
    }
    auto* window = new StatsWindow({logPath(*name)}, std::move(scope), m_codePage, this);
    connect(window, &StatsWindow::nodeRequested, this, &TForm1::GoToNode);
    window->show();
}

void TForm1::GoToNode(const QByteArray& user, const QByteArray& host)
{
    const std::string userText = ToBytes(user);
    const std::string hostText = ToBytes(host);
    for (int row = 0; row < m_treeModel->rowCount(); ++row) {
        QModelIndex node = m_treeModel->index(row, 0);
        if (m_treeModel->nodeText(node) != userText)
            continue;
        if (!hostText.empty()) {
            QModelIndex found;
            for (int child = 0; child < m_treeModel->rowCount(node); ++child) {
                const QModelIndex candidate = m_treeModel->index(child, 0, node);
                if (m_treeModel->nodeText(candidate) == hostText) {
                    found = candidate;
                    break;
                }
            }
            if (!found.isValid())
                return;
            node = found;
        }
        TreeView1->setCurrentIndex(node);
        TreeView1->scrollTo(node);
        activateWindow();
        raise();
        TreeView1Click();
        return;
    }
}

bool TForm1::ExportListCsv(const QString& path)
{
    const QString error = WriteViewCsv(*ListView1->model(), path);
    if (!error.isEmpty()) {
        showError(error);
        return false;
    }
    return true;
}
