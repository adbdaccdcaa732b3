#pragma once

// The requests of a tree node: the lines that the index counts into the node, in file order, as
// rows of date, connection label, display URL and icon.
//
//   auto file = std::make_shared<const qelt::LogFile>(path);
//   const auto texts = qelt::NodeSearchTexts::ForHost("alice", "dl1.example.com");
//   const qelt::RecordList list = qelt::ListNodeRecords(file, texts);
//   for (std::size_t i = 0; i < list.size(); ++i)
//       show(list.date(i), list.label(i).view(), list.url(i), list.icon(i));
//
// A row is an offset into the text it was listed from (16 bytes a row); its fields are cut from
// its line when asked for. Listed from a shared LogFile, the list keeps that file alive.

#include "logaccess/LogFile.h"
#include "logaccess/LogGrammar.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace qelt {

// The whole texts of a tree node: a user node's own text and an empty host, or a host node's
// parent's text and its own (the index never makes a host node of an empty host text).
struct NodeSearchTexts
{
    std::string_view user;
    std::string_view host; // empty: a user node

    static NodeSearchTexts ForUser(std::string_view userText) { return {userText, {}}; }
    static NodeSearchTexts ForHost(std::string_view userText, std::string_view hostText)
    {
        return {userText, hostText};
    }
    bool isHostNode() const { return !host.empty(); }
};

// Whether a line belongs to the node, by the rule the index counts lines with: its user field
// (ExtractIndexFields) equals the user text, and for a host node its host field equals the host
// text as well. A text that merely occurs elsewhere in the line does not count, and a node with an
// empty user text holds no line.
bool LineBelongsToNode(std::string_view line, const NodeSearchTexts& texts);

// The search for a node's lines, prepared once for a text and then run over the whole text or
// over runs of its lines, from any thread. Every line of the node holds its user text and its
// host text, so only the lines that hold the rarer of the two (in a sample of the text) are
// taken apart and checked.
class NodeLineSearch
{
public:
    NodeLineSearch(std::string_view text, const NodeSearchTexts& texts);
    // Calls f(line) for every line of text that belongs to the node, in order; a NUL ends the
    // text. Returns whether the text ended at a NUL.
    bool run(std::string_view text, const std::function<void(std::string_view line)>& f) const;
    // The same, until f returns false; returns false then, else whether the text ended at a NUL.
    bool runWhile(std::string_view text, const std::function<bool(std::string_view line)>& f) const;

private:
    NodeSearchTexts m_texts;
    std::string_view m_needle; // empty: no line can belong
};

// Calls f(line) for every line of text that belongs to the node, in file order. A NUL ends the
// text, as it ends the text of a log, so a file's bytes may be given; returns whether the text
// ended at a NUL.
bool ForEachNodeLine(std::string_view text, const NodeSearchTexts& texts,
                     const std::function<void(std::string_view line)>& f);

struct RecordRow
{
    ByteOffset line = 0;        // where the line starts in the listed text
    std::uint32_t lineSize = 0; // its length without terminator (lines over 4 GB are cut)
    IconIndex icon = PlainRequestIcon;
};

class RecordList
{
public:
    RecordList() = default;
    RecordList(std::string_view text, std::vector<RecordRow> rows,
               std::shared_ptr<const LogFile> source = nullptr)
        : m_text(text), m_rows(std::move(rows)), m_source(std::move(source))
    {}

    std::size_t size() const { return m_rows.size(); }
    bool empty() const { return m_rows.empty(); }
    const std::vector<RecordRow>& rows() const { return m_rows; }

    std::string_view line(std::size_t row) const
    {
        return m_text.substr(m_rows[row].line, m_rows[row].lineSize);
    }
    RecordFields fields(std::size_t row) const { return ExtractRecordFields(line(row)); }
    // The "Date" column: at most 20 bytes.
    std::string_view date(std::size_t row) const { return fields(row).date; }
    // The "Connection Type" column: at most 17 bytes.
    LabelText label(std::size_t row) const { return fields(row).label(); }
    // The "URL" column: the display URL.
    std::string_view url(std::size_t row) const { return StripHttpVersion(fields(row).rawUrl); }
    IconIndex icon(std::size_t row) const { return m_rows[row].icon; }

private:
    std::string_view m_text;
    std::vector<RecordRow> m_rows;
    std::shared_ptr<const LogFile> m_source;
};

// The rows of a node over the lines of text (a NUL ends it, as it ends the text of a log).
// A large text is searched in `runs` parts at once (0: one per core for a large text).
RecordList ListNodeRecords(std::string_view text, const NodeSearchTexts& texts, unsigned runs = 0);
RecordList ListNodeRecords(std::shared_ptr<const LogFile> file, const NodeSearchTexts& texts,
                           unsigned runs = 0);

// Where the lines of the node's rows start in the file, in row order: the listing without its
// columns, for deleting rows by their numbers.
std::vector<ByteOffset> NodeLineStarts(const LogFile& file, const NodeSearchTexts& texts);

} // namespace qelt
