// The export commands of qeltlog: a node's rows as CSV, the logs' report as HTML, the logs'
// counted lines as NDJSON.
#include "Cli.h"
#include "common/QeltError.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogStats.h"
#include "logaccess/RecordListing.h"
#include "reports/HtmlReport.h"
#include "reports/NdjsonExport.h"
#include "reports/TextOutput.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qelt::cli {

namespace {

std::vector<std::shared_ptr<const LogFile>> openLogs(const std::vector<std::string>& paths)
{
    std::vector<std::shared_ptr<const LogFile>> files;
    for (const std::string& path : paths)
        files.push_back(std::make_shared<const LogFile>(path));
    return files;
}

// Writes bytes to path whole or not at all: into a new file beside it, then renamed over it.
void writeWhole(const std::string& path, const std::string& bytes)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        throw QeltError("Cannot create file " + path);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(temporary.c_str());
            throw QeltError("Cannot create file " + path);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::fchmod(fd, 0644) != 0 || ::close(fd) != 0 ||
        std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw QeltError("Cannot create file " + path);
    }
}

// export-csv LOG USER [HOST]: the rows of the node as CSV, decoded with the code page.
int runExportCsv(const Context& context, const std::vector<std::string>& args)
{
    auto file = std::make_shared<const LogFile>(args[0]);
    // An empty HOST names no node of the tree: it has no rows.
    const bool noNode = args.size() > 2 && args[2].empty();
    const NodeSearchTexts texts = args.size() > 2 ? NodeSearchTexts::ForHost(args[1], args[2])
                                                  : NodeSearchTexts::ForUser(args[1]);
    const RecordList list = noNode ? RecordList() : ListNodeRecords(file, texts);
    file->checkNotCutShort();
    std::string out;
    AppendCsvRow(out, {"Date", "Connection Type", "URL"});
    for (std::size_t row = 0; row < list.size(); ++row) {
        const RecordFields fields = list.fields(row);
        const std::string date = DecodeForDisplay(fields.date, context.codePage);
        const std::string label = DecodeForDisplay(fields.label().view(), context.codePage);
        const std::string url = DecodeForDisplay(StripHttpVersion(fields.rawUrl), context.codePage);
        AppendCsvRow(out, {date, label, url});
        if (out.size() >= (1u << 16)) {
            context.out.write(out.data(), static_cast<std::streamsize>(out.size()));
            out.clear();
        }
    }
    context.out.write(out.data(), static_cast<std::streamsize>(out.size()));
    return 0;
}

// report --html OUT LOG...: the whole-log report of the logs, in the order given.
int runReport(const Context& context, const std::vector<std::string>& args)
{
    if (args[0] != "--html")
        throw UsageError{"report needs --html OUT"};
    if (args.size() < 3)
        throw UsageError{"report --html OUT LOG..."};
    const std::vector<std::string> paths(args.begin() + 2, args.end());
    const LogStats stats = ComputeLogStats(openLogs(paths));
    std::vector<std::string> names;
    for (const std::string& path : paths)
        names.push_back(DecodeForDisplay(path, context.codePage));
    writeWhole(args[1], HtmlReport(stats, names, context.codePage));
    return 0;
}

// export --format ndjson LOG...: one JSON object per counted line.
int runExport(const Context& context, const std::vector<std::string>& args)
{
    if (args[0] != "--format" || args.size() < 2 || args[1] != "ndjson")
        throw UsageError{"export needs --format ndjson"};
    if (args.size() < 3)
        throw UsageError{"export --format ndjson LOG..."};
    const std::vector<std::string> paths(args.begin() + 2, args.end());
    ExportNdjson(openLogs(paths), context.codePage, [&](std::string_view text) {
        context.out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!context.out)
            throw QeltError("Cannot write to standard output");
    });
    return 0;
}

const Registrar registrar{{
    {"export-csv", "export-csv LOG USER [HOST]", 2, 3, runExportCsv},
    {"report", "report --html OUT LOG...", 3, SIZE_MAX, runReport},
    {"export", "export --format ndjson LOG...", 3, SIZE_MAX, runExport},
}};

} // namespace

} // namespace qelt::cli
