// The deleting commands of qeltlog: the node branch and the record branch of the window's
// delete command, each followed by the rewrite of the log.
#include "Cli.h"
#include "logaccess/Deletion.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogRewrite.h"

#include <cstdint>
#include <ostream>

namespace qelt::cli {

namespace {

void reportRemoved(const Context& context, LineCount removed)
{
    // tsv output carries data only, and a deletion has none to give.
    if (context.format == OutputFormat::Text)
        context.out << "removed " << removed << (removed == 1 ? " line" : " lines") << '\n';
}

int runDeleteNode(const Context& context, const std::vector<std::string>& args)
{
    const LogFile file(args[0]);
    const LogSnapshot snapshot = TakeLogSnapshot(file);
    // A user node's host search text is a single space, which every line of a request holds.
    const std::string_view user = args[1];
    const std::string_view host = args.size() > 2 ? std::string_view(args[2]) : " ";
    // The window writes the log back even when nothing matched, and so do we: the rewrite is what
    // turns lone line ends into CR LF and drops what follows a NUL. The kept lines are written as
    // the search finds them.
    LineCount removed = 0;
    RewriteLogFileFrom(file.path(), snapshot, file.text(), [&](const KeptRangeSink& sink) {
        removed = DeleteNodeLines(file.text(), user, host, nullptr, nullptr, &sink).removedLines;
        return true;
    });
    reportRemoved(context, removed);
    return 0;
}

int runDeleteRows(const Context& context, const std::vector<std::string>& args)
{
    const LogFile file(args[0]);
    const LogSnapshot snapshot = TakeLogSnapshot(file);
    const std::vector<std::string_view> urls(args.begin() + 1, args.end());
    const RecordDeletion deletion = DeleteSelectedRecords(file.text(), urls);
    RewriteLogFile(file.path(), snapshot, file.text(), deletion.kept.ranges);
    reportRemoved(context, deletion.kept.removedLines);
    return 0;
}

const Registrar registrar{{
    {"delete-node", "delete-node LOG USER [HOST]", 2, 3, runDeleteNode},
    {"delete-rows", "delete-rows LOG URL...", 2, SIZE_MAX, runDeleteRows},
}};

} // namespace

} // namespace qelt::cli
