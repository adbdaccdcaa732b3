// The reading commands of qeltlog: the tree of a log and the rows of one of its nodes.
#include "Cli.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/LogIndex.h"
#include "logaccess/RecordListing.h"

#include <ostream>
#include <string>

namespace qelt::cli {

namespace {

// Collects output and hands it to the stream in large pieces: a listing can have millions of rows.
class OutputBuffer
{
public:
    explicit OutputBuffer(std::ostream& out) : m_out(out) { m_buffer.reserve(Chunk + 4096); }
    ~OutputBuffer() { flush(); }
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    std::string& text() { return m_buffer; }
    void endLine()
    {
        m_buffer += '\n';
        if (m_buffer.size() >= Chunk)
            flush();
    }
    void flush()
    {
        m_out.write(m_buffer.data(), static_cast<std::streamsize>(m_buffer.size()));
        m_buffer.clear();
    }

private:
    static constexpr std::size_t Chunk = 1u << 16;
    std::ostream& m_out;
    std::string m_buffer;
};

bool plainForTsv(std::string_view bytes)
{
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '\\')
            return false;
    }
    return true;
}

// Appends a text field in the context's format; most fields need no escaping at all.
void appendField(std::string& out, const Context& context, std::string_view bytes)
{
    if (context.format == OutputFormat::Tsv && plainForTsv(bytes))
        out.append(bytes.data(), bytes.size());
    else
        out += field(context, bytes);
}

const char* kindName(ConnectionKind kind)
{
    switch (kind) {
    case KindHttps:
        return "HTTPS";
    case KindHttp:
        return "HTTP";
    case KindFtp:
        return "FTP";
    case KindMail:
        return "POP3/SMTP";
    case KindMap:
        return "MAP";
    case KindSocks5:
        return "SOCKS5";
    default:
        return "?";
    }
}

std::string counted(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

void padTo(std::string& out, std::size_t from, std::size_t width)
{
    const std::size_t used = out.size() - from;
    out.append(used < width ? width - used : 0, ' ');
}

// tree LOG: the users of the log and, under each, its hosts with their connection kind.
int runTree(const Context& context, const std::vector<std::string>& args)
{
    auto file = std::make_shared<const LogFile>(args[0]);
    const LogIndex index = BuildLogIndex(file, nullptr);
    const LogTree tree = MakeLogTree(index);

    OutputBuffer out(context.out);
    std::string& line = out.text();
    const bool tsv = context.format == OutputFormat::Tsv;
    for (const TreeUser& user : tree.users) {
        const auto hosts = tree.hostsOf(user);
        if (tsv) {
            line += "U\t";
            appendField(line, context, user.text);
        } else {
            appendField(line, context, user.text);
            line += "  (" + counted(hosts.size(), "host", "hosts") + ')';
        }
        out.endLine();
        for (const TreeHost& host : hosts) {
            if (tsv) {
                line += "H\t";
                line += std::to_string(host.icon);
                line += '\t';
            } else {
                const std::size_t from = line.size();
                line += "    ";
                line += kindName(host.icon);
                padTo(line, from, 16);
            }
            appendField(line, context, host.text);
            out.endLine();
        }
    }
    if (!tsv) {
        line += counted(tree.users.size(), "user", "users") + ", " +
                counted(tree.hosts.size(), "host", "hosts");
        out.endLine();
    }
    return 0;
}

// list LOG USER [HOST]: the rows of the user node, or of its host node.
int runList(const Context& context, const std::vector<std::string>& args)
{
    const LogFile file(args[0]);
    const NodeSearchTexts texts = args.size() > 2 ? NodeSearchTexts::ForHost(args[1], args[2])
                                                  : NodeSearchTexts::ForUser(args[1]);
    OutputBuffer out(context.out);
    std::string& line = out.text();
    const bool tsv = context.format == OutputFormat::Tsv;
    std::size_t rows = 0;
    // Rows are written as they are found: the listing never holds more than one of them.
    ForEachNodeLine(file.text(), texts, [&](std::string_view logLine) {
        const RecordFields fields = ExtractRecordFields(logLine);
        const LabelText label = fields.label();
        const std::string_view url = StripHttpVersion(fields.rawUrl);
        const IconIndex icon = FileKindIcon(fields.rawUrl);
        if (tsv) {
            appendField(line, context, fields.date);
            line += '\t';
            appendField(line, context, label.view());
            line += '\t';
            appendField(line, context, url);
            line += '\t';
            line += static_cast<char>('0' + icon);
        } else {
            std::size_t from = line.size();
            appendField(line, context, fields.date);
            padTo(line, from, DateCapacity + 2);
            from = line.size();
            appendField(line, context, label.view());
            padTo(line, from, LabelCapacity + 2);
            appendField(line, context, url);
            if (icon == ArchiveIcon)
                line += "  [archive]";
            else if (icon == PdfIcon)
                line += "  [pdf]";
        }
        out.endLine();
        ++rows;
    });
    if (!tsv) {
        line += counted(rows, "row", "rows");
        out.endLine();
    }
    return 0;
}

const Registrar registrar{{
    {"tree", "tree LOG", 1, 1, runTree},
    {"list", "list LOG USER [HOST]", 2, 3, runList},
}};

} // namespace

} // namespace qelt::cli
