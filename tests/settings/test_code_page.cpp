#include "settings/CodePage.h"

#include <gtest/gtest.h>

using namespace qelt;

namespace {

TEST(CodePage, Utf8Validation)
{
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xD0\x9F\xD1\x80\xD0\xB8", true},  // Cyrillic
        {"\xF0\x9F\x98\x80", true},          // U+1F600
        {"\xF4\x8F\xBF\xBF", true},          // U+10FFFF
        {"\xC0\xAF", false},                 // overlong '/'
        {"\xE0\x80\xAF", false},             // overlong
        {"\xED\xA0\x80", false},             // surrogate
        {"\xF4\x90\x80\x80", false},         // above U+10FFFF
        {"\xD0", false},                     // truncated
        {"\xCF\xF0\xE8\xE2\xE5\xF2", false}, // 1251 bytes
        {"\x80", false},                     // lone continuation
        {std::string("a\0b", 3), true},
    };
    for (const auto& [bytes, valid] : cases)
        EXPECT_EQ(IsValidUtf8(bytes), valid) << testing::PrintToString(bytes);
}

TEST(CodePage, DecodesEachPage)
{
    struct Case
    {
        CodePageId page;
        std::string bytes;
        std::string utf8;
    };
    const Case cases[] = {
        {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
        {1251, "\x88", "€"},
        {1250, "\x8A\xE8", "Šč"},
        {1252, "caf\xE9 \x80", "café €"},
        {1253, "\xE1\xE2", "αβ"},
        {1254, "\xD0\xFE", "Ğş"},
        {1255, "\xF9\xE0", "שא"},
        {1256, "\xC7", "ا"},
        {1257, "\xC0", "Ą"},
        {1258, "\xD5\xFE", "Ơ₫"},
        {866, "\x8F\xE0\xA8", "При"},
        {437, "\x82\xB0", "é░"},
        {28591, "\xE9\x85", "é\xC2\x85"},
        {65001,
         "a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},
        {65001, "\xD0\x9F\xD0", "П\xEF\xBF\xBD"},
        {9999, "\xE9", "é"},     // unknown pages decode as 1252
        {1251, "\xD0\x9F", "П"}, // valid UTF-8 is taken as UTF-8 whatever the page
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeForDisplay(c.bytes, c.page), c.utf8) << c.page << ' ' << c.utf8;
}

TEST(CodePage, UndefinedBytesShowAsReplacementAndCannotBeEncoded)
{
    EXPECT_EQ(DecodeForDisplay("\x98", 1251), "\xEF\xBF\xBD");
    EXPECT_EQ(DecodeForDisplay("\x81\x8D", 1252), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(EncodeFromUtf8("\xEF\xBF\xBD", 1251), std::nullopt);
}

TEST(CodePage, EveryDefinedByteRoundTrips)
{
    for (const CodePageId page :
         {1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 866, 437, 28591}) {
        ASSERT_TRUE(IsSupportedCodePage(page));
        int defined = 0;
        for (int b = 0; b < 256; ++b) {
            const std::string byte(1, static_cast<char>(b));
            // Decode the byte alone through the page (valid UTF-8 bytes pass through untouched,
            // so force the table by pairing them with a byte that is never valid UTF-8).
            const std::string shown = DecodeForDisplay(byte + "\xFF", page);
            const std::string tail = DecodeForDisplay("\xFF", page);
            const std::string text = shown.substr(0, shown.size() - tail.size());
            if (text == "\xEF\xBF\xBD")
                continue;
            ++defined;
            EXPECT_EQ(EncodeFromUtf8(text, page), byte) << page << " byte " << b;
        }
        EXPECT_GT(defined, 200) << page;
    }
    EXPECT_FALSE(IsSupportedCodePage(932));
    EXPECT_TRUE(IsSupportedCodePage(65001));
}

TEST(CodePage, EncodingRefusesWhatThePageCannotHold)
{
    EXPECT_EQ(EncodeFromUtf8("Привет", 1251), std::string("\xCF\xF0\xE8\xE2\xE5\xF2"));
    EXPECT_EQ(EncodeFromUtf8("Привет", 1252), std::nullopt);
    EXPECT_EQ(EncodeFromUtf8("日本", 1251), std::nullopt);
    EXPECT_EQ(EncodeFromUtf8("😀", 437), std::nullopt);
    EXPECT_EQ(EncodeFromUtf8("ố", 1258), std::nullopt); // precomposed: no single byte
    EXPECT_EQ(EncodeFromUtf8("ascii only", 866), std::string("ascii only"));
    EXPECT_EQ(EncodeFromUtf8("日本", 65001), std::string("日本"));
    EXPECT_EQ(EncodeFromUtf8("\xFF", 65001), std::nullopt);
    EXPECT_EQ(EncodeFromUtf8("\xE9", 1252), std::nullopt); // not UTF-8 input
    EXPECT_EQ(EncodeFromUtf8("", 1251), std::string());
}

} // namespace
