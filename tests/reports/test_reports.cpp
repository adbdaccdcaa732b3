#include "logaccess/LogGrammar.h"
#include "logaccess/LogStats.h"
#include "reports/HtmlReport.h"
#include "reports/NdjsonExport.h"
#include "reports/TextOutput.h"
#include "settings/CodePage.h"
#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace qelt;
using qelt::test::runProgram;
using qelt::test::TempFolder;

namespace {

// ---- Small readers written from the formats' rules, independent of the writers.

// RFC 4180: records end with CR LF; a field in double quotes may hold commas, CR, LF and
// doubled quotes.
std::vector<std::vector<std::string>> parseCsv(const std::string& text)
{
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    std::size_t i = 0;
    bool fieldStarted = false;
    while (i < text.size()) {
        const char c = text[i];
        if (!fieldStarted && c == '"') {
            ++i;
            for (;;) {
                if (i >= text.size())
                    throw std::runtime_error("unterminated quoted field");
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += text[i++];
            }
            fieldStarted = true;
            if (i < text.size() && text[i] != ',' && text[i] != '\r')
                throw std::runtime_error("text after a quoted field");
        } else if (c == ',') {
            record.push_back(field);
            field.clear();
            fieldStarted = false;
            ++i;
        } else if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n')
                throw std::runtime_error("CR without LF");
            record.push_back(field);
            records.push_back(record);
            record.clear();
            field.clear();
            fieldStarted = false;
            i += 2;
        } else {
            if (c == '"' || c == '\n')
                throw std::runtime_error("quote or LF in an unquoted field");
            field += c;
            fieldStarted = true;
            ++i;
        }
    }
    if (fieldStarted || !record.empty())
        throw std::runtime_error("last record without CR LF");
    return records;
}

