#pragma once

#include "logaccess/LogFile.h"

#include <QColor>
#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QVector>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QAction;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QProgressBar;
class QSplitter;
class QStatusBar;
class QThread;
class QTimer;
class QTreeView;
class DeleteAnimation;
class FilterBar;
class FindBar;
class LogFollower;
class LogOpener;
class StatusControls;
class WindowActions;
class LogTreeModel;
class RecordModel;
class RecordTable;
class TPngSpeedButton;
namespace qelt {
class RowColorRule;
struct JournalEntry;
} // namespace qelt

// Set while a listing runs; a second click on the tree is turned away meanwhile.
extern bool ListingBusy;

// How a tree node is drawn: user nodes (level 0) bold and navy, host nodes black in the tree's
// font; a selected node takes the menu colour over the highlight.
struct TreeNodeStyleResult
{
    bool bold = false;
    QColor color;
};
TreeNodeStyleResult TreeNodeStyle(int level, bool selected);

// The text of the about box.
QString AboutText();

// The viewer's main window: the log file chooser, the tree of users and hosts, the list of a
// node's requests, the toolbar and the status bar.
//
// Reading a log, listing a node and deleting run on a worker thread over the same core
// functions the command line runs; the window keeps its guards meanwhile (chooser and toolbar
// disabled during an index build, ListingBusy during a listing, DeleteButton disabled and the
// tree, list and chooser closed to input during a deletion) and stays responsive.
class TForm1 : public QMainWindow
{
    Q_OBJECT

public:
    // appDir holds config.ini and the store files and ends with '/'; by default the program's.
    explicit TForm1(QWidget* parent = nullptr);
    explicit TForm1(std::string appDir, QWidget* parent = nullptr);
    ~TForm1() override;

    QStatusBar* StatusBar1 = nullptr;
    QSplitter* Splitter1 = nullptr;
    QFrame* Panel1 = nullptr;
    // Icons by image index: 0-6 host kinds and user, 3 log file, 7-9 request rows.
    QVector<QIcon> ImageList1;
    QWidget* ControlBar1 = nullptr;
    QWidget* Panel3 = nullptr;
    TPngSpeedButton* OpenButton = nullptr;
    TPngSpeedButton* DeleteButton = nullptr;
    QWidget* Panel4 = nullptr;
    QTreeView* TreeView1 = nullptr;
    QWidget* Panel2 = nullptr;
    QTreeView* ListView1 = nullptr;
    QFrame* ProcessPanel = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    DeleteAnimation* Animate1 = nullptr;
    QProgressBar* PB = nullptr;
    TPngSpeedButton* PngSpeedButton1 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    TPngSpeedButton* FMButton = nullptr;
    TPngSpeedButton* DeleteLogButton = nullptr;
    // Ctrl+Z: takes back the most recent deletion in the chosen log.
    QAction* UndoAction = nullptr;
    // Right of the three panels: what the last deletion or undo did.
    QLabel* DeletionNote = nullptr;
    TPngSpeedButton* StatsButton = nullptr;

    LogTreeModel* treeModel() const { return m_treeModel; }
    RecordModel* recordModel() const { return m_recordModel; }
    FilterBar* filterBar() const { return m_filterBar; }
    WindowActions* actions() const { return m_actions; }
    FindBar* findBar() const { return m_findBar; }
    LogOpener* opener() const { return m_opener; }
    StatusControls* statusControls() const { return m_statusControls; }
    LogFollower* follower() const { return m_follower; }
    // What the last index build read: the log, who it was then, where its text ended.
    struct LoadedLog
    {
        std::string path;
        qelt::FileIdentity identity;
        std::size_t textSize = 0;
    };
    const std::optional<LoadedLog>& loadedLog() const { return m_loadedLog; }
    // Shows every text that is not UTF-8 in this code page from now on.
    void applyCodePage(int codePage);
    const std::string& appDir() const { return m_appDir; }
    int codePage() const { return m_codePage; }
    // The text of a status bar panel, 0 to 2.
    QString panelText(int panel) const;
    // True while a deletion runs.
    bool isDeleting() const { return m_deleting; }

