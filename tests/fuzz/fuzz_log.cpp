// Log text through the grammar, the index (one part against several), the
// listing (one run against several, and against the index's own rule for which
// lines a node holds, line by line) and both deletions (against that rule, and
// against the listing).
#include "FuzzCheck.h"
#include "logaccess/Deletion.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/LogIndex.h"
#include "logaccess/LogRewrite.h"
#include "logaccess/RecordListing.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

using namespace qelt;
using qelt::fuzz::within;

namespace {

constexpr std::size_t MaxNodes = 8; // of each kind, listed and deleted per input

std::string upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

void checkGrammar(std::string_view line)
{
    const IndexFields index = ExtractIndexFields(line);
    FUZZ_CHECK(index.qualifies == (line.find(" - ") != std::string_view::npos));
    FUZZ_CHECK(within(index.user, line));
    FUZZ_CHECK(within(index.host, line));

    const RecordFields record = ExtractRecordFields(line);
    FUZZ_CHECK(record.date.size() <= DateCapacity && within(record.date, line));
    FUZZ_CHECK(within(record.labelHead, line) && within(record.rawUrl, line));
    FUZZ_CHECK(record.label().view().size() <= LabelCapacity);
    const std::string_view url = StripHttpVersion(record.rawUrl);
    FUZZ_CHECK(record.rawUrl.substr(0, url.size()) == url);
    const IconIndex icon = FileKindIcon(record.rawUrl);
    FUZZ_CHECK(icon == PlainRequestIcon || icon == ArchiveIcon || icon == PdfIcon);

    // The first token of the table (not of the line) that occurs in any letter
    // case.
    const std::string upperLine = upper(line);
    int expected = -1;
    for (std::size_t i = 0; i < ConnectionTypeTable.size() && expected < 0; ++i)
        if (upperLine.find(ConnectionTypeTable[i].token) != std::string::npos)
            expected = static_cast<int>(i);
    FUZZ_CHECK(FindConnectionType(line) == expected);
}

// The index as texts, so that two builds compare whatever their storage.
struct IndexTexts
{
    std::vector<std::string_view> users;
    std::vector<std::string_view> hostOwners;
    std::vector<std::string_view> hosts;
    std::vector<ConnectionKind> kinds;