void appendUtf8(std::string& out, unsigned c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One flat JSON object: string values, null, and arrays of strings (joined with ',').
using JsonObject = std::map<std::string, std::optional<std::string>>;

JsonObject parseJsonObject(const std::string& text)
{
    std::size_t i = 0;
    const auto expect = [&](char c) {
        if (i >= text.size() || text[i] != c)
            throw std::runtime_error(std::string("expected ") + c + " at " + std::to_string(i));
        ++i;
    };
    const auto string = [&] {
        expect('"');
        std::string out;
        for (;;) {
            if (i >= text.size())
                throw std::runtime_error("unterminated string");
            const auto c = static_cast<unsigned char>(text[i++]);
            if (c == '"')
                return out;
            if (c < 0x20)
                throw std::runtime_error("raw control byte in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const char e = text.at(i++);
            const std::string simple = "\"\\/bfnrt";
            const std::string meant = "\"\\/\b\f\n\r\t";
            if (simple.find(e) != std::string::npos) {
                out += meant[simple.find(e)];
            } else if (e == 'u') {
                appendUtf8(out, static_cast<unsigned>(std::stoul(text.substr(i, 4), nullptr, 16)));
                i += 4;
            } else {
                throw std::runtime_error("bad escape");
            }
        }
    };
    JsonObject object;
    expect('{');
    while (true) {
        const std::string key = string();
        expect(':');
        if (text.compare(i, 4, "null") == 0) {
            object[key] = std::nullopt;
            i += 4;
        } else if (text[i] == '[') {
            ++i;
            std::string joined;
            while (text[i] != ']') {
                if (!joined.empty())
                    expect(',');
                joined += (joined.empty() ? "" : ",") + string();
            }
            ++i;
            object[key] = joined;
        } else {
            object[key] = string();
        }
        if (text[i] == '}')
            break;
        expect(',');
    }
    expect('}');
    if (i != text.size())
        throw std::runtime_error("text after the object");
    return object;
}

// The original bytes of a text field that was written escaped: \xNN is the byte, the rest is
// text of the code page.
std::string unescape(const std::string& utf8, CodePageId codePage)
{
    std::string bytes;
    std::string run;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\\' && i + 3 < utf8.size() && utf8[i + 1] == 'x') {
            bytes += EncodeFromUtf8(run, codePage).value();
            run.clear();
            bytes += static_cast<char>(std::stoi(utf8.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            run += utf8[i];
        }
    }
    return bytes + EncodeFromUtf8(run, codePage).value();
}

// Checks that text is well-formed XML (one root, tags nested and closed, attributes quoted,
// only the five predefined entities and character references); throws what is wrong.
void checkWellFormed(const std::string& text)
{
    std::vector<std::string> open;
    bool rootSeen = false;
    std::size_t i = 0;
    const auto name = [&] {
        const std::size_t start = i;
        while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) ||
                                   text[i] == '-' || text[i] == ':' || text[i] == '_'))
            ++i;
        if (i == start)
            throw std::runtime_error("name expected at " + std::to_string(start));
        return text.substr(start, i - start);
    };
    const auto spaces = [&] {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
    };
    const auto entity = [&] {
        const std::size_t end = text.find(';', i);
        const std::string ref = text.substr(i, end - i + 1);
        if (ref != "&amp;" && ref != "&lt;" && ref != "&gt;" && ref != "&quot;" &&
            ref != "&apos;" && ref.rfind("&#", 0) != 0)
            throw std::runtime_error("unknown entity " + ref);
        i = end + 1;
    };
    while (i < text.size()) {
        if (text[i] != '<') {
            if (open.empty() && !std::isspace(static_cast<unsigned char>(text[i])))
                throw std::runtime_error("text outside the root");
            if (text[i] == '&')
                entity();
            else if (text[i] == '>')
                throw std::runtime_error("stray > at " + std::to_string(i));
            else
                ++i;
            continue;
        }
        if (text.compare(i, 9, "<!DOCTYPE") == 0) {
            i = text.find('>', i) + 1;
            continue;
        }
        if (text.compare(i, 2, "</") == 0) {
            i += 2;
            const std::string closing = name();
            spaces();
            if (open.empty() || open.back() != closing)
                throw std::runtime_error("</" + closing + "> closes nothing open");
            open.pop_back();
            if (text[i++] != '>')
                throw std::runtime_error("> expected");
            continue;
        }
        ++i;
        const std::string tag = name();
        if (open.empty() && rootSeen)
            throw std::runtime_error("a second root");
        rootSeen = true;
        for (;;) {
            spaces();
            if (text.compare(i, 2, "/>") == 0) {
                i += 2;
                break;
            }
            if (text[i] == '>') {
                ++i;
                open.push_back(tag);
                break;
            }
            name();
            spaces();
            if (text[i++] != '=')
                throw std::runtime_error("= expected in <" + tag);
            spaces();
            const char quote = text[i++];
            if (quote != '"' && quote != '\'')
                throw std::runtime_error("unquoted attribute in <" + tag);
            while (text[i] != quote) {
                if (text[i] == '<')
                    throw std::runtime_error("< in an attribute");
                if (text[i] == '&')
                    entity();
                else
                    ++i;
            }
            ++i;
        }
    }
    if (!open.empty())
        throw std::runtime_error("<" + open.back() + "> is never closed");
}

