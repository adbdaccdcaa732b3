#include "logaccess/LogIndex.h"
#include "settings/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace qelt;

namespace {

std::string line(const std::string& user, const std::string& request, const std::string& type)
{
    return "10.0.0.5 - " + user + " [07/Dec/2026:03:44:43 +0800] \"" + request + "\" \"" + type +
           "\"\r\n";
}

std::string web(const std::string& user, const std::string& host)
{
    return line(user, "GET http://" + host + "/x HTTP/1.1", "HTTP");
}

std::string tunnel(const std::string& user, const std::string& host)
{
    return line(user, "CONNECT " + host + ":443 HTTP/1.0", "HTTPS");
}

// The tree as lines "U name" and "H kind host", the way a reader checks it.
std::vector<std::string> treeOf(const LogIndex& index)
{
    std::vector<std::string> out;
    const LogTree tree = MakeLogTree(index);
    for (const TreeUser& user : tree.users) {
        EXPECT_EQ(user.icon, UserNodeIcon);
        out.push_back("U " + std::string(user.text));
        for (const TreeHost& host : tree.hostsOf(user))
            out.push_back("H " + std::to_string(host.icon) + " " + std::string(host.text));
    }
    return out;
}

std::vector<std::string> treeOf(const std::string& text, unsigned threads = 1)
{
    IndexOptions options;
    options.threads = threads;
    return treeOf(BuildLogIndex(text, nullptr, options));
}

class RecordingSink : public ProgressSink
{
public:
    void ShowStatus(int slot, std::string_view text) override
    {
        calls.push_back(std::to_string(slot) + ":" + std::string(text));
        slots[static_cast<std::size_t>(slot)] = std::string(text);
    }
    void ProcessPending() override { calls.push_back("pump"); }

    std::vector<std::string> calls;
    std::string slots[3];
};

} // namespace