    bool operator==(const IndexTexts& o) const
    {
        return users == o.users && hostOwners == o.hostOwners && hosts == o.hosts &&
               kinds == o.kinds;
    }
};

IndexTexts textsOf(const LogIndex& index)
{
    IndexTexts out;
    std::vector<std::pair<UserId, std::string_view>> names;
    for (const UserEntry& user : index.users) {
        out.users.push_back(user.name);
        names.emplace_back(user.id, user.name);
        FUZZ_CHECK(!user.name.empty());
    }
    for (const HostEntry& host : index.hosts) {
        const auto owner = std::find_if(names.begin(), names.end(),
                                        [&](const auto& n) { return n.first == host.owner; });
        FUZZ_CHECK(owner != names.end());
        out.hostOwners.push_back(owner->second);
        out.hosts.push_back(host.host);
        out.kinds.push_back(host.kind);
        FUZZ_CHECK(!host.host.empty());
    }
    return out;
}

struct Line
{
    std::string_view text;
    ByteOffset offset;
};

// The lines a node holds, by the rule the index counts them with: a line with "
// - " whose user field is the node's user text, and for a host node whose host
// field is its host text.
bool nodeHolds(std::string_view line, const NodeSearchTexts& node)
{
    const IndexFields fields = ExtractIndexFields(line);
    if (!fields.qualifies || fields.user.empty() || fields.user != node.user)
        return false;
    return !node.isHostNode() || fields.host == node.host;
}

std::vector<std::string_view> linesExcept(const std::vector<Line>& lines,
                                          const std::vector<ByteOffset>& removed)
{
    std::vector<std::string_view> kept;
    for (const Line& line : lines)
        if (std::find(removed.begin(), removed.end(), line.offset) == removed.end())
            kept.push_back(line.text);
    return kept;
}

void checkKeptRanges(std::string_view text, const KeptText& kept)
{
    FUZZ_CHECK(!kept.cancelled);
    for (std::size_t i = 0; i < kept.ranges.size(); ++i) {
        FUZZ_CHECK(kept.ranges[i].begin < kept.ranges[i].end && kept.ranges[i].end <= text.size());
        FUZZ_CHECK(i == 0 || kept.ranges[i - 1].end < kept.ranges[i].begin);
    }
}

// Checks one node: its listing against the rule, its deletion and the deletion
// of its rows against its listing. Returns how many lines it holds.
std::size_t checkNode(std::string_view data, std::string_view text, const std::vector<Line>& lines,
                      const NodeSearchTexts& node)
{
    // The listing: one run, several runs and the rule applied line by line agree.
    const RecordList one = ListNodeRecords(data, node, 1);
    const RecordList many = ListNodeRecords(data, node, 3);
    FUZZ_CHECK(one.size() == many.size());
    std::vector<ByteOffset> listed;
    for (std::size_t i = 0; i < one.size(); ++i) {
        const RecordRow& a = one.rows()[i];
        const RecordRow& b = many.rows()[i];
        FUZZ_CHECK(a.line == b.line && a.lineSize == b.lineSize && a.icon == b.icon);
        FUZZ_CHECK(a.icon == FileKindIcon(one.fields(i).rawUrl));
        listed.push_back(a.line);
    }
    std::vector<ByteOffset> held;
    for (const Line& line : lines) {
        const bool holds = nodeHolds(line.text, node);
        FUZZ_CHECK(LineBelongsToNode(line.text, node) == holds);
        if (holds)
            held.push_back(line.offset);
    }
    FUZZ_CHECK(listed == held);
    // Every node of the tree stands for at least one line.
    FUZZ_CHECK(!listed.empty());
    FUZZ_CHECK(FirstNodeLine(text, node) == listed.front());

    // The node deletion removes exactly the listed lines.
    const KeptText kept = DeleteNodeLines(text, node);
    checkKeptRanges(text, kept);
    FUZZ_CHECK(kept.removedLines == listed.size());
    FUZZ_CHECK(KeptLines(text, kept) == linesExcept(lines, listed));

    // The record deletion of every other listed row, and of offsets that start no
    // line of the node (inside a row's line, or another line): exactly the chosen
    // rows' lines go.
    std::vector<ByteOffset> rows;
    std::vector<bool> expected;
    std::vector<ByteOffset> chosen;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (i % 2 == 0) {
            rows.push_back(listed[i]);
            expected.push_back(true);
            chosen.push_back(listed[i]);
        } else if (one.rows()[i].lineSize > 0) {
            rows.push_back(listed[i] + 1);
            expected.push_back(false);
        }
    }
    for (const Line& line : lines) {
        if (std::find(listed.begin(), listed.end(), line.offset) == listed.end()) {
            rows.push_back(line.offset);
            expected.push_back(false);
            break;
        }
    }
    const RecordDeletion deletion = DeleteSelectedRecords(text, rows, node);
    checkKeptRanges(text, deletion.kept);
    FUZZ_CHECK(deletion.rowRemoved == expected);
    FUZZ_CHECK(deletion.kept.removedLines == chosen.size());
    FUZZ_CHECK(KeptLines(text, deletion.kept) == linesExcept(lines, chosen));
    return listed.size();
}

std::string logPath;

