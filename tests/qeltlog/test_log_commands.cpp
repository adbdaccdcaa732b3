#include "logaccess/LogIndex.h"
#include "logaccess/RecordListing.h"
#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

using qelt::test::runProgram;
using qelt::test::TempFolder;

namespace {

const std::string SmallLog = std::string(QELT_TEST_DATA_DIR) + "/access-small.txt";

TEST(TreeCommand, TsvAndTextOfASmallLog)
{
    const auto tsv = runProgram(QELTLOG_PATH, {"--format", "tsv", "tree", SmallLog});
    EXPECT_EQ(tsv.status, 0) << tsv.err;
    EXPECT_EQ(tsv.err, "");
    EXPECT_EQ(tsv.out, "U\talice\n"
                       "H\t1\tdl1.example.com\n"
                       "H\t0\tsecure.example.com\n"
                       "U\tbob\n"
                       "H\t1\tdocs.example.org\n"
                       "H\t1\tdl1.example.com\n"
                       "U\tcarol\n"
                       "H\t4\tmail.example.net\n");

    const auto text = runProgram(QELTLOG_PATH, {"tree", SmallLog});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "alice  (2 hosts)\n"
                        "    HTTP        dl1.example.com\n"
                        "    HTTPS       secure.example.com\n"
                        "bob  (2 hosts)\n"
                        "    HTTP        docs.example.org\n"
                        "    HTTP        dl1.example.com\n"
                        "carol  (1 host)\n"
                        "    POP3/SMTP   mail.example.net\n"
                        "3 users, 5 hosts\n");
}

TEST(ListCommand, RowsOfUserAndHostNodes)
{
    struct Case
    {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"alice"},
         "07/Dec/2026:03:44:43\tGET \"HTTP\"\thttp://dl1.example.com/files/setup.zip\t8\n"
         "07/Dec/2026:03:44:50\tCONNECT \"HTTPS\"\tsecure.example.com:443\t7\n"
         "07/Dec/2026:03:45:09\tCONNECT \"HTTPS\"\tdl1.example.com:443\t7\n"},
        {{"bob", "dl1.example.com"},
         "07/Dec/2026:03:47:30\tGET \"HTTP\"\thttp://dl1.example.com/?from=alice\t7\n"},
        {{"carol"},
         "07/Dec/2026:03:46:11\tRETR \"POP3\"\tHost:mail.example.net-User:carol\"\t7\n"
         "07/Dec/2026:03:48:00\t\t\t7\n"},
        {{"nobody"}, ""},
        {{"alice", "nowhere.example"}, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--format", "tsv", "list", SmallLog};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto result = runProgram(QELTLOG_PATH, args);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.out) << c.args[0];
    }

    const auto text = runProgram(QELTLOG_PATH, {"list", SmallLog, "bob"});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(
        text.out,
        "07/Dec/2026:03:45:02  GET \"HTTP\"         http://docs.example.org/manual.pdf  [pdf]\n"
        "07/Dec/2026:03:47:30  GET \"HTTP\"         http://dl1.example.com/?from=alice\n"
        "2 rows\n");
}

TEST(LogCommands, BytesAreEscapedInTsv)
{
    TempFolder dir;
    const std::string log = dir / "log1.txt";
    qelt::test::writeFile(log,
                          std::string("1 - DOM\\ann\tx\xe9 [07/Dec/2026:03:44:43 +0800] "
                                      "\"GET http://h\x7f.de/a\\b HTTP/1.1\" \"HTTP\"\r\n"
                                      "2 - z [d] \"GET http://after.nul/ HTTP/1.1\" \"HTTP\"") +
                              std::string(1, '\0') +
                              "\r\n3 - hidden [d] \"GET http://x/ HTTP/1.1\" \"HTTP\"\r\n");
    const auto tree = runProgram(QELTLOG_PATH, {"--format", "tsv", "tree", log});
    EXPECT_EQ(tree.status, 0) << tree.err;
    EXPECT_EQ(tree.out, "U\tDOM\\x5cann\\x09x\xe9\nH\t1\th\\x7f.de\nU\tz\nH\t1\tafter.nul\n");

    const auto list = runProgram(QELTLOG_PATH, {"--format", "tsv", "list", log, "DOM\\ann\tx\xe9"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "07/Dec/2026:03:44:43\tGET \"HTTP\"\thttp://h\\x7f.de/a\\x5cb\t7\n");
}

TEST(LogCommands, EmptyLogAndFailures)
{
    TempFolder dir;
    qelt::test::writeFile(dir / "empty.txt", "");
    const auto empty = runProgram(QELTLOG_PATH, {"--format", "tsv", "tree", dir / "empty.txt"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");
    const auto emptyText = runProgram(QELTLOG_PATH, {"tree", dir / "empty.txt"});
    EXPECT_EQ(emptyText.out, "0 users, 0 hosts\n");

    const std::string missing = dir / "log9.txt";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"tree", missing},
                                                 {"list", missing, "alice"},
                                                 {"list", missing, "alice", "h"},
                                                 {"tree", dir.path()}}) {
        const auto result = runProgram(QELTLOG_PATH, args);
        EXPECT_EQ(result.status, 1) << args[0];
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Cannot open file " + args[1] + "\n");
    }

    for (const std::vector<std::string>& args : {std::vector<std::string>{"tree"},
                                                 {"tree", "a", "b"},
                                                 {"list", SmallLog},
                                                 {"list", SmallLog, "u", "h", "extra"}}) {
        const auto result = runProgram(QELTLOG_PATH, args);
        EXPECT_EQ(result.status, 2) << args.size();
        EXPECT_EQ(result.out, "");
    }
}

