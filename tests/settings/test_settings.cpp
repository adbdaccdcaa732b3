#include "common/QeltError.h"
#include "filters/StoreTestFiles.h"
#include "settings/Settings.h"
#include "settings/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace qelt;
using qelt::test::TempFolder;

namespace {

const WindowSizes DesignSizes{708, 452, 245};

TEST(LoggerSettings, MissingFileGivesCurrentSizesAndNoLogDir)
{
    TempFolder dir;
    const auto settings = ReadLoggerSettings(dir.path(), DesignSizes);
    EXPECT_EQ(settings.sizes.width, 708);
    EXPECT_EQ(settings.sizes.height, 452);
    EXPECT_EQ(settings.sizes.separator, 245);
    EXPECT_EQ(settings.logDir, "");
    EXPECT_EQ(ReadCodePage(dir.path()), 1251);
}

TEST(LoggerSettings, ReadsEachKeyAndFallsBackPerKey)
{
    TempFolder dir;
    test::writeFile(dir / "config.ini", "[logger]\r\nwidth=$400\r\nHeight=tall\r\n"
                                        "Separator=0x64\r\nLogDir=/srv/proxy\r\nCodePage=866\r\n");
    const auto settings = ReadLoggerSettings(dir.path(), DesignSizes);
    EXPECT_EQ(settings.sizes.width, 1024);
    EXPECT_EQ(settings.sizes.height, 452);
    EXPECT_EQ(settings.sizes.separator, 100);
    EXPECT_EQ(settings.logDir, "/srv/proxy/");
    EXPECT_EQ(ReadCodePage(dir.path()), 866);
}

TEST(LoggerSettings, LogDirGetsOneTrailingSlash)
{
    TempFolder dir;
    for (const auto& [stored, expected] : {std::pair<const char*, const char*>{"/", "/"},
                                           {"/logs/", "/logs/"},
                                           {"/logs", "/logs/"},
                                           {"C:\\logs\\", "C:\\logs\\/"}}) {
        WriteLogDir(dir.path(), stored);
        EXPECT_EQ(ReadLoggerSettings(dir.path(), DesignSizes).logDir, expected) << stored;
    }
    SetLogDir("/var/log");
    EXPECT_EQ(LogDir(), "/var/log/");
    SetLogDir("");
    EXPECT_EQ(LogDir(), "");
}

TEST(LoggerSettings, CodePageFallsBackWhenUnsupported)
{
    TempFolder dir;
    for (const auto& [value, expected] : {std::pair<const char*, CodePageId>{"65001", 65001},
                                          {"28591", 28591},
                                          {"$4E4", 1252},
                                          {"932", 1251},
                                          {"utf-8", 1251}}) {
        test::writeFile(dir / "config.ini", std::string("[Logger]\nCodePage=") + value + "\n");
        EXPECT_EQ(ReadCodePage(dir.path()), expected) << value;
    }
}

TEST(LoggerSettings, FirstCloseCreatesSizesWithoutLogDir)
{
    TempFolder dir;
    WriteWindowSizes(dir.path(), {800, 600, 200});
    EXPECT_EQ(test::readFile(dir / "config.ini"),
              "[Logger]\r\nWidth=800\r\nHeight=600\r\nSeparator=200\r\n");
    WriteLogDir(dir.path(), "/srv/logs");
    WriteWindowSizes(dir.path(), {801, 601, 201});
    EXPECT_EQ(test::readFile(dir / "config.ini"),
              "[Logger]\r\nWidth=801\r\nHeight=601\r\nSeparator=201\r\nLogDir=/srv/logs\r\n");
}

TEST(AppDirRule, PortableCopyElseConfigFolder)
{
    TempFolder dir;
    EXPECT_EQ(ResolveAppDir(dir / "qelt-viewer"), dir.path());

    // A folder nobody may write to (root included): a path below a regular file.
    test::writeFile(dir / "file", "");
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    ::setenv("XDG_CONFIG_HOME", (dir / "cfg").c_str(), 1);
    const std::string appDir = ResolveAppDir(dir / "file/bin/qelt-viewer");
    EXPECT_EQ(appDir, dir / "cfg/qelt-viewer/");
    struct stat st
    {};
    EXPECT_EQ(::stat(appDir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", (dir / "home").c_str(), 1);
    EXPECT_EQ(ResolveAppDir(dir / "file/bin/qelt-viewer"), dir / "home/.config/qelt-viewer/");
    // An installed program uses the user's folder even where it may write (as root it may
    // write everywhere).
    for (const char* installed :
         {"/usr/bin/qelt-viewer", "/usr/local/bin/qelt-viewer", "/opt/qelt/bin/qelt-viewer"})
        EXPECT_EQ(ResolveAppDir(installed), dir / "home/.config/qelt-viewer/") << installed;
    ::setenv("HOME", savedHome.c_str(), 1);
    if (oldXdg)
        ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");

    ASSERT_FALSE(AppDir().empty());
    EXPECT_EQ(AppDir().back(), '/');
}

TEST(LogFiles, MatchesLogTxtWithoutCaseAndSortsWithoutCase)
{
    TempFolder dir;
    for (const char* name : {"log10.txt", "LOG2.TXT", "log1.txt", ".log3.txt", "Log_b.Txt",
                             "log.txt", "mylog.txt", "log1.txt.bak", "log1.tx", "lo.txt"})
        test::writeFile(dir / name, "x");
    ::mkdir((dir / "log4.txt").c_str(), 0755);
    ::mkfifo((dir / "log5.txt").c_str(), 0644);
    ::symlink("log1.txt", (dir / "log6.txt").c_str());
    ::symlink("log4.txt", (dir / "log7.txt").c_str());
    ::symlink("missing", (dir / "log8.txt").c_str());

    const std::vector<std::string> expected = {"log.txt",  "log1.txt", "log10.txt",
                                               "LOG2.TXT", "log6.txt", "Log_b.Txt"};
    EXPECT_EQ(ListLogFiles(dir.path()), expected);
    // Without the trailing slash as well.
    EXPECT_EQ(ListLogFiles(dir.path().substr(0, dir.path().size() - 1)), expected);
}

TEST(LogFiles, ListsAllOfAManyFileFolder)
{
    TempFolder dir;
    for (int i = 0; i < 300; ++i)
        test::writeFile(dir / ("log" + std::to_string(1000 + i) + ".txt"), "");
    const auto names = ListLogFiles(dir.path());
    ASSERT_EQ(names.size(), 300u);
    EXPECT_EQ(names.front(), "log1000.txt");
    EXPECT_EQ(names.back(), "log1299.txt");
}

TEST(LogFiles, UnreadableFolderIsEmptyOrAnError)
{
    TempFolder dir;
    EXPECT_TRUE(ListLogFiles(dir / "missing/").empty());
    try {
        ListLogFilesOrThrow(dir / "missing/");
        FAIL() << "a missing folder was listed";
    } catch (const QeltError& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.substr(0, message.find('\n')), "Cannot open folder " + dir / "missing/");
    }
    test::writeFile(dir / "log1.txt", "");
    EXPECT_THROW(ListLogFilesOrThrow(dir / "log1.txt/"), QeltError);

    // Readable but not searchable: the names show, the files cannot be looked at. No folder
    // without logs, but the reason; a link to where we may not look is only skipped.
    const std::string shut = dir / "shut/";
    ::mkdir(shut.c_str(), 0755);
    test::writeFile(shut + "log2.txt", "x");
    ::mkdir((dir / "locked").c_str(), 0700);
    test::writeFile(dir / "locked/log.txt", "x");
    ::symlink((dir / "locked/log.txt").c_str(), (dir / "log3.txt").c_str());
    ::chmod(shut.c_str(), 0644);
    ::chmod((dir / "locked").c_str(), 0);
    test::openToAll(dir);
    const std::string outcome = test::runAsNobody([&] {
        int error = 0;
        const auto names = ListLogFiles(shut, error);
        std::string result = std::to_string(names.size()) + ":" + std::strerror(error);
        try {
            ListLogFilesOrThrow(shut);
        } catch (const QeltError& e) {
            result += std::string(";") + e.what();
        }
        for (const auto& name : ListLogFiles(dir.path(), error))
            result += ";" + name;
        return result + ";" + std::to_string(error);
    });
    EXPECT_EQ(outcome,
              "0:Permission denied;Cannot open folder " + shut + "\nPermission denied;log1.txt;0");
    ::chmod(shut.c_str(), 0755);
}

} // namespace

TEST(RecentFolders, NewestFirstOnceEachAtMostEightOtherKeysKept)
{
    TempFolder app;
    WriteLogDir(app.path(), "/srv/logs");
    EXPECT_TRUE(ReadRecentFolders(app.path()).empty());
    for (int i = 1; i <= 10; ++i)
        AddRecentFolder(app.path(), "/logs/" + std::to_string(i));
    AddRecentFolder(app.path(), "/logs/5/");  // again, with its slash: moves to the front
    AddRecentFolder(app.path(), "/odd|name"); // cannot be kept in the list
    const std::vector<std::string> want{"/logs/5/", "/logs/10/", "/logs/9/", "/logs/8/",
                                        "/logs/7/", "/logs/6/",  "/logs/4/", "/logs/3/"};
    EXPECT_EQ(ReadRecentFolders(app.path()), want);
    EXPECT_EQ(ReadLoggerSettings(app.path(), {}).logDir, "/srv/logs/");

    WriteCodePage(app.path(), 866);
    EXPECT_EQ(ReadCodePage(app.path()), 866);
    EXPECT_EQ(ReadRecentFolders(app.path()), want);
}
