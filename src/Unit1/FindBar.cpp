#include "Unit1/FindBar.h"

#include "Unit1/FilterBar.h"
#include "Unit1/LogTreeModel.h"
#include "Unit1/Unit1.h"
#include "Unit1/Worker.h"
#include "logaccess/FindInLog.h"
#include "logaccess/LogFile.h"
#include "settings/Settings.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <QTreeView>

FindBar::FindBar(TForm1* form) : QWidget(form->Panel1), m_form(form)
{
    setObjectName(QStringLiteral("FindBar"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(5, 0, 5, 4);
    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("FindEdit"));
    m_edit->setPlaceholderText(tr("Find in the log: URL contains"));
    m_edit->setClearButtonEnabled(true);
    m_edit->setToolTip(tr("Shows only the users and hosts with requests whose URL contains this "
                          "text (case ignored), with their numbers of them. Esc clears."));
    m_edit->installEventFilter(this);
    layout->addWidget(m_edit);
    hide();

    // The whole log is searched for each text: wait for a pause in the typing.
    m_pause = new QTimer(this);
    m_pause->setSingleShot(true);
    m_pause->setInterval(250);
    connect(m_pause, &QTimer::timeout, this, &FindBar::search);
    connect(m_edit, &QLineEdit::textChanged, m_pause, qOverload<>(&QTimer::start));
    // A new tree, or one that a deletion changed, is searched again.
    connect(form, &TForm1::loadFinished, this, [this] {
        if (!m_active.empty())
            search();
    });
    connect(form, &TForm1::deletionFinished, this, [this] {
        if (!m_active.empty())
            search();
    });
}

FindBar::~FindBar()
{
    stop();
    for (const QPointer<QThread>& worker : m_workers) {
        if (worker)
            worker->wait();
    }
}

void FindBar::stop()
{
    if (m_cancel)
        m_cancel->store(true);
    m_cancel.reset();
    ++m_generation;
}

bool FindBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_edit && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Escape) {
            close();
            m_form->TreeView1->setFocus(Qt::ShortcutFocusReason);
            return true;
        }
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_pause->stop();
            search();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FindBar::open()
{
    show();
    m_edit->setFocus(Qt::ShortcutFocusReason);
    m_edit->selectAll();
}

void FindBar::close()
{
    m_pause->stop();
    stop();
    {
        const QSignalBlocker block(m_edit);
        m_edit->clear();
    }
    hide();
    if (!m_active.empty() || m_form->treeModel()->findActive()) {
        m_active.clear();
        m_form->treeModel()->showMatches(std::nullopt);
        m_form->filterBar()->setFindText({});
        emit searched();
    }
}

void FindBar::search()
{
    stop();
    const std::string text = SearchBytes(m_edit->text(), m_form->codePage());
    const std::optional<std::string> name = m_form->chosenLogName();
    if (text.empty() || !name || !m_form->ComboBox1->isEnabled()) {
        // Nothing to search for (or a tree still being built, which searches again when done).
        if (text.empty() && !m_active.empty()) {
            m_active.clear();
            m_form->treeModel()->showMatches(std::nullopt);
            m_form->filterBar()->setFindText({});
            emit searched();
        }
        return;
    }
    auto cancel = std::make_shared<std::atomic_bool>(false);
    m_cancel = cancel;
    const unsigned generation = m_generation;
    const std::string path = qelt::LogDir() + *name;
    struct Found
    {
        std::optional<MatchCounts> counts;
        bool cancelled = false;
    };
    auto work = [path, text, cancel]() -> Found {
        Found found;
        try {
            const qelt::LogFile file(path);
            qelt::FindOptions options;
            options.cancel = cancel.get();
            const qelt::LogMatches matches = qelt::FindInLog(file.text(), text, options);
            if (matches.cancelled) {
                found.cancelled = true;
                return found;
            }
            MatchCounts counts;
            for (const auto& [user, m] : matches.users) {
                UserMatchCounts& c = counts[std::string(user)];
                c.count = m.count;
                for (const auto& [host, n] : m.hosts)
                    c.hosts.emplace(std::string(host), n);
            }
            found.counts = std::move(counts);
        } catch (const std::exception&) {
            // A log that cannot be read matches nothing; listing it reports why.
            found.counts = MatchCounts();
        }
        return found;
    };
    m_workers.removeIf([](const QPointer<QThread>& p) { return p.isNull(); });
    m_workers.append(
        RunOnWorker<Found>(this, std::move(work), [this, generation, text](Found found) {
            if (found.cancelled || generation != m_generation)
                return;
            m_cancel.reset();
            m_active = text;
            m_form->treeModel()->showMatches(std::move(found.counts));
            m_form->filterBar()->setFindText(text);
            emit searched();
        }));
}