    // The exact bytes of the log file chosen in ComboBox1, or nothing.
    std::optional<std::string> chosenLogName() const;

public slots:
    void ComboBox1Change();
    void FormCreate();
    void OpenButtonClick();
    void ListView1Change();
    void DeleteButtonClick();
    void PngSpeedButton1Click();
    void TreeView1Click();
    void FMButtonClick();
    void DeleteLogButtonClick();
    void ListView1DblClick();
    // Restores the lines of the most recent recorded deletion of the chosen log (the undo
    // journal that qeltlog shares), then reads the log again.
    void UndoDeletion();
    // Opens the statistics of the chosen log, or of the tree node given.
    void StatsButtonClick();
    void ShowStatistics(const QModelIndex& node);
    // Selects the node of the exact user (and host) texts and lists it, if the tree has it.
    void GoToNode(const QByteArray& user, const QByteArray& host);
    // Writes the rows of ListView1 as it shows them (order and filter) to a CSV file; false and
    // a message when it fails.
    bool ExportListCsv(const QString& path);

    // Reads the chosen log and rebuilds the tree from it.
    void LoadSelectedLog();
    // Applies config.ini: window size, tree width, LogDir and the chooser.
    void ApplySettings();
    // The folder chosen in the folder browser, or an empty string.
    QString BrowseForLogFolder();
    // Places ProcessPanel over the middle of ListView1.
    void CentreProcessPanel();

signals:
    // An index build, a listing or a deletion has ended (also when it failed).
    void loadFinished();
    void listingFinished();
    void deletionFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void FormClose();
    void buildControls();
    void keepOnScreen();
    void clearForBuild();
    void appendListedRows(unsigned generation, const RecordTable& rows);
    void buildToolbar();
    void addStatisticsCommands();
    void loadImages();
    void setPanel(int panel, const QString& text, const QString& toolTip = QString());
    void showError(const QString& message);
    void showNote(const QString& note, const QPoint& at);
    void beginWait();
    void endWait();
    void setDeletionLock(bool locked);
    void buildUndo();
    void setDeletionNote(const QString& text);
    QString deletedText(const qelt::JournalEntry& entry) const;
    void showNodeAgain(const std::string& user, const std::string& host);
    void setBarRange(int minimum, int maximum);
    void removeTreeNode(const QPersistentModelIndex& node, bool nodeBranch);
    void reselectRows(const std::vector<std::size_t>& stay,
                      const std::vector<std::size_t>& removed);
    void stopWorkers();
    int treeWidth() const;
    void setTreePaneWidth(int pane);
    void track(QThread* worker);
    std::string logPath(const std::string& name) const;
    std::optional<QColor> rowColor(std::string_view url);

    std::string m_appDir;
    int m_codePage;
    std::unique_ptr<qelt::RowColorRule> m_rowColorRule;
    LogTreeModel* m_treeModel = nullptr;
    RecordModel* m_recordModel = nullptr;
    FilterBar* m_filterBar = nullptr;
    WindowActions* m_actions = nullptr;
    FindBar* m_findBar = nullptr;
    LogOpener* m_opener = nullptr;
    StatusControls* m_statusControls = nullptr;
    LogFollower* m_follower = nullptr;
    std::optional<LoadedLog> m_loadedLog;
    QLabel* m_panels[3] = {};
    // The whole text of each panel; a panel shows it elided to its width.
    QString m_panelTexts[3];
    // The jobs on worker threads: at most one build, listing or deletion of each kind.
    QList<QPointer<QThread>> m_workers;
    // Stops the running index build when the window goes.
    std::shared_ptr<std::atomic_bool> m_cancel;
    bool m_deleting = false;
    // True while an index build has not yet opened its log.
    bool m_opening = false;
    bool m_shown = false;
    // Width of the tree pane, Panel1, as config.ini's Separator sets it.
    int m_paneWidth = 245;
    // Bumped by every index build, so a listing that a build overtook drops its rows.
    unsigned m_treeGeneration = 0;
    int m_waitDepth = 0;
    // The control that held the keyboard focus when a deletion locked the window; it gets the
    // focus back afterwards, so the next press of DeleteButton acts on the same control.
    QPointer<QWidget> m_focusBeforeDeletion;
};
