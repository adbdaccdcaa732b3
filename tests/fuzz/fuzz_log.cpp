// Log text through the grammar, the index (one part against several), the listing (one run
// against several, and against the node rule line by line) and both deletions (against a
// line-by-line model, and against the listing).
#include "FuzzCheck.h"
#include "logaccess/Deletion.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/LogIndex.h"
#include "logaccess/RecordListing.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace qelt;
using qelt::fuzz::within;

namespace {

constexpr std::size_t MaxNodes = 8;    // of each kind, listed and deleted per input
constexpr std::size_t MaxUrlRows = 64; // rows given to the record deletion per input

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

    // The first token of the table (not of the line) that occurs in any letter case.
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
        FUZZ_CHECK(!user.name.empty() && user.name.size() <= UserNameCapacity);
    }
    for (const HostEntry& host : index.hosts) {
        const auto owner = std::find_if(names.begin(), names.end(),
                                        [&](const auto& n) { return n.first == host.owner; });
        FUZZ_CHECK(owner != names.end());
        out.hostOwners.push_back(owner->second);
        out.hosts.push_back(host.host);
        out.kinds.push_back(host.kind);
        FUZZ_CHECK(host.host.size() <= HostNameCapacity);
    }
    return out;
}

struct Line
{
    std::string_view text;
    ByteOffset offset;
};

bool contains(std::string_view line, std::string_view part)
{
    return !part.empty() && line.find(part) != std::string_view::npos;
}

// Checks one node's listing and deletion; adds the URLs of its first rows to urls.
void checkNode(std::string_view data, std::string_view text, const std::vector<Line>& lines,
               const NodeSearchTexts& node, std::vector<std::string_view>& urls)
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
    std::vector<ByteOffset> belonging;
    for (const Line& line : lines)
        if (LineBelongsToNode(line.text, node))
            belonging.push_back(line.offset);
    FUZZ_CHECK(listed == belonging);
    // Every node of the tree stands for at least one line.
    FUZZ_CHECK(!listed.empty());

    // The node deletion removes the lines that hold both texts: the listed ones, and lines
    // without " [" that hold them too.
    const KeptText kept = DeleteNodeLines(text, node.user, node.host);
    FUZZ_CHECK(!kept.cancelled);
    std::vector<std::string_view> expectedKept;
    std::size_t removed = 0;
    std::size_t nextListed = 0;
    for (const Line& line : lines) {
        const bool gone = contains(line.text, node.user) && contains(line.text, node.host);
        const bool isListed = nextListed < listed.size() && listed[nextListed] == line.offset;
        if (isListed)
            ++nextListed;
        FUZZ_CHECK(!isListed || gone);
        FUZZ_CHECK(isListed || !gone || !contains(line.text, " ["));
        if (gone)
            ++removed;
        else
            expectedKept.push_back(line.text);
    }
    FUZZ_CHECK(kept.removedLines == removed);
    FUZZ_CHECK(KeptLines(text, kept) == expectedKept);
    for (std::size_t i = 0; i < kept.ranges.size(); ++i) {
        FUZZ_CHECK(kept.ranges[i].begin < kept.ranges[i].end && kept.ranges[i].end <= text.size());
        FUZZ_CHECK(i == 0 || kept.ranges[i - 1].end < kept.ranges[i].begin);
    }

    for (std::size_t i = 0; i < one.size() && urls.size() < MaxUrlRows; ++i)
        urls.push_back(one.url(i));
}

// The record deletion of listed rows: each URL takes away the first line left that holds it,
// modelled here line by line. (One call per input: each call sets up tables for large texts.)
void checkRecordDeletion(std::string_view text, const std::vector<Line>& lines,
                         const std::vector<std::string_view>& urls)
{
    const RecordDeletion deletion = DeleteSelectedRecords(text, urls);
    FUZZ_CHECK(!deletion.kept.cancelled);
    FUZZ_CHECK(deletion.rowRemoved.size() == urls.size());
    std::vector<std::string_view> left;
    for (const Line& line : lines)
        left.push_back(line.text);
    std::size_t rowsRemoved = 0;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const auto hit = std::find_if(left.begin(), left.end(), [&](std::string_view line) {
            return contains(line, urls[i]);
        });
        const bool gone = hit != left.end();
        if (gone) {
            left.erase(hit);
            ++rowsRemoved;
        }
        FUZZ_CHECK(deletion.rowRemoved[i] == gone);
    }
    FUZZ_CHECK(deletion.kept.removedLines == rowsRemoved);
    FUZZ_CHECK(KeptLines(text, deletion.kept) == left);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const std::string_view text = CutAtNul(data);
    std::vector<Line> lines;
    for (const std::string_view line : Lines(text)) {
        lines.push_back({line, static_cast<ByteOffset>(line.data() - text.data())});
        checkGrammar(line);
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
    std::vector<std::string_view> urls;
    for (const TreeUser& user : tree.users) {
        if (users++ < MaxNodes)
            checkNode(data, text, lines, NodeSearchTexts::ForUser(user.text), urls);
        for (const TreeHost& host : tree.hostsOf(user))
            if (hosts++ < MaxNodes)
                checkNode(data, text, lines, NodeSearchTexts::ForHost(user.text, host.text), urls);
    }
    checkRecordDeletion(text, lines, urls);
    return 0;
}