// Log lines with bytes of every sort in user, host and URL: Cyrillic in code page 1251, UTF-8,
// a byte 1251 leaves undefined (0x98), backslashes, quotes, commas, control bytes.
std::string awkwardLog(unsigned seed, int lines)
{
    std::mt19937 random(seed);
    const std::string users[] = {"alice",
                                 "\xE8\xE2\xE0\xED",
                                 "CORP\\bob",
                                 "\xD0\xBF\xD0\xB5\xD1\x82\xD1\x8F",
                                 "od\x98"
                                 "d",
                                 "tab\x01user"};
    const std::string hosts[] = {"a.example", "\xEF\xF0\xE8\xEC\xE5\xF0.\xF0\xF4", "q\"x.org",
                                 "c,d.net", "b\x98.com"};
    std::string text;
    for (int i = 0; i < lines; ++i) {
        const std::string& user = users[random() % 6];
        const std::string& host = hosts[random() % 5];
        const std::string path = random() % 3 ? "/p?a=1,b=\"2\"" : "/\xE4\xEE\xEA\\x";
        std::string line = "10.1.1." + std::to_string(i % 7) + " - " + user + " [0" +
                           std::to_string(1 + i % 9) + "/Dec/2026:1" + std::to_string(i % 10) +
                           ":05:06 +0300] \"GET http://" + host + path +
                           " HTTP/1.1\" \"HTTP\" 200 " + std::to_string(i);
        if (i % 17 == 0)
            line = "no separator here";
        if (i % 23 == 0)
            line = "10.0.0.1 - [07/Dec/2026:00:00:00 -0500] \"GET http://x/ HTTP/1.1\" \"HTTP\"";
        text += line + "\r\n";
    }
    return text;
}

} // namespace

TEST(CsvExport, NodeRowsReadBackAsTheListDecodesThem)
{
    TempFolder folder;
    const std::string log = folder / "log.txt";
    std::ofstream(log, std::ios::binary) << awkwardLog(1, 400);
    for (const std::string& user : {std::string("\xE8\xE2\xE0\xED"), std::string("CORP\\bob")}) {
        const auto csv =
            runProgram(QELTLOG_PATH, {"--app-dir", folder.path(), "export-csv", log, user});
        ASSERT_EQ(csv.status, 0) << csv.err;
        const auto records = parseCsv(csv.out);
        const auto tsv = runProgram(QELTLOG_PATH, {"--format", "tsv", "list", log, user});
        std::vector<std::string> rows;
        for (std::size_t at = 0; at < tsv.out.size();) {
            const std::size_t end = tsv.out.find('\n', at);
            rows.push_back(tsv.out.substr(at, end - at));
            at = end + 1;
        }
        ASSERT_EQ(records.size(), rows.size() + 1);
        ASSERT_GT(rows.size(), 20u);
        EXPECT_EQ(records[0], (std::vector<std::string>{"Date", "Connection Type", "URL"}));
        for (std::size_t r = 0; r < rows.size(); ++r) {
            // The list's url column, unescaped from tsv, decoded as the window decodes it.
            std::string url = rows[r].substr(rows[r].find('\t', rows[r].find('\t') + 1) + 1);
            url = url.substr(0, url.rfind('\t'));
            std::string bytes;
            for (std::size_t k = 0; k < url.size(); ++k) {
                if (url[k] == '\\') {
                    bytes += static_cast<char>(std::stoi(url.substr(k + 2, 2), nullptr, 16));
                    k += 3;
                } else {
                    bytes += url[k];
                }
            }
            ASSERT_EQ(records[r + 1].size(), 3u);
            EXPECT_EQ(records[r + 1][2], DecodeForDisplay(bytes, 1251)) << r;
            EXPECT_EQ(records[r + 1][1], "GET \"HTTP\"");
        }
    }
}