TEST(LogIndexBuild, UsersAndHostsInOrderOfFirstAppearance)
{
    using V = std::vector<std::string>;
    const std::string user26 = "abcdefghijklmnopqrstuvwxyZ"; // 26 bytes
    const std::string host51 = std::string(50, 'h') + ".x";  // 52 bytes
    struct Case
    {
        const char* what;
        std::string text;
        V tree;
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"case matters",
         web("Ann", "a.com") + web("ann", "a.com"),
         {"U Ann", "H 1 a.com", "U ann", "H 1 a.com"}},
        {"first kind wins", web("bob", "h.com") + tunnel("bob", "h.com"), {"U bob", "H 1 h.com"}},
        {"interleaved users",
         web("u1", "a") + web("u2", "b") + web("u1", "c") + tunnel("u2", "a") + web("u1", "a"),
         {"U u1", "H 1 a", "H 1 c", "U u2", "H 1 b", "H 0 a"}},
        {"user without host",
         line("solo", "GET HTTP://CAPS/x HTTP/1.1", "HTTP") + web("u", "h"),
         {"U solo", "U u", "H 1 h"}},
        {"lines that give nothing",
         "garbage\r\n\r\n" + line("", "GET http://h/ HTTP/1.1", "HTTP") +
             "no dash [x] \"GET http://h/ HTTP/1.1\" \"HTTP\"\r\n",
         {}},
        {"whole user texts: sharing the first 25 bytes is not one node",
         web(user26, "a") + web(user26.substr(0, 25) + "Q", "b") + web(user26.substr(0, 25), "c") +
             web(user26, "d"),
         {"U " + user26, "H 1 a", "H 1 d", "U " + user26.substr(0, 25) + "Q", "H 1 b",
          "U " + user26.substr(0, 25), "H 1 c"}},
        {"whole host texts: sharing the first 50 bytes is not one node",
         web("u", host51) + tunnel("u", host51.substr(0, 50) + "zz") + web("u", host51),
         {"U u", "H 1 " + host51, "H 0 " + host51.substr(0, 50) + "zz"}},
        {"high bytes and lone line ends",
         "1 - m\xfcller [d] \"GET http://h\xe9.de/ HTTP/1.1\" \"HTTP\"\r1 - b [d] \"CONNECT "
         "s:1\" \"socks5\"\n",
         {"U m\xfcller", "H 1 h\xe9.de", "U b", "H 6 s"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(treeOf(c.text), c.tree);
        EXPECT_EQ(treeOf(c.text, 3), c.tree);
    }
}

TEST(LogIndexBuild, IdsNeverWrapBeyond255Users)
{
    std::string text;
    for (int i = 1; i <= 300; ++i)
        text += web("user" + std::to_string(i), "host" + std::to_string(i));
    text += web("user1", "late");
    const LogIndex index = BuildLogIndex(text, nullptr);
    ASSERT_EQ(index.users.size(), 300u);
    EXPECT_EQ(index.users[255].id, 256u);
    const LogTree tree = MakeLogTree(index);
    // "late" belongs to the first user only, not to user 257 whose id a wrap would have shared.
    ASSERT_EQ(tree.hostsOf(tree.users[0]).size(), 2u);
    EXPECT_EQ(tree.hostsOf(tree.users[0]).begin()[1].text, "late");
    EXPECT_EQ(tree.hostsOf(tree.users[256]).size(), 1u);
}

TEST(LogIndexProgress, ReportsEachNewUserAndHostWithWholeTexts)
{
    const std::string longUser(30, 'L');
    const std::string text = web("alice", "a.com") + web("alice", "a.com") + "junk\r\n" +
                             web(longUser, "b.com") + line("bob", "GET /none", "HTTP");
    RecordingSink sink;
    IndexOptions options;
    options.threads = 1;
    BuildLogIndex(text, &sink, options);
    const std::vector<std::string> expected = {
        "0:Total Accounts: 1", "1:Found User: alice",       "pump", "2:Found URL: a.com", "pump",
        "0:Total Accounts: 2", "1:Found User: " + longUser, "pump", "2:Found URL: b.com", "pump",
        "0:Total Accounts: 3", "1:Found User: bob",         "pump"};
    EXPECT_EQ(sink.calls, expected);
}

TEST(LogIndexParallel, EqualsOneRunOnGeneratedLogs)
{
    // Many users and hosts, long texts, every kind, line ends of all sorts: the runs must merge
    // into exactly the index of one run, and leave the same final progress texts.
    std::mt19937 random(11);
    const char* const ends[] = {"\r\n", "\r\n", "\r\n", "\n", "\r"};
    std::string text;
    for (int i = 0; i < 60000; ++i) {
        const unsigned u = random() % 700;
        const unsigned h = random() % (i < 30000 ? 300 : 5000);
        std::string user = "user" + std::to_string(u);
        if (u % 7 == 0)
            user += std::string(30, 'x') + std::to_string(u % 3); // long texts
        std::string host = "host" + std::to_string(h) + ".example";
        if (h % 11 == 0)
            host = std::string(49, 'z') + std::to_string(h);
        std::string l;
        switch (random() % 4) {
        case 0:
            l = web(user, host);
            break;
        case 1:
            l = tunnel(user, host);
            break;
        case 2:
            l = line(user, "RETR Host:" + host + "-User:x", random() % 2 ? "POP3" : "smtp");
            break;
        default:
            l = line(user, "CONNECT " + host + ":1080 HTTP/1.0", "SOCKS5");
            break;
        }
        l.resize(l.size() - 2);
        text += l + ends[random() % 5];
    }

    RecordingSink oneSink;
    IndexOptions one;
    one.threads = 1;
    const LogIndex expected = BuildLogIndex(text, &oneSink, one);
    ASSERT_GT(expected.users.size(), 255u);
    ASSERT_GT(expected.hosts.size(), 10000u);
    const auto expectedTree = treeOf(expected);

    for (const unsigned threads : {2u, 3u, 8u}) {
        SCOPED_TRACE(threads);
        RecordingSink sink;
        IndexOptions options;
        options.threads = threads;
        const LogIndex index = BuildLogIndex(text, &sink, options);
        ASSERT_EQ(index.users.size(), expected.users.size());
        ASSERT_EQ(index.hosts.size(), expected.hosts.size());
        for (std::size_t i = 0; i < index.hosts.size(); ++i) {
            // The texts are views of the log's own bytes, whatever the build compared with.
            const std::string_view host = index.hosts[i].host;
            ASSERT_TRUE(host.data() >= text.data() &&
                        host.data() + host.size() <= text.data() + text.size())
                << i;
            ASSERT_EQ(index.hosts[i].owner, expected.hosts[i].owner) << i;
            ASSERT_EQ(index.hosts[i].kind, expected.hosts[i].kind) << i;
            ASSERT_EQ(index.hosts[i].host, expected.hosts[i].host) << i;
            ASSERT_EQ(index.hosts[i].lines, expected.hosts[i].lines) << i;
            ASSERT_EQ(index.hosts[i].firstLine, expected.hosts[i].firstLine) << i;
            ASSERT_EQ(index.hosts[i].lastLine, expected.hosts[i].lastLine) << i;
        }
        for (std::size_t i = 0; i < index.users.size(); ++i) {
            ASSERT_EQ(index.users[i].lines, expected.users[i].lines) << i;
            ASSERT_EQ(index.users[i].firstLine, expected.users[i].firstLine) << i;
            ASSERT_EQ(index.users[i].lastLine, expected.users[i].lastLine) << i;
        }
        EXPECT_EQ(treeOf(index), expectedTree);
        for (int slot = 0; slot < 3; ++slot)
            EXPECT_EQ(sink.slots[slot], oneSink.slots[slot]) << slot;
    }
}

namespace {

// Every field of every entry, for comparing two indexes whole.
std::vector<std::string> entriesOf(const LogIndex& index)
{
    std::vector<std::string> out;
    for (const UserEntry& u : index.users)
        out.push_back("U " + std::to_string(u.id) + " " + std::string(u.name) + " " +
                      std::to_string(u.lines) + " " + std::to_string(u.firstLine) + " " +
                      std::to_string(u.lastLine));
    for (const HostEntry& h : index.hosts)
        out.push_back("H " + std::to_string(h.owner) + " " + std::to_string(h.kind) + " " +
                      std::string(h.host) + " " + std::to_string(h.lines) + " " +
                      std::to_string(h.firstLine) + " " + std::to_string(h.lastLine));
    return out;
}

} // namespace

// A log that grows in pieces cut anywhere (inside a line, inside a user or host text, between the
// CR and the LF of a line end), indexed piece by piece, equals the index of the whole log at
// every step; then a NUL ends the text and nothing after it counts.
TEST(LogIndexExtend, EqualsARebuildAfterEveryAppend)
{
    std::mt19937 random(2027);
    std::string log;
    for (int i = 0; i < 20000; ++i) {
        const unsigned u = i < 10000 ? random() % 50 : random() % 400; // new users come later
        const std::string user = "user" + std::to_string(u) + (u % 9 == 0 ? "\xe9" : "");
        const std::string host = "h" + std::to_string(random() % (i < 10000 ? 60 : 3000)) + ".x";
        log += random() % 3 ? web(user, host) : tunnel(user, host);
        if (random() % 7 == 0)
            log += "junk line\r";
    }
    qelt::test::TempFolder dir;
    const std::string path = dir / "log1.txt";
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        IndexOptions options;
        options.threads = threads;
        options.minBytesPerThread = 1;
        std::size_t size = 0;
        qelt::test::writeFile(path, "");
        LogIndex index = BuildLogIndex(std::make_shared<const LogFile>(path), nullptr, options);
        for (int step = 0; size < log.size(); ++step) {
            const std::size_t before = size;
            size = std::min(log.size(), size + 1 + random() % 60000);
            if (step % 5 == 0 && size < log.size()) {
                // Right between a CR and its LF, or in the middle of a user text.
                const std::size_t cr = log.find('\r', size);
                size = cr == std::string::npos ? size : cr + 1;
            }
            {
                std::ofstream out(path, std::ios::binary | std::ios::app);
                out << log.substr(before, size - before);
            }
            // Every other step from a new mapping of the grown file, else from a string.
            const std::string text = log.substr(0, size);
            if (step % 2 == 0)
                index = ExtendLogIndex(std::move(index), std::make_shared<const LogFile>(path),
                                       nullptr, options);
            else
                index = ExtendLogIndex(std::move(index), text, nullptr, options);
            const LogIndex whole = BuildLogIndex(text, nullptr, options);
            const auto got = entriesOf(index);
            const auto expected = entriesOf(whole);
            const auto differ =
                std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
            ASSERT_TRUE(differ.first == got.end() && differ.second == expected.end())
                << "step " << step << " at " << size << ": "
                << (differ.first == got.end() ? "(none)" : *differ.first) << " instead of "
                << (differ.second == expected.end() ? "(none)" : *differ.second);
            if (step % 2 == 1) // the views point into the file for the next step
                index = ExtendLogIndex(std::move(index), std::make_shared<const LogFile>(path),
                                       nullptr, options);
        }
        // A NUL ends the text; what follows it never counts.
        const std::string ended = log + std::string(1, '\0') + web("late", "after.nul");
        const LogIndex after = ExtendLogIndex(std::move(index), ended, nullptr, options);
        ASSERT_EQ(entriesOf(after), entriesOf(BuildLogIndex(log, nullptr, options)));
        const std::string later = ended + web("later", "x.y"); // the index's texts point in
        const LogIndex still = ExtendLogIndex(after, later, nullptr, options);
        EXPECT_EQ(entriesOf(still), entriesOf(after));
    }
}