// Writes data as a log, deletes the node's lines from it as the programs do (the last line
// without its line end, and the bytes from a NUL on, are carried over) and checks the new log
// byte by byte, and that each kept line is found where OffsetsAfterRewrite says.
void checkRewrite(std::string_view data, const NodeSearchTexts& node)
{
    {
        std::ofstream out(logPath, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        FUZZ_CHECK(out.good());
    }
    const LogFile file(logPath);
    const LogSnapshot snapshot = TakeLogSnapshot(file);
    const std::string_view text = DeletableText(file, snapshot);
    FUZZ_CHECK(text.size() == snapshot.carryFrom);
    const KeptText kept = DeleteNodeLines(text, node);
    if (kept.removedLines == 0)
        return;
    RewriteLogFile(logPath, snapshot, text, kept.ranges);
    std::ifstream in(logPath, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    std::string expected;
    std::vector<ByteOffset> starts;
    std::vector<std::string_view> texts;
    for (const std::string_view line : Lines(text)) {
        starts.push_back(static_cast<ByteOffset>(line.data() - text.data()));
        texts.push_back(line);
        if (nodeHolds(line, node))
            continue;
        expected += line;
        // Lines end with CR LF, but a last line before a NUL that has none is kept as it stands.
        if (line.data() + line.size() < text.data() + text.size())
            expected += "\r\n";
    }
    expected += data.substr(text.size());
    FUZZ_CHECK(after == expected);

    starts.push_back(text.size());
    const std::vector<ByteOffset> moved = OffsetsAfterRewrite(text, kept, starts);
    FUZZ_CHECK(moved.size() == starts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (nodeHolds(texts[i], node)) {
            FUZZ_CHECK(moved[i] == NotKept);
        } else {
            FUZZ_CHECK(moved[i] != NotKept && moved[i] <= after.size());
            FUZZ_CHECK(std::string_view(after).substr(moved[i], texts[i].size()) == texts[i]);
        }
    }
    if (text.size() < data.size())
        FUZZ_CHECK(std::string_view(after).substr(moved.back()) == data.substr(text.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // On a memory file system when there is one: every run writes and flushes a log.
    const char* base = std::getenv("TMPDIR");
    std::string pattern = ::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm")
                          : base && *base                 ? std::string(base)
                                                          : std::string("/tmp");
    pattern += "/qelt-fuzz-log-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        std::abort();
    static const std::string folder = pattern;
    logPath = folder + "/log.txt";
    std::atexit([] {
        RemoveStaleRewriteFiles(logPath);
        std::remove(logPath.c_str());
        ::rmdir(folder.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const std::string_view text = CutAtNul(data);
    std::vector<Line> lines;
    for (const std::string_view line : Lines(text)) {
        lines.push_back({line, static_cast<ByteOffset>(line.data() - text.data())});
        checkGrammar(line);
    }
    // The one-pass scan of every kind against the plain cuts, over the raw bytes up to the end
    // of the input (a NUL ends a line there, not the text).
    for (const char* p = data.data(); p < data.data() + data.size();) {
        const char* const end = data.data() + data.size();
        const char* const lineEnd = FindLineEndOrNul(p, end);
        const IndexFields plain =
            ExtractIndexFields(std::string_view(p, static_cast<std::size_t>(lineEnd - p)));
        for (const ScanInstructions widest : {ScanInstructions::Plain, ScanInstructions::Sse2,
                                              ScanInstructions::Avx2, ScanInstructions::Avx512}) {
            const IndexLine scanned = ScanIndexLine(widest, p, end);
            FUZZ_CHECK(scanned.end == lineEnd && scanned.fields.qualifies == plain.qualifies);
            FUZZ_CHECK(scanned.fields.user.data() == plain.user.data() &&
                       scanned.fields.user.size() == plain.user.size());
            FUZZ_CHECK(scanned.fields.hasKind == plain.hasKind &&
                       scanned.fields.kind == plain.kind);
            FUZZ_CHECK(scanned.fields.host.data() == plain.host.data() &&
                       scanned.fields.host.size() == plain.host.size());
        }
        p = lineEnd + TerminatorLength(lineEnd, end);
    }

    IndexOptions onePart;
    onePart.threads = 1;
    IndexOptions manyParts;
    manyParts.threads = 2 + static_cast<unsigned>(size % 3);
    manyParts.minBytesPerThread = 1;
    const LogIndex one = BuildLogIndex(data, nullptr, onePart);
    const LogIndex many = BuildLogIndex(data, nullptr, manyParts);
    FUZZ_CHECK(!one.cancelled && !many.cancelled);
    FUZZ_CHECK(textsOf(one) == textsOf(many));

    const LogTree tree = MakeLogTree(one);
    FUZZ_CHECK(tree.users.size() == one.users.size() && tree.hosts.size() == one.hosts.size());
    std::size_t users = 0;
    std::size_t hosts = 0;
    for (const TreeUser& user : tree.users) {
        const bool checkUser = users++ < MaxNodes;
        const std::size_t userLines =
            checkUser ? checkNode(data, text, lines, NodeSearchTexts::ForUser(user.text)) : 0;
        std::size_t hostLines = 0;
        for (const TreeHost& host : tree.hostsOf(user))
            if (hosts++ < MaxNodes)
                hostLines +=
                    checkNode(data, text, lines, NodeSearchTexts::ForHost(user.text, host.text));
        // A user's hosts hold some of its lines, never more.
        if (checkUser)
            FUZZ_CHECK(hostLines <= userLines);
    }
    // The first host node, or else the first user node, deleted from a log file. A rewrite looks
    // for other processes writing the log, which takes long: one input in eight.
    if (!tree.users.empty() && size % 8 == 0) {
        const TreeUser& user = tree.users.front();
        const auto hostsOfUser = tree.hostsOf(user);
        checkRewrite(data, hostsOfUser.size() > 0
                               ? NodeSearchTexts::ForHost(user.text, hostsOfUser.begin()->text)
                               : NodeSearchTexts::ForUser(user.text));
    }
    return 0;
}
