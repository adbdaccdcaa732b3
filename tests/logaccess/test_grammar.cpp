#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace qelt;
using namespace std::string_view_literals;

namespace {

const std::string ExampleLine = "10.0.0.5 - alice [07/Dec/2026:03:44:43 +0800] \"GET "
                                "http://dl1.example.com/files/setup.zip HTTP/1.1\" \"HTTP\"";

std::string line(const std::string& request, const std::string& type,
                 const std::string& user = "alice")
{
    return "10.0.0.5 - " + user + " [07/Dec/2026:03:44:43 +0800] \"" + request + "\" \"" + type +
           "\"";
}

} // namespace

TEST(TextPrimitives, CutsAtFirstMarkerAndTreatEmptyAsAbsent)
{
    struct Case
    {
        std::string_view text, marker;
        std::string_view before, through, dropped;
    };
    const Case cases[] = {
        {"a - b - c", " - ", "a", "a - ", "b - c"},
        {"abc", "x", "", "", "abc"},        // one-byte marker absent: nothing dropped
        {"abcdef", "] ", "", "", "bcdef"},  // absent: length - 1 bytes dropped
        {"abcdef", "] \"", "", "", "cdef"}, // absent: two dropped
        {"abcdef", "Host:", "", "", "ef"},  // absent: four dropped
        {"abc", "", "", "", "abc"},         // empty marker is absent, drops nothing
        {"", "x", "", "", ""},
        {"ab", "Host:", "", "", ""}, // shorter than the drop
        {"xx", "xx", "", "xx", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + std::string(c.marker));
        EXPECT_EQ(TakeBefore(c.text, c.marker), c.before);
        EXPECT_EQ(TakeThrough(c.text, c.marker), c.through);
        EXPECT_EQ(DropThrough(c.text, c.marker), c.dropped);
    }
    EXPECT_EQ(DropFirst("abcdef", 9), "");
    EXPECT_EQ(DropFirst("abcdefghij", 9), "j");
    EXPECT_EQ(DropFirst("abc", 0), "abc");
}

TEST(TextPrimitives, ContainsNoCaseFoldsOnlyAsciiLetters)
{
    struct Case
    {
        std::string_view text, token;
        bool found;
    };
    const Case cases[] = {
        {"x \"http\" y", "\"HTTP\"", true},
        {"x \"HtTpS\" y", "\"HTTPS\"", true},
        {"abc", "ABCD", false},
        {"", "A", false},
        {"abc", "", false},
        {"na\xe4me", "NA\xc4ME", false}, // bytes above 127 are not letters here
        {"na\xe4me", "NA\xe4ME", true},
        {"a.ZiP", ".zip", true},
        {"[x]", "[X]", true},
        {"@", "`", false}, // '@' and '`' differ by the case bit but are not letters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + std::string(c.token));
        EXPECT_EQ(ContainsNoCase(c.text, c.token), c.found);
    }
}

TEST(TextPrimitives, FindConnectionTypeAgreesWithTableOrderSearch)
{
    // The one-pass search must give what searching each token in table order gives.
    const std::vector<std::string> pieces = {
        "\"",      "\"HTTP\"",   "\"https\"", "\"FtP\"", "\"POP3\"", "\"smtp\"",
        "\"MAP\"", "\"SOCKS5\"", "HTTP",      "S",       "\"\"",     "x",
        " ",       "\"HTTP",     "SOCKS",     "5\"",     "P3\""};
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> count(0, 8);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int n = count(random); n > 0; --n)
            text += pieces[pick(random)];
        int expected = -1;
        for (std::size_t k = 0; k < ConnectionTypeTable.size(); ++k) {
            if (ContainsNoCase(text, ConnectionTypeTable[k].token)) {
                expected = static_cast<int>(k);
                break;
            }
        }
        ASSERT_EQ(FindConnectionType(text), expected) << text;
    }
}