TEST(LogIndexBuild, NulEndsTheText)
{
    // Wherever the NUL stands (in the first run, in a later one, inside a line), the index is
    // that of the text before it, in one run or in several.
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += web("u" + std::to_string(i % 50), "h" + std::to_string(i) + ".com");
    for (const std::size_t at :
         {std::size_t(0), std::size_t(5), text.size() / 3, text.size() / 2 + 7, text.size() - 3}) {
        SCOPED_TRACE(at);
        std::string withNul = text;
        withNul.insert(at, 1, '\0');
        const auto expected = treeOf(text.substr(0, at));
        EXPECT_EQ(treeOf(withNul, 1), expected);
        EXPECT_EQ(treeOf(withNul, 2), expected);
        EXPECT_EQ(treeOf(withNul, 5), expected);
    }
}

TEST(LogIndexBuild, CancelStopsAndSaysSo)
{
    std::string text;
    while (text.size() < (9u << 20))
        text += web("u" + std::to_string(text.size() % 977), "h.com");
    const std::atomic<bool> cancel{true};
    for (const unsigned threads : {1u, 2u}) {
        IndexOptions options;
        options.threads = threads;
        options.cancel = &cancel;
        const LogIndex index = BuildLogIndex(text, nullptr, options);
        EXPECT_TRUE(index.cancelled);
    }
    IndexOptions options;
    const std::atomic<bool> keepGoing{false};
    options.cancel = &keepGoing;
    EXPECT_FALSE(BuildLogIndex(text, nullptr, options).cancelled);
}

TEST(LogIndexBuild, TreeKeepsItsFileMapped)
{
    qelt::test::TempFolder dir;
    qelt::test::writeFile(dir / "log1.txt", web("alice", "a.com") + tunnel("bob", "b.org"));
    LogTree tree;
    {
        auto file = std::make_shared<const LogFile>(dir / "log1.txt");
        tree = MakeLogTree(BuildLogIndex(std::move(file), nullptr));
    }
    // The file object is gone here but for the tree's hold on it; reading the texts must work.
    ASSERT_EQ(tree.users.size(), 2u);
    EXPECT_EQ(tree.users[1].text, "bob");
    EXPECT_EQ(tree.hostsOf(tree.users[1]).begin()->text, "b.org");
}
