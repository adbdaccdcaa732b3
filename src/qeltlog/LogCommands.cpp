// The reading commands of qeltlog: the tree of a log and the rows of one of its nodes.
#include "Cli.h"
#include "common/RunInOrder.h"
#include "logaccess/FindInLog.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/LogIndex.h"
#include "logaccess/LogStats.h"
#include "logaccess/RecordListing.h"

#include <algorithm>
#include <ostream>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time: none at or below 0x1F, none 0x7F, none a backslash.
    const __m128i control = _mm_set1_epi8(0x1F);
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; i + 16 <= bytes.size(); i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
        const __m128i low = _mm_cmpeq_epi8(_mm_max_epu8(v, control), control);
        const __m128i bad =
            _mm_or_si128(low, _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(v, backslash)));
        if (_mm_movemask_epi8(bad) != 0)
            return false;
    }
#endif
    for (const char ch : bytes.substr(i)) {
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

std::string counted(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

void padTo(std::string& out, std::size_t from, std::size_t width)
{
    const std::size_t used = out.size() - from;
    out.append(used < width ? width - used : 0, ' ');
}

// The lines of a tree, one for each user followed by one for each of its hosts, written from the
// index's entries: a log of a million users has millions of nodes.
class TreeLines
{
public:
    TreeLines(const Context& context, const LogIndex& index)
        : m_context(context), m_index(index), m_order(MakeHostOrder(index))
    {}

    std::size_t count() const { return m_index.users.size() + m_index.hosts.size(); }

    // Appends lines [from, to) to out.
    void write(std::string& out, std::size_t from, std::size_t to) const
    {
        const std::vector<std::uint32_t>& start = m_order.hostsStart;
        // The user whose lines hold line `from`: user u's line is line u + start[u].
        std::size_t u = 0;
        std::size_t lo = 0;
        std::size_t hi = m_index.users.size();
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            if (mid + start[mid] <= from) {
                u = mid;
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        const bool tsv = m_context.format == OutputFormat::Tsv;
        for (std::size_t at = from; at < to; ++u) {
            const std::size_t userLine = u + start[u];
            if (at == userLine) {
                const std::size_t hostCount = start[u + 1] - start[u];
                if (tsv) {
                    out += "U\t";
                    appendField(out, m_context, m_index.users[u].name);
                } else {
                    appendField(out, m_context, m_index.users[u].name);
                    out += "  (" + counted(hostCount, "host", "hosts") + ')';
                }
                out += '\n';
                ++at;
            }
            const std::size_t last =
                std::min<std::size_t>(start[u + 1], start[u] + (to - userLine - 1));
            for (std::size_t h = start[u] + (at - userLine - 1); h < last; ++h, ++at) {
                // The entries and their texts lie all over memory: ask for them a few hosts ahead.
                if (h + 16 < m_order.hosts.size())
                    __builtin_prefetch(&m_index.hosts[m_order.hosts[h + 16]]);
                if (h + 8 < m_order.hosts.size())
                    __builtin_prefetch(m_index.hosts[m_order.hosts[h + 8]].host.data());
                const HostEntry& host = m_index.hosts[m_order.hosts[h]];
                if (tsv) {
                    out += "H\t";
                    out += std::to_string(host.kind);
                    out += '\t';
                } else {
                    const std::size_t lineFrom = out.size();
                    out += "    ";
                    out += KindSlotName(host.kind, "?");
                    padTo(out, lineFrom, 16);
                }
                appendField(out, m_context, host.host);
                out += '\n';
            }
        }
    }

private:
    const Context& m_context;
    const LogIndex& m_index;
    const HostOrder m_order;
};

// tree LOG: the users of the log and, under each, its hosts with their connection kind.
int runTree(const Context& context, const std::vector<std::string>& args)
{
    auto file = std::make_shared<const LogFile>(args[0]);
    const LogIndex index = BuildLogIndex(file, nullptr);
    const TreeLines lines(context, index);
    // Pieces of the tree written on both cores, handed on in order.
    constexpr std::size_t PieceLines = 1u << 15;
    constexpr std::size_t MaxAhead = 4;
    std::vector<std::string> pieces((lines.count() + PieceLines - 1) / PieceLines);
    RunInOrder(
        pieces.size(), 2, MaxAhead,
        [&](std::size_t k) {
            const std::size_t begin = k * PieceLines;
            lines.write(pieces[k], begin, std::min(lines.count(), begin + PieceLines));
            return false;
        },
        [&](std::size_t k) {
            const std::string piece = std::move(pieces[k]);
            context.out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
            return true;
        });
    if (context.format != OutputFormat::Tsv)
        context.out << counted(index.users.size(), "user", "users") << ", "
                    << counted(index.hosts.size(), "host", "hosts") << '\n';
    return 0;
}

// Appends one row of the request list.
void appendRow(std::string& out, const Context& context, std::string_view logLine)
{
    const RecordFields fields = ExtractRecordFields(logLine);
    const LabelText label = fields.label();
    const std::string_view url = StripHttpVersion(fields.rawUrl);
    const IconIndex icon = FileKindIcon(fields.rawUrl);
    if (context.format == OutputFormat::Tsv) {
        appendField(out, context, fields.date);
        out += '\t';
        appendField(out, context, label.view());
        out += '\t';
        appendField(out, context, url);
        out += '\t';
        out += static_cast<char>('0' + icon);
    } else {
        std::size_t from = out.size();
        appendField(out, context, fields.date);
        padTo(out, from, DateCapacity + 2);
        from = out.size();
        appendField(out, context, label.view());
        padTo(out, from, LabelCapacity + 2);
        appendField(out, context, url);
        if (icon == ArchiveIcon)
            out += "  [archive]";
        else if (icon == PdfIcon)
            out += "  [pdf]";
    }
    out += '\n';
}

// list LOG USER [HOST]: the rows of the user node, or of its host node.
//
// A large log is cut into chunks of whole lines that the cores search at once, taking chunks in
// file order; this thread writes each chunk's rows as soon as the chunks before it are written.
// No chunk is taken more than a few ahead of the writing, so the rows waiting in memory stay few.
int runList(const Context& context, const std::vector<std::string>& args)
{
    const LogFile file(args[0]);
    const NodeSearchTexts texts = args.size() > 2 ? NodeSearchTexts::ForHost(args[1], args[2])
                                                  : NodeSearchTexts::ForUser(args[1]);
    // The search stops at the first NUL by itself, so it runs over the file's bytes. An empty
    // HOST names no node of the tree: it lists nothing.
    const std::string_view bytes =
        args.size() > 2 && args[2].empty() ? std::string_view() : file.bytes();
    const NodeLineSearch search(bytes, texts);
    constexpr std::size_t ChunkBytes = 8u << 20;
    constexpr std::size_t MaxAhead = 4;
    const std::vector<std::string_view> chunks = SplitAtLineEnds(
        bytes, static_cast<unsigned>(std::max<std::size_t>(1, bytes.size() / ChunkBytes)));

    struct Chunk
    {
        std::string rows;
        std::size_t count = 0;
    };
    std::vector<Chunk> results(chunks.size());
    std::size_t total = 0;
    RunInOrder(
        chunks.size(), RunsForScan(bytes.size(), 2 * ChunkBytes), MaxAhead,
        [&](std::size_t k) {
            Chunk& chunk = results[k];
            return search.run(chunks[k], [&](std::string_view logLine) {
                appendRow(chunk.rows, context, logLine);
                ++chunk.count;
            });
        },
        [&](std::size_t k) {
            // Rows read from a log that was cut short meanwhile are not the log's: stop there.
            if (file.wasCutShort())
                return false;
            const Chunk chunk = std::move(results[k]);
            context.out.write(chunk.rows.data(), static_cast<std::streamsize>(chunk.rows.size()));
            total += chunk.count;
            return true;
        });
    // A listing of part of the log is no listing: it fails as reading the log fails.
    file.checkNotCutShort();
    if (context.format == OutputFormat::Text)
        context.out << counted(total, "row", "rows") << '\n';
    return 0;
}

// find LOG TEXT: in tree order, the users and hosts with lines whose display URL contains TEXT
// (ASCII case ignored), each with its number of such lines.
int runFind(const Context& context, const std::vector<std::string>& args)
{
    const LogFile file(args[0]);
    // The search stops at a NUL by itself, so it need not wait for the file's text.
    const FoundInTreeOrder matches = FindInTreeOrder(file.bytes(), args[1]);
    const std::vector<FoundUser>& found = matches.users;
    file.checkNotCutShort();

    OutputBuffer out(context.out);
    std::string& line = out.text();
    const bool tsv = context.format == OutputFormat::Tsv;
    for (const FoundUser& user : found) {
        if (tsv) {
            line += "U\t";
            appendField(line, context, user.text);
            line += '\t';
            line += std::to_string(user.count);
        } else {
            appendField(line, context, user.text);
            line += "  (" + counted(user.count, "match", "matches") + ')';
        }
        out.endLine();
        for (const FoundHost& host : user.hosts) {
            if (tsv) {
                line += "H\t";
                line += std::to_string(host.kind);
                line += '\t';
                appendField(line, context, host.text);
                line += '\t';
            } else {
                const std::size_t from = line.size();
                line += "    ";
                line += KindSlotName(host.kind, "?");
                padTo(line, from, 16);
                appendField(line, context, host.text);
                line += "  ";
            }
            line += std::to_string(host.count);
            out.endLine();
        }
    }
    if (!tsv) {
        line += counted(matches.lines, "matching line", "matching lines") + ", " +
                counted(found.size(), "user", "users");
        out.endLine();
    }
    return 0;
}

const Registrar registrar{{
    {"tree", "tree LOG", 1, 1, runTree},
    {"list", "list LOG USER [HOST]", 2, 3, runList},
    {"find", "find LOG TEXT", 2, 2, runFind},
}};

} // namespace

} // namespace qelt::cli
