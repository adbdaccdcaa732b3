#include "Unit1/LogFollower.h"

#include "Unit1/LogTreeModel.h"
#include "Unit1/RecordModel.h"
#include "Unit1/Unit1.h"
#include "Unit1/Worker.h"
#include "logaccess/LogIndex.h"
#include "logaccess/RecordListing.h"
#include "settings/Settings.h"

#include <QComboBox>
#include <QFileSystemWatcher>
#include <QTimer>
#include <QTreeView>

namespace {

// Where the lines after those read up to `read` begin: at `read` when a line ended there, else
// after the end of the line that was still being written, which was taken as it stood then.
std::size_t NextLineStart(std::string_view text, std::size_t read)
{
    if (read == 0 || text[read - 1] == '\n' || text[read - 1] == '\r')
        return read;
    const std::size_t end = text.find_first_of("\r\n", read);
    return end == std::string_view::npos ? text.size() : end + 1;
}

} // namespace

LogFollower::LogFollower(TForm1* form) : QObject(form), m_form(form)
{
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &LogFollower::check);
    m_poll = new QTimer(this);
    m_poll->setInterval(PollInterval);
    connect(m_poll, &QTimer::timeout, this, &LogFollower::check);
    m_poll->start();

    connect(form, &TForm1::loadFinished, this, [this] {
        ++m_treeGeneration;
        takeListing();
        takeBaseline();
    });
    // The rows of the list come from the log as the listing (or our own rewrite) read it: lines
    // written after that follow.
    connect(form, &TForm1::listingFinished, this, &LogFollower::takeListing);
    connect(form, &TForm1::deletionFinished, this, [this] {
        m_rebase = true;
        takeListing();
    });
}

LogFollower::~LogFollower()
{
    for (const QPointer<QThread>& worker : m_workers) {
        if (worker)
            worker->wait();
    }
}

void LogFollower::setEnabled(bool enabled)
{
    m_enabled = enabled;
    if (enabled)
        check();
}

void LogFollower::takeListing()
{
    ++m_listGeneration;
    m_listed.reset();
    const RecordTable::Origin& origin = m_form->recordModel()->table().origin();
    if (origin.user.empty() || origin.snapshot.identity.size == 0)
        return;
    m_listed = LogTreeModel::SearchTexts{origin.user, origin.host};
    m_listedEnd = origin.snapshot.identity.size;
}

void LogFollower::takeBaseline()
{
    if (!m_watcher->files().isEmpty())
        m_watcher->removePaths(m_watcher->files());
    m_baseline.reset();
    const auto& loaded = m_form->loadedLog();
    if (!loaded)
        return;
    m_baseline = Baseline{loaded->path, loaded->identity, loaded->textSize};
    m_watcher->addPath(QString::fromLocal8Bit(loaded->path.c_str()));
}

bool LogFollower::idle() const
{
    return m_form->ComboBox1->isEnabled() && !ListingBusy && !m_form->isDeleting();
}

void LogFollower::check()
{
    if (!m_enabled || m_running || !m_baseline || !idle())
        return;
    // A file replaced under the watcher is watched anew.
    const QString watched = QString::fromLocal8Bit(m_baseline->path.c_str());
    if (!m_watcher->files().contains(watched))
        m_watcher->addPath(watched);
    const std::optional<qelt::FileIdentity> now = qelt::CurrentFileIdentity(m_baseline->path);
    if (!now)
        return;
    const bool replaced =
        now->device != m_baseline->identity.device || now->inode != m_baseline->identity.inode;
    if (m_rebase) {
        m_rebase = false;
        if (replaced || now->size != m_baseline->identity.size) {
            // Our own deletion wrote the log anew: what it holds now is what the window shows.
            try {
                const qelt::LogFile file(m_baseline->path);
                m_baseline->identity = file.identity();
                m_baseline->textSize = file.text().size();
            } catch (const std::exception&) {
                m_baseline.reset();
            }
        }
        return;
    }
    if (replaced || now->size < m_baseline->identity.size) {
        // Shrunk or replaced: what was read no longer stands.
        m_form->LoadSelectedLog();
        return;
    }
    if (now->size == m_baseline->identity.size)
        return;

    // The listed node, whose new rows join the list.
    const std::optional<LogTreeModel::SearchTexts> listed = m_listed;

    struct Appended
    {
        bool reload = false;
        UserNodes nodes;
        RecordTable rows;
        qelt::FileIdentity identity;
        std::size_t textSize = 0;
    };
    const Baseline baseline = *m_baseline;
    const std::size_t listedEnd = m_listedEnd;
    auto work = [baseline, listed, listedEnd]() -> Appended {
        Appended result;
        try {
            const qelt::LogFile file(baseline.path);
            const std::string_view text = file.text();
            result.identity = file.identity();
            result.textSize = text.size();
            if (file.identity().inode != baseline.identity.inode ||
                text.size() < baseline.textSize) {
                result.reload = true;
                return result;
            }
            const std::string_view added = text.substr(NextLineStart(text, baseline.textSize));
            const qelt::LogTree tree = qelt::MakeLogTree(qelt::BuildLogIndex(added, nullptr));
            for (const qelt::TreeUser& user : tree.users) {
                auto node = std::make_unique<UserNode>();
                node->text = std::string(user.text);
                node->lines = user.lines;
                for (const qelt::TreeHost& host : tree.hostsOf(user))
                    node->hosts.push_back({std::string(host.text), int(host.icon), host.lines});
                result.nodes.push_back(std::move(node));
            }
            if (listed && listedEnd <= text.size()) {
                const std::size_t start = NextLineStart(text, listedEnd);
                const qelt::RecordList list = qelt::ListNodeRecords(
                    text.substr(start), qelt::NodeSearchTexts{listed->user, listed->host}, 1);
                for (std::size_t row = 0; row < list.size(); ++row) {
                    const qelt::RecordFields fields = list.fields(row);
                    result.rows.append(fields.date, fields.label().view(),
                                       qelt::StripHttpVersion(fields.rawUrl), int(list.icon(row)),
                                       start + list.rows()[row].line);
                }
            }
        } catch (const std::exception&) {
            // Gone or unreadable for a moment: the next look tries again.
            result.textSize = baseline.textSize;
            result.identity = baseline.identity;
        }
        return result;
    };
    m_running = true;
    const unsigned treeGeneration = m_treeGeneration;
    const unsigned listGeneration = m_listGeneration;
    m_workers.removeIf([](const QPointer<QThread>& p) { return p.isNull(); });
    m_workers.append(RunOnWorker<Appended>(
        this, std::move(work), [this, treeGeneration, listGeneration](Appended result) {
            m_running = false;
            // A build since then read the log anew.
            if (treeGeneration != m_treeGeneration || !m_baseline)
                return;
            if (result.reload) {
                m_form->LoadSelectedLog();
                return;
            }
            m_baseline->identity = result.identity;
            m_baseline->textSize = result.textSize;
            m_form->treeModel()->appendNodes(std::move(result.nodes));
            if (listGeneration == m_listGeneration) {
                m_listedEnd = result.textSize;
                if (!result.rows.empty())
                    m_form->recordModel()->appendRows(std::move(result.rows));
            }
            emit followed();
        }));
}
