#pragma once

// The undo journal: what every deletion removed from a log, kept on disk so that the deletion can
// be taken back later, also after a restart and from the other program (window or qeltlog).
//
// A deletion goes through CommitDeletion (or CommitDeletionFrom), which records the removed lines
// (their exact bytes, each run with its place in the new log) together with the log's identity
// and a hash of the new log's text, which the rewrite takes as it writes it. The record is
// flushed to disk before the new log takes the old one's place; if it cannot be written, nothing
// is deleted.
//
//   const qelt::UndoJournal journal = qelt::UndoJournal::ForAppDir(appDir);
//   qelt::CommitDeletion(journal, file, snapshot, file.text(), kept, {user, host});
//   ...
//   const qelt::UndoneDeletion undone = journal.undo(path);   // throws QeltError when refused
//
// The record lives in <state>/qelt-viewer/undo/, <state> being $XDG_STATE_HOME or else
// ~/.local/state, one folder per log, one file per deletion.

#include "LogFile.h"
#include "LogRewrite.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qelt {

struct KeptText;

// What a deletion took away, as the user sees it: a tree node, or rows of the list of a node.
struct DeletionSubject
{
    enum class Kind : std::uint8_t
    {
        Node = 0,
        Rows = 1
    };
    std::string user;
    std::string host; // empty for a user node
    Kind kind = Kind::Node;
};

// One recorded deletion, as listed by UndoJournal::history.
struct JournalEntry
{
    std::uint64_t sequence = 0; // grows with every deletion recorded in the journal
    std::time_t time = 0;       // when the deletion was made
    std::string logPath;        // the log as the deletion resolved it (symbolic links followed)
    DeletionSubject subject;
    LineCount removedLines = 0;
    std::uint64_t removedBytes = 0; // of the removed lines, each with CR LF
    FileIdentity before;            // the log as the deletion read it
    std::uint64_t fileSize = 0;     // size of the entry's file in the journal
    std::string file;               // the entry's file in the journal
};

// What undo put back.
struct UndoneDeletion
{
    JournalEntry entry;
    LineCount restoredLines = 0;
};

// "alice" for a user node, "alice / example.com" for a host node.
std::string SubjectText(const DeletionSubject& subject);

class UndoJournal
{
public:
    static constexpr std::uint64_t DefaultSizeLimit = 2048ull << 20;
    // Deletions of one log that pruning keeps before it touches the other logs' last ones.
    static constexpr std::size_t KeptPerLog = 20;

    // A journal in folder (created when first written) that keeps at most sizeLimit bytes.
    explicit UndoJournal(std::string folder, std::uint64_t sizeLimit = DefaultSizeLimit);

    // The user's journal, with the size limit that config.ini in appDir gives (UndoJournalMB,
    // in MiB; default 2048).
    static UndoJournal ForAppDir(const std::string& appDir);

    // $XDG_STATE_HOME/qelt-viewer/undo, or ~/.local/state/qelt-viewer/undo.
    static std::string DefaultFolder();

    const std::string& folder() const { return m_folder; }
    std::uint64_t sizeLimit() const { return m_sizeLimit; }

    // The recorded deletions of the log at path, newest first.
    std::vector<JournalEntry> history(const std::string& logPath) const;

    // Puts back the lines of the most recent recorded deletion of the log, each where it stood,
    // through the same safe rewrite as a deletion, and drops the record. Lines appended to the
    // log since stay at its end. Throws QeltError, changing nothing, when there is nothing to undo,
    // when the log changed since the deletion other than by lines appended at its end, or when
    // the rewrite fails.
    UndoneDeletion undo(const std::string& logPath) const;

    // The bytes all entries take up.
    std::uint64_t usedBytes() const;

private:
    std::string m_folder;
    std::uint64_t m_sizeLimit;
};

// Deletes: rewrites the log with the kept lines, recording in the journal what `kept` leaves out
// of `text` (the file's text, or the part of it that a deletion may remove, which the kept runs
// index); the record is on disk before the new log takes the old one's place. Throws QeltError and
// changes nothing when the record cannot be written (the message says why) or when the rewrite
// fails (the record is dropped again). A deletion that removes no line changes nothing and records
// nothing (removedLines 0).
JournalEntry CommitDeletion(const UndoJournal& journal, const LogFile& file,
                            const LogSnapshot& snapshot, std::string_view text,
                            const KeptText& kept, const DeletionSubject& subject);

// The same for a search that hands its kept runs over as it finds them (RewriteLogFileFrom):
// `produce` feeds the sink and returns the whole result; the record is written once it returns,
// before the new log replaces the old one. A cancelled result, or one that removes nothing,
// changes nothing; the result is then false. The caller reads no more of `text` afterwards: the
// old log's cached pages go as the copy passes them.
using KeptTextProducer = std::function<KeptText(const KeptRangeSink&)>;
bool CommitDeletionFrom(const UndoJournal& journal, const LogFile& file,
                        const LogSnapshot& snapshot, std::string_view text,
                        const DeletionSubject& subject, const KeptTextProducer& produce,
                        JournalEntry* entry = nullptr);

} // namespace qelt