TEST(NdjsonExport, EveryCountedLineReadsBackWithItsBytes)
{
    TempFolder folder;
    const std::string log = folder / "log.txt";
    const std::string text = awkwardLog(2, 3000);
    std::ofstream(log, std::ios::binary) << text;
    const auto run =
        runProgram(QELTLOG_PATH, {"--app-dir", folder.path(), "export", "--format", "ndjson", log});
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<std::string> counted;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        const std::string line = text.substr(at, end - at);
        const IndexFields f = ExtractIndexFields(line);
        if (f.qualifies && !f.user.empty())
            counted.push_back(line);
        at = end + 2;
    }
    std::size_t n = 0;
    std::size_t escapedSeen = 0;
    for (std::size_t at = 0; at < run.out.size(); ++n) {
        const std::size_t end = run.out.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        ASSERT_LT(n, counted.size());
        const std::string& line = counted[n];
        JsonObject object;
        ASSERT_NO_THROW(object = parseJsonObject(run.out.substr(at, end - at)))
            << run.out.substr(at, end - at);
        at = end + 1;
        const IndexFields f = ExtractIndexFields(line);
        const RecordFields r = ExtractRecordFields(line);
        const std::string escaped = object["escaped"].value_or("");
        // Every text gives back the bytes of the line: as UTF-8, encoded again, or unescaped.
        const auto same = [&](const std::string& key, std::string_view original) {
            const std::string value = object.at(key).value();
            if (("," + escaped + ",").find("," + key + ",") != std::string::npos) {
                ++escapedSeen;
                EXPECT_EQ(unescape(value, 1251), original) << key << " of " << line;
            } else if (IsValidUtf8(original)) {
                EXPECT_EQ(value, original) << key;
            } else {
                EXPECT_EQ(EncodeFromUtf8(value, 1251).value_or("?"), original) << key;
            }
        };
        same("user", f.user);
        same("host", f.host);
        same("url", StripHttpVersion(r.rawUrl));
        same("label", r.label().view());
        EXPECT_EQ(object.at("kind").value(), "HTTP");
        EXPECT_EQ(object.at("client").value(), std::string(TakeBefore(line, " - ")));
        const std::string time = object.at("time").value();
        EXPECT_EQ(time.substr(0, 11), "2026-12-0" + std::string(1, r.date[1]) + "T");
        EXPECT_EQ(time.substr(19), line.find("-0500") != std::string::npos ? "-05:00" : "+03:00");
    }
    EXPECT_EQ(n, counted.size());
    EXPECT_GT(escapedSeen, 100u);
}

// A log of several chunks, made on every core, gives the objects of its lines in order, each as
// the line alone gives it; the last line, with no bytes after it, too.
TEST(NdjsonExport, ChunksGiveTheObjectsOfTheirLinesInOrder)
{
    TempFolder folder;
    const std::string log = folder / "log.txt";
    std::string text;
    while (text.size() < (20u << 20))
        text += awkwardLog(static_cast<unsigned>(text.size()), 5000);
    text += "10.0.0.9 - last [07/Dec/2026:00:00:00 +0300] \"GET http://e/\" \"HTTP\" \\";
    std::ofstream(log, std::ios::binary) << text;
    const auto run =
        runProgram(QELTLOG_PATH, {"--app-dir", folder.path(), "export", "--format", "ndjson", log});
    ASSERT_EQ(run.status, 0) << run.err;

    std::string expected;
    std::size_t objects = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        objects += AppendNdjsonLine(expected, std::string_view(text).substr(at, end - at), 1251);
        at = end + 2;
    }
    EXPECT_GT(objects, 150000u);
    EXPECT_EQ(run.out.size(), expected.size());
    EXPECT_TRUE(run.out == expected);
    EXPECT_EQ(run.out.substr(run.out.rfind("{")),
              "{\"time\":\"2026-12-07T00:00:00+03:00\",\"user\":\"last\",\"host\":\"e\","
              "\"kind\":\"HTTP\",\"label\":\"GET \\\"HTTP\\\"\",\"url\":\"http://e/\\\"\","
              "\"client\":\"10.0.0.9\",\"rest\":\"\\\\\"}\n");
}