TEST(IndexFields, WorkedExamples)
{
    struct Case
    {
        std::string line;
        bool qualifies;
        std::string user;
        int kind; // -1: none
        std::string host;
    };
    const Case cases[] = {
        {ExampleLine, true, "alice", 1, "dl1.example.com"},
        {line("CONNECT secure.example.com:443 HTTP/1.0", "HTTPS"), true, "alice", 0,
         "secure.example.com"},
        // HTTP with CONNECT and no http://
        {line("CONNECT web.example.com:80 HTTP/1.0", "HTTP"), true, "alice", 1, "web.example.com"},
        // both tokens anywhere: table order decides
        {line("GET http://a.example/ HTTP/1.1", "HTTP") + " \"https\"", true, "alice", 0, ""},
        // lower-case token matches
        {line("GET http://a.example/x HTTP/1.1", "http"), true, "alice", 1, "a.example"},
        // capital HTTP:// and no CONNECT: kind 1, empty host
        {line("GET HTTP://A.EXAMPLE/x HTTP/1.1", "HTTP"), true, "alice", 1, ""},
        // an http:// after the token takes precedence over CONNECT
        {line("CONNECT c.example:443 HTTP/1.0", "HTTP") + " http://late.example/", true, "alice", 1,
         "late.example"},
        // web rule keeps the port
        {line("GET http://dl1.example.com:8080/x HTTP/1.1", "HTTP"), true, "alice", 1,
         "dl1.example.com:8080"},
        // no '/' after the host: cut at the version's '/'
        {line("GET http://bare.example HTTP/1.1", "HTTP"), true, "alice", 1, "bare.example HTTP"},
        {line("RETR ftp://bob@files.example.org/pub/a.iso", "FTP"), true, "alice", 3,
         "files.example.org/pub/a.iso"},
        // FTP without '@': text after "] " begins with the quote, so the cut is empty
        {line("RETR /pub/a.iso", "FTP"), true, "alice", 3, ""},
        {line("RETR Host:mail.example.com-User:carol", "POP3"), true, "alice", 4,
         "mail.example.com"},
        {line("SEND Host:smtp.example.com-User:carol", "SMTP"), true, "alice", 4,
         "smtp.example.com"},
        // no "Host:": four bytes lost before the cut at "-User"
        {"x - u [d] mail.example-User \"POP3\"", true, "u", 4, ".example"},
        {line("RETR Host:mail.example.com", "POP3"), true, "alice", 4, ""},
        {line("CONNECT map.example.net:8443 HTTP/1.0", "MAP"), true, "alice", 5, "map.example.net"},
        {line("CONNECT s5.example.net:1080 HTTP/1.0", "SOCKS5"), true, "alice", 6,
         "s5.example.net"},
        {"no dash here [x] \"GET http://a/ HTTP/1.1\" \"HTTP\"", false, "", -1, ""},
        {"x -  [d] \"GET http://a/ HTTP/1.1\" \"HTTP\"", true, "", 1, "a"},   // " [" right after
        {"x - nobody \"GET http://a/ HTTP/1.1\" \"HTTP\"", true, "", 1, "a"}, // no " ["
        {"x - u [d] \"GET http://a/ HTTP/1.1\" \"XYZ\"", true, "u", -1, ""},
        // no "] ": one byte dropped and the search goes on
        {"x - u [d \"CONNECT h.example:1 HTTP/1.0\" \"HTTPS\"", true, "u", 0, "ECT h.example"},
        {"", false, "", -1, ""},
        {"-", false, "", -1, ""},
        {"a - user name [d] \"GET http://h/ HTTP/1.1\" \"HTTP\"", true, "user name", 1, "h"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const IndexFields f = ExtractIndexFields(c.line);
        EXPECT_EQ(f.qualifies, c.qualifies);
        EXPECT_EQ(f.user, c.user);
        EXPECT_EQ(f.hasKind ? int(f.kind) : -1, c.kind);
        EXPECT_EQ(f.host, c.host);
    }
}

TEST(IndexFields, OnePassScanAgreesWithThePlainCutsOnRandomTexts)
{
    // Line by line through random texts (markers, tokens, line ends, NULs, long lines, lines across
    // the 64-byte blocks of the scan), each text in a buffer of its exact size, so that a read
    // past its end shows under the address sanitizer.
    const std::vector<std::string> pieces = {" - ",
                                             " ",
                                             "-",
                                             "[",
                                             "]",
                                             "] ",
                                             " [",
                                             "\"",
                                             "\"HTTP\"",
                                             "\"https\"",
                                             "\"FTP\"",
                                             "\"PoP3\"",
                                             "\"SMTP\"",
                                             "\"MAP\"",
                                             "\"SOCKS5\"",
                                             "http://",
                                             "CONNECT ",
                                             ":",
                                             "/",
                                             "@",
                                             "Host:",
                                             "-User",
                                             "alice",
                                             "x",
                                             "\n",
                                             "\r\n",
                                             "\r",
                                             std::string(1, '\0'),
                                             "\xE9",
                                             std::string(70, 'a'),
                                             std::string(300, '-'),
                                             ExampleLine + "\n"};
    std::mt19937 random(11);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> count(0, 40);
    for (int round = 0; round < 4000; ++round) {
        std::string built;
        for (int n = count(random); n > 0; --n)
            built += pieces[pick(random)];
        const std::unique_ptr<char[]> bytes(new char[built.size() + 1]);
        char* const text = bytes.get() + 1; // not aligned to the blocks
        std::memcpy(text, built.data(), built.size());
        const char* const end = text + built.size();
        for (const char* p = text; p < end;) {
            const char* lineEnd = FindLineEndOrNul(p, end);
            const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
            const IndexFields plain = ExtractIndexFields(line);
            for (const ScanInstructions widest :
                 {ScanInstructions::Plain, ScanInstructions::Sse2, ScanInstructions::Avx2,
                  ScanInstructions::Avx512}) {
                const IndexLine scanned = ScanIndexLine(widest, p, end);
                ASSERT_EQ(scanned.end, lineEnd) << built;
                ASSERT_EQ(scanned.fields.qualifies, plain.qualifies) << line;
                ASSERT_EQ(scanned.fields.user.data(), plain.user.data()) << line;
                ASSERT_EQ(scanned.fields.user.size(), plain.user.size()) << line;
                ASSERT_EQ(scanned.fields.hasKind, plain.hasKind) << line;
                ASSERT_EQ(scanned.fields.kind, plain.kind) << line;
                ASSERT_EQ(scanned.fields.host.data(), plain.host.data()) << line;
                ASSERT_EQ(scanned.fields.host.size(), plain.host.size()) << line;
            }
            p = lineEnd + TerminatorLength(lineEnd, end);
        }
    }
}

TEST(RecordFields, DateLabelUrlAndIcon)
{
    struct Case
    {
        std::string line;
        std::string date, label, rawUrl, displayUrl;
        int icon;
    };
    const Case cases[] = {
        {ExampleLine, "07/Dec/2026:03:44:43", "GET \"HTTP\"",
         "http://dl1.example.com/files/setup.zip HTTP/1.1\"",
         "http://dl1.example.com/files/setup.zip", 8},
        {line("CONNECT secure.example.com:443 HTTP/1.0", "HTTPS"), "07/Dec/2026:03:44:43",
         "CONNECT \"HTTPS\"", "secure.example.com:443 HTTP/1.0\"", "secure.example.com:443", 7},
        // no '+': empty date; no token: empty label and URL
        {"x - u [d] \"GET /a\" \"nothing\"", "", "", "", "", 7},
        // a '+' early in the line gives a short date (p - 2 bytes from after '[')
        {"ab+c - u [07/Dec/2026:03:44:43 +0800] \"GET /x HTTP/1.1\" \"HTTP\"", "0", "GET \"HTTP\"",
         "/x HTTP/1.1\"", "/x", 7},
        // no '[': the date starts at the line's first byte
        {"12345678901234567890123+", "12345678901234567890", "", "", "", 7},
        // a long method with SOCKS5 is cut to 17
        {line("VERYLONGMETHOD h:1 HTTP/1.0", "SOCKS5"), "07/Dec/2026:03:44:43",
         "VERYLONGMETHOD \"S", "h:1 HTTP/1.0\"", "h:1", 7},
        // no space after the request's quote: the label is the token alone
        {"x - u [07/Dec/2026:03:44:43 +0800] \"GET\"FTP\"", "07/Dec/2026:03:44:43", "\"FTP\"",
         "GET\"", "GET\"", 7},
        {line("GET http://h/Doc.PdF?x=a.zip HTTP/1.1", "HTTP"), "07/Dec/2026:03:44:43",
         "GET \"HTTP\"", "http://h/Doc.PdF?x=a.zip HTTP/1.1\"", "http://h/Doc.PdF?x=a.zip", 9},
        {line("GET http://h/a.zipper/ HTTP/1.1", "HTTP"), "07/Dec/2026:03:44:43", "GET \"HTTP\"",
         "http://h/a.zipper/ HTTP/1.1\"", "http://h/a.zipper/", 8},
        // version followed by more text: display URL unchanged
        {line("GET http://h/ HTTP/1.1 extra", "HTTP"), "07/Dec/2026:03:44:43", "GET \"HTTP\"",
         "http://h/ HTTP/1.1 extra\"", "http://h/ HTTP/1.1 extra\"", 7},
        // an earlier HTTP/1. inside the target: unchanged
        {line("GET http://h/HTTP/1.0/x HTTP/1.1", "HTTP"), "07/Dec/2026:03:44:43", "GET \"HTTP\"",
         "http://h/HTTP/1.0/x HTTP/1.1\"", "http://h/HTTP/1.0/x HTTP/1.1\"", 7},
        {"", "", "", "", "", 7},
        {"+", "", "", "", "", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const RecordFields f = ExtractRecordFields(c.line);
        EXPECT_EQ(f.date, c.date);
        EXPECT_EQ(f.label().view(), c.label);
        EXPECT_EQ(f.rawUrl, c.rawUrl);
        EXPECT_EQ(StripHttpVersion(f.rawUrl), c.displayUrl);
        EXPECT_EQ(FileKindIcon(f.rawUrl), c.icon);
    }
}

TEST(RecordFields, StripHttpVersionNeedsExactlyTwoBytesAfterVersion)
{
    struct Case
    {
        std::string_view raw, display;
    };
    const Case cases[] = {
        {"a HTTP/1.1\"", "a"},
        {" HTTP/1.1\"", ""},
        {"HTTP/1.1\"", ""}, // nothing before the version: everything goes, no underflow
        {"a HTTP/1.1", "a HTTP/1.1"},
        {"a http/1.1\"", "a http/1.1\""},
        {"", ""},
        {"xxxxxxxxxxxxxxxx", "xxxxxxxxxxxxxxxx"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StripHttpVersion(c.raw), c.display) << c.raw;
}

TEST(ShortTextField, KeepsFirstBytesOnly)
{
    LabelText label;
    label.append("0123456789");
    label.append("abcdefghij");
    EXPECT_EQ(label.view(), "0123456789abcdefg");
    label.append("more");
    EXPECT_EQ(label.view().size(), LabelCapacity);
}
