// The undo commands of qeltlog: the recorded deletions of a log, and taking back the latest.
#include "Cli.h"
#include "logaccess/UndoJournal.h"
#include "settings/Settings.h"

#include <cstdint>
#include <ctime>
#include <ostream>

namespace qelt::cli {

UndoJournal undoJournal(const Context& context)
{
    return UndoJournal::ForAppDir(context.appDir.empty() ? AppDir()
                                                         : WithTrailingSlash(context.appDir));
}

namespace {

std::string localTime(std::time_t time)
{
    std::tm parts{};
    ::localtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

const char* kindName(DeletionSubject::Kind kind)
{
    return kind == DeletionSubject::Kind::Rows ? "rows" : "node";
}

// tsv: sequence, time, kind, user, host, lines, bytes. text: the same for people.
void writeEntry(const Context& context, const JournalEntry& entry)
{
    if (context.format == OutputFormat::Tsv) {
        context.out << entry.sequence << '\t' << localTime(entry.time) << '\t'
                    << kindName(entry.subject.kind) << '\t' << tsvField(entry.subject.user) << '\t'
                    << tsvField(entry.subject.host) << '\t' << entry.removedLines << '\t'
                    << entry.removedBytes << '\n';
        return;
    }
    context.out << entry.sequence << "  " << localTime(entry.time) << "  "
                << kindName(entry.subject.kind) << "  " << entry.removedLines
                << (entry.removedLines == 1 ? " line" : " lines") << " of "
                << textField(context, SubjectText(entry.subject)) << '\n';
}

int runHistory(const Context& context, const std::vector<std::string>& args)
{
    for (const JournalEntry& entry : undoJournal(context).history(args[0]))
        writeEntry(context, entry);
    return 0;
}

int runUndo(const Context& context, const std::vector<std::string>& args)
{
    const UndoneDeletion undone = undoJournal(context).undo(args[0]);
    if (context.format == OutputFormat::Tsv) {
        writeEntry(context, undone.entry);
        return 0;
    }
    context.out << "restored " << undone.restoredLines
                << (undone.restoredLines == 1 ? " line" : " lines") << " of "
                << textField(context, SubjectText(undone.entry.subject)) << " (deleted "
                << localTime(undone.entry.time) << ")\n";
    return 0;
}

const Registrar registrar{{
    {"history", "history LOG", 1, 1, runHistory},
    {"undo", "undo LOG", 1, 1, runUndo},
}};

} // namespace

} // namespace qelt::cli
