#pragma once

#include "Unit1/LogTreeModel.h"
#include "logaccess/LogFile.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

class QFileSystemWatcher;
class QThread;
class QTimer;
class TForm1;

// Follows the chosen log while the proxy writes it: when it grows, only the appended lines are
// read; their new users and hosts join the tree and the listed node's new rows join the end of
// the list, keeping the selection and the scroll position. A log that shrinks or is replaced is
// read again whole. The status bar's switch turns following off and on.
class LogFollower : public QObject
{
    Q_OBJECT

public:
    explicit LogFollower(TForm1* form);
    ~LogFollower() override;

    // How often the log is looked at besides the notices of the file system.
    static constexpr int PollInterval = 1000;

    bool enabled() const { return m_enabled; }
    void setEnabled(bool enabled);

public slots:
    // Looks at the log now: reads what was appended, or reloads a log that shrank or was replaced.
    void check();

signals:
    // New lines of the log were taken into the tree and the list.
    void followed();

private:
    struct Baseline
    {
        std::string path;
        qelt::FileIdentity identity;
        std::size_t textSize = 0; // where the text read so far ends
    };
    void takeBaseline();
    void takeListing();
    bool idle() const;

    TForm1* m_form;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer* m_poll = nullptr;
    bool m_enabled = true;
    bool m_running = false;
    // Set after a deletion of ours replaced the log: the next look only notes what it is now.
    bool m_rebase = false;
    std::optional<Baseline> m_baseline;
    // Where the log ended when the rows of the list were read.
    std::size_t m_listedEnd = 0;
    // The texts of the node listed, while its rows are in the list.
    std::optional<LogTreeModel::SearchTexts> m_listed;
    unsigned m_listGeneration = 0;
    unsigned m_treeGeneration = 0;
    QList<QPointer<QThread>> m_workers;
};
