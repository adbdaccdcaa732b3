#include "common/QeltError.h"
#include "filters/StoreTestFiles.h"
#include "settings/IniFile.h"
#include "settings/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace qelt;
using qelt::test::TempFolder;

namespace {

struct ReadCase
{
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    std::optional<std::string> expected;
};

TEST(ProfileRead, FindsValuesByTheProfileRules)
{
    const ReadCase cases[] = {
        {"plain", "[Logger]\r\nWidth=800\r\n", "Logger", "Width", "800"},
        {"section case", "[lOGGER]\r\nWidth=1\r\n", "Logger", "Width", "1"},
        {"key case", "[Logger]\r\nwIDTH=2\r\n", "Logger", "Width", "2"},
        {"blanks around", "  [ Logger ]  \n  Width  =  3  \n", "Logger", "Width", "3"},
        {"backslashes raw", "[Logger]\nLogDir=C:\\logs\\n\\t\\\n", "Logger", "LogDir",
         std::string("C:\\logs\\n\\t\\")},
        {"quotes removed", "[Logger]\nLogDir=\" /a b/ \"\n", "Logger", "LogDir",
         std::string(" /a b/ ")},
        {"lone quote kept", "[Logger]\nLogDir=\"/a\n", "Logger", "LogDir", std::string("\"/a")},
        {"empty value", "[Logger]\nLogDir=\n", "Logger", "LogDir", std::string()},
        {"first key wins", "[Logger]\nWidth=1\nWidth=2\n", "Logger", "Width", "1"},
        {"first section wins", "[Logger]\nA=1\n[Logger]\nWidth=2\n", "Logger", "Width",
         std::nullopt},
        {"other section", "[Other]\nWidth=1\n[Logger]\nHeight=2\n", "Logger", "Width",
         std::nullopt},
        {"key before any section", "Width=1\n[Logger]\n", "Logger", "Width", std::nullopt},
        {"comment is no key", "[Logger]\n;Width=1\n", "Logger", "Width", std::nullopt},
        {"CR only line ends", "[Logger]\rWidth=5\rHeight=6\r", "Logger", "Height", "6"},
        {"no final line end", "[Logger]\r\nWidth=7", "Logger", "Width", "7"},
        {"utf-8 bom", "\xEF\xBB\xBF[Logger]\nWidth=8\n", "Logger", "Width", "8"},
        {"NUL ends the value", std::string("[Logger]\nWidth=9\0junk\n", 20), "Logger", "Width",
         "9"},
        {"unclosed section header", "[Logger\nWidth=1\n", "Logger", "Width", std::nullopt},
        {"binary junk", std::string("\x00\xff\xfe[\x01=\x02\n\n===\n[]\n", 15), "Logger", "Width",
         std::nullopt},
        {"empty file", "", "Logger", "Width", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FindProfileValue(c.content, c.section, c.key), c.expected) << c.name;
}

TEST(ProfileRead, NumbersAreDecimalOrHexAfterPrefix)
{
    const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
        {"708", 708},
        {"-5", -5},
        {"+5", 5},
        {" 12 ", 12},
        {"0x1F", 31},
        {"0X1f", 31},
        {"$ff", 255},
        {"-$10", -16},
        {"$FFFFFFFF", -1},
        {"0x80000000", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"0x100000000", std::nullopt},
        {"", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"12px", std::nullopt},
        {"1 2", std::nullopt},
        {"x10", std::nullopt},
        {"1e3", std::nullopt},
        {"ff", std::nullopt},
        {"--1", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ParseProfileInteger(text), expected) << '"' << text << '"';
}

TEST(ProfileRead, MissingOrGarbledFileFallsBackToDefaults)
{
    TempFolder dir;
    IniFile missing(dir / "config.ini");
    EXPECT_EQ(missing.ReadInteger("Logger", "Width", 708), 708);
    EXPECT_EQ(missing.ReadString("Logger", "LogDir", "x"), "x");

    test::writeFile(dir / "config.ini", "[Logger]\nWidth=wide\nHeight=$1C4\n");
    IniFile garbled(dir / "config.ini");
    EXPECT_EQ(garbled.ReadInteger("Logger", "Width", 708), 708);
    EXPECT_EQ(garbled.ReadInteger("Logger", "Height", 0), 452);

    ::mkdir((dir / "folder.ini").c_str(), 0755);
    IniFile folder(dir / "folder.ini");
    EXPECT_EQ(folder.ReadInteger("Logger", "Width", 11), 11);

    ::mkfifo((dir / "fifo.ini").c_str(), 0644);
    IniFile fifo(dir / "fifo.ini");
    EXPECT_EQ(fifo.ReadInteger("Logger", "Width", 12), 12);
}

struct WriteCase
{
    const char* name;
    std::string before;
    const char* key;
    const char* value;
    std::string after;
};

TEST(ProfileWrite, SetsOneKeyAndKeepsEveryOtherByte)
{
    const WriteCase cases[] = {
        {"new file", "", "Width", "708", "[Logger]\r\nWidth=708\r\n"},
        {"replace keeps comments and foreign lines",
         "; mine\n[Logger]\n  wIdTh = 1 \n# note\nLogDir=C:\\x\\\n[Other]\nWidth=3\n", "Width",
         "708", "; mine\n[Logger]\nWidth=708\n# note\nLogDir=C:\\x\\\n[Other]\nWidth=3\n"},
        {"replace last line without line end", "[Logger]\r\nWidth=1", "Width", "2",
         "[Logger]\r\nWidth=2\r\n"},
        {"append to section before blank lines", "[Logger]\r\nWidth=1\r\n\r\n[B]\r\nx=1\r\n",
         "Height", "452", "[Logger]\r\nWidth=1\r\nHeight=452\r\n\r\n[B]\r\nx=1\r\n"},
        {"append to last section without line end", "[logger]\nWidth=1", "Height", "2",
         "[logger]\nWidth=1\r\nHeight=2\r\n"},
        {"section added to other content", "[A]\nk=v\n", "Width", "1",
         "[A]\nk=v\n\r\n[Logger]\r\nWidth=1\r\n"},
        {"section added after unterminated line", "[A]\nk=v", "Width", "1",
         "[A]\nk=v\r\n\r\n[Logger]\r\nWidth=1\r\n"},
        {"only the first section is written", "[Logger]\nA=1\n[Logger]\nWidth=1\n", "Width", "2",
         "[Logger]\nA=1\nWidth=2\r\n[Logger]\nWidth=1\n"},
        {"backslashes written raw", "", "LogDir", "D:\\", "[Logger]\r\nLogDir=D:\\\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SetProfileValue(c.before, "Logger", c.key, c.value), c.after) << c.name;
}

TEST(ProfileWrite, WritesThroughTheFileAndReadsBack)
{
    TempFolder dir;
    const std::string path = dir / "config.ini";
    test::writeFile(path, "[Logger]\r\nLogDir=/srv/logs\r\n");
    ::chmod(path.c_str(), 0640);
    IniFile ini(path);
    ini.WriteInteger("Logger", "Width", -3);
    ini.WriteString("logger", "LOGDIR", "/var/log/");
    EXPECT_EQ(test::readFile(path), "[Logger]\r\nLOGDIR=/var/log/\r\nWidth=-3\r\n");
    EXPECT_EQ(ini.ReadInteger("Logger", "width", 0), -3);
    struct stat st
    {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "the file keeps its permissions";
}

TEST(ProfileWrite, FailureIsReportedAndLeavesTheFileAlone)
{
    TempFolder dir;
    const std::string missingFolder = dir / "no/such/config.ini";
    IniFile nowhere(missingFolder);
    try {
        nowhere.WriteString("Logger", "Width", "1");
        FAIL() << "writing into a missing folder succeeded";
    } catch (const QeltError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + missingFolder);
    }

    const std::string path = dir / "config.ini";
    test::writeFile(path, "[Logger]\r\nWidth=1\r\n");
    IniFile ini(path);
    EXPECT_THROW(ini.WriteString("Logger", "LogDir", "/a\nWidth=9"), QeltError);
    EXPECT_EQ(test::readFile(path), "[Logger]\r\nWidth=1\r\n");

    // A read-only file in a writable folder is not replaced behind its back.
    test::openToAll(dir);
    ::chmod(path.c_str(), 0444);
    const std::string outcome = test::runAsNobody([&] {
        try {
            IniFile(path).WriteString("Logger", "Width", "2");
        } catch (const QeltError& e) {
            return std::string(e.what());
        }
        return std::string("written");
    });
    EXPECT_EQ(outcome, "Unable to write to " + path);
    EXPECT_EQ(test::readFile(path), "[Logger]\r\nWidth=1\r\n");
}

} // namespace