TEST(HtmlReport, WellFormedSelfContainedWithTheNumbers)
{
    TempFolder folder;
    const std::string log = folder / "log.txt";
    const std::string text = awkwardLog(3, 2000);
    std::ofstream(log, std::ios::binary) << text;
    const std::string out = folder / "report.html";
    const auto run = runProgram(QELTLOG_PATH, {"report", "--html", out, log});
    ASSERT_EQ(run.status, 0) << run.err;
    std::ifstream in(out, std::ios::binary);
    const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_NO_THROW(checkWellFormed(html));
    EXPECT_TRUE(IsValidUtf8(html));
    for (const char* outside : {"src=", "href=", "url(", "<script", "<link", "@import"})
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;

    const LogStats stats = ComputeLogStats(text);
    std::size_t charts = 0;
    for (std::size_t at = html.find("<svg"); at != std::string::npos;
         at = html.find("<svg", at + 1))
        ++charts;
    EXPECT_EQ(charts, 3u);
    // Every user in its row with its numbers, decoded as the window shows it.
    for (const UserStats& user : stats.users) {
        std::string name;
        AppendHtmlText(name, DecodeForDisplay(user.name, 1251));
        const std::string row = "<tr><td>" + name + "</td><td class=\"n\">" +
                                std::to_string(user.requests) + "</td><td class=\"n\">" +
                                std::to_string(user.hostCount) + "</td>";
        EXPECT_NE(html.find(row), std::string::npos) << row;
    }
    // Hour bars carry their exact numbers.
    for (std::size_t h = 0; h < 24; ++h) {
        if (stats.scope.byHour[h] > 0) {
            const std::string title = "<title>" + std::to_string(h) + ": " +
                                      std::to_string(stats.scope.byHour[h]) + "</title>";
            EXPECT_NE(html.find(title), std::string::npos) << title;
        }
    }
}

TEST(HtmlReport, LongNamesAreShortenedAtCharacters)
{
    // Hosts and users of two-byte (decoded from 1251) and three-byte characters, longer than
    // the charts' labels, and markup characters: the chart shortens the label, the tooltip and
    // the tables keep the whole text, and the document stays well-formed UTF-8.
    const std::string cyrillic(47, '\xE4');
    const std::string bmp = "\xE2\x82\xAC<&>" + std::string(20, 'x') + "\xE2\x82\xAC";
    std::string text;
    for (const std::string& host : {cyrillic + ".ru", bmp + bmp + ".eu"}) {
        for (int i = 0; i < 40; ++i) {
            text += "10.0.0.1 - " + cyrillic + " [07/Dec/2026:10:00:00 +0300] \"GET http://" +
                    host + "/ HTTP/1.1\" \"HTTP\"\r\n";
        }
    }
    const LogStats stats = ComputeLogStats(text);
    ASSERT_EQ(stats.scope.requests, 80u);
    const std::string html = HtmlReport(stats, {"log.txt"}, 1251);
    ASSERT_NO_THROW(checkWellFormed(html));
    EXPECT_TRUE(IsValidUtf8(html));
    for (const std::string& host : {cyrillic + ".ru", bmp + bmp + ".eu"}) {
        std::string whole;
        AppendHtmlText(whole, DecodeForDisplay(host, 1251));
        EXPECT_NE(html.find("<td>" + whole + "</td>"), std::string::npos) << whole;
        EXPECT_NE(html.find("<title>" + whole + ": 40</title>"), std::string::npos) << whole;
    }
    EXPECT_NE(html.find("\xE2\x80\xA6</text>"), std::string::npos);
}

TEST(TextOutput, CsvQuotingAndIsoTimes)
{
    std::string out;
    AppendCsvRow(out, {"plain", "a,b", "say \"hi\"", "two\r\nlines", ""});
    EXPECT_EQ(out, "plain,\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\",\r\n");
    EXPECT_EQ(parseCsv(out)[0],
              (std::vector<std::string>{"plain", "a,b", "say \"hi\"", "two\r\nlines", ""}));

    const std::string line = "x - u [07/Dec/2026:03:44:43 +0800] \"GET /\"";
    EXPECT_EQ(IsoTime(line, ExtractRecordFields(line).date), "2026-12-07T03:44:43+08:00");
    const std::string bad = "x - u [07/Dez/2026:03:44:43 +0800] \"GET /\"";
    EXPECT_EQ(IsoTime(bad, ExtractRecordFields(bad).date), "");
    const std::string noZone = "x - u [07/Dec/2026:03:44:43+\"";
    EXPECT_EQ(IsoTime(noZone, ExtractRecordFields(noZone).date), "");
}