TEST(LogCommands, LargeLogInRunsEqualsOneRun)
{
    // Large enough to be read by both cores in several chunks; a NUL past the middle ends the
    // text there, so the chunks after it must not count.
    std::string log;
    unsigned n = 0;
    while (log.size() < (36u << 20)) {
        const std::string user = "user" + std::to_string(n % 97);
        const std::string host = "h" + std::to_string((n * 7919u) % 20011u) + ".example";
        log += "10.1.2.3 - " + user + " [07/Dec/2026:03:44:43 +0800] \"GET http://" + host + "/f" +
               std::to_string(n) + (n % 5 ? ".html" : ".zip") + " HTTP/1.1\" \"HTTP\"\r\n";
        ++n;
    }
    const std::size_t nulAt = log.size() / 3 * 2 + 11;
    std::string withNul = log;
    withNul[nulAt] = '\0';
    const std::string text = log.substr(0, nulAt);

    TempFolder dir;
    for (const auto& [name, bytes] :
         {std::pair<std::string, std::string>{"log1.txt", log}, {"log2.txt", withNul}}) {
        SCOPED_TRACE(name);
        qelt::test::writeFile(dir / name, bytes);
        const std::string_view expectedText = name == "log1.txt" ? std::string_view(log) : text;

        std::string tree;
        qelt::IndexOptions one;
        one.threads = 1;
        const qelt::LogTree expectedTree =
            qelt::MakeLogTree(qelt::BuildLogIndex(expectedText, nullptr, one));
        for (const auto& user : expectedTree.users) {
            tree += "U\t" + std::string(user.text) + "\n";
            for (const auto& host : expectedTree.hostsOf(user))
                tree += "H\t" + std::to_string(host.icon) + "\t" + std::string(host.text) + "\n";
        }
        const auto treeRun = runProgram(QELTLOG_PATH, {"--format", "tsv", "tree", dir / name});
        EXPECT_EQ(treeRun.status, 0) << treeRun.err;
        EXPECT_TRUE(treeRun.out == tree) << "tree differs";

        std::string rows;
        const auto list =
            qelt::ListNodeRecords(expectedText, qelt::NodeSearchTexts::ForUser("user7"), 1);
        for (std::size_t i = 0; i < list.size(); ++i)
            rows += std::string(list.date(i)) + "\t" + list.label(i).str() + "\t" +
                    std::string(list.url(i)) + "\t" + std::to_string(list.icon(i)) + "\n";
        ASSERT_GT(list.size(), 1000u);
        const auto listRun =
            runProgram(QELTLOG_PATH, {"--format", "tsv", "list", dir / name, "user7"});
        EXPECT_EQ(listRun.status, 0) << listRun.err;
        EXPECT_TRUE(listRun.out == rows) << "rows differ";
    }
}

// A log cut short while it is listed (copy-and-truncate rotation): the rows read so far are not
// the node's listing, and the command fails as `tree` does.
TEST(LogCommands, ListOfALogCutShortWhileReadFails)
{
    TempFolder dir;
    const std::string log = dir / "log1.txt";
    std::string content;
    for (unsigned n = 0; content.size() < (64u << 20); ++n)
        content += "10.1.2.3 - alice [07/Dec/2026:03:44:43 +0800] \"GET http://h" +
                   std::to_string(n % 1000) + ".example/f HTTP/1.1\" \"HTTP\"\r\n";
    qelt::test::writeFile(log, content);

    // The rows go into a pipe that is not read until the log is cut: the command waits on its
    // first rows while most of the log is still unread.
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const std::string errPath = dir / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0644);
    std::vector<std::string> argv{QELTLOG_PATH, "--format", "tsv", "list", log, "alice"};
    std::vector<char*> pointers;
    for (auto& arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, QELTLOG_PATH, &actions, nullptr, pointers.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char buffer[1 << 16];
    ASSERT_GT(::read(out[0], buffer, sizeof buffer), 0);
    ASSERT_EQ(::truncate(log.c_str(), 4096), 0);
    while (::read(out[0], buffer, sizeof buffer) > 0) {
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(qelt::test::readFile(errPath).rfind("Cannot open file " + log + "\n", 0), 0u)
        << qelt::test::readFile(errPath);
}

} // namespace

// A name in the user field is no match: only the display URL is searched, case ignored.
TEST(FindCommand, NodesWithMatchesInTreeOrder)
{
    const auto tsv = runProgram(QELTLOG_PATH, {"--format", "tsv", "find", SmallLog, "DL1.Example"});
    EXPECT_EQ(tsv.status, 0) << tsv.err;
    EXPECT_EQ(tsv.out, "U\talice\t2\n"
                       "H\t1\tdl1.example.com\t2\n"
                       "U\tbob\t1\n"
                       "H\t1\tdl1.example.com\t1\n");
    const auto byName = runProgram(QELTLOG_PATH, {"--format", "tsv", "find", SmallLog, "alice"});
    EXPECT_EQ(byName.out, "U\tbob\t1\n"
                          "H\t1\tdl1.example.com\t1\n");

    const auto text = runProgram(QELTLOG_PATH, {"find", SmallLog, "dl1.example.com"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "alice  (2 matches)\n"
                        "    HTTP        dl1.example.com  2\n"
                        "bob  (1 match)\n"
                        "    HTTP        dl1.example.com  1\n"
                        "3 matching lines, 2 users\n");
    const auto none = runProgram(QELTLOG_PATH, {"--format", "tsv", "find", SmallLog, "nowhere"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "");
}
