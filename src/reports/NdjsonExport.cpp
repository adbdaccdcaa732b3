#include "reports/NdjsonExport.h"

#include "common/RunInOrder.h"
#include "logaccess/LogGrammar.h"
#include "logaccess/LogStats.h"
#include "reports/TextOutput.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelt {

namespace {

template <std::size_t N> char* put(char* p, const char (&text)[N])
{
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

char* put(char* p, std::string_view text)
{
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// The position of the last double quote of the text, or npos; the text's end is near.
std::size_t lastQuote(std::string_view text)
{
    std::size_t n = text.size();
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    for (; n >= 16; n -= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + n - 16));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)));
        if (mask != 0)
            return n - 16 + static_cast<std::size_t>(31 - __builtin_clz(mask));
    }
#endif
    while (n > 0) {
        if (text[--n] == '"')
            return n;
    }
    return std::string_view::npos;
}

// What a line's object can take at most: every field is a part of the line, escaped.
std::size_t objectBound(std::string_view line)
{
    return 8 * JsonTextBound(line.size()) + 256;
}

// Writes the objects of lines. The texts are written sixteen bytes at a time, so they are read
// where they stand only when sixteen readable bytes follow the line; otherwise from a copy.
class ObjectWriter
{
public:
    explicit ObjectWriter(CodePageId codePage) : m_codePage(codePage), m_kinds(kindTexts()) {}

    // Writes the object of the line, whose index fields are `index`, and a LF at to, when the
    // line is counted; returns the end, or null when the line is not counted. The bytes up to
    // readableEnd may be read.
    char* write(char* to, std::string_view line, const IndexFields& index, const char* readableEnd)
    {
        if (!index.qualifies || index.user.empty())
            return nullptr;
        const RecordFields record = ExtractRecordFields(line);
        m_line = line;
        m_text = line.data();
        if (static_cast<std::size_t>(readableEnd - line.data()) < line.size() + JsonPadding) {
            m_copy.assign(line.data(), line.size());
            m_copy.append(JsonPadding, '\0');
            m_text = m_copy.data();
        }
        m_escaped = 0;

        char* p = to;
        if (const char* time = m_time.time(line, record.date)) {
            p = put(p, "{\"time\":\"");
            p = put(p, std::string_view(time, IsoTimeSize));
            *p++ = '"';
        } else {
            p = put(p, "{\"time\":null");
            p = writeText(p, ",\"date\":", record.date);
        }
        p = writeText(p, ",\"user\":", index.user);
        if (index.host.empty())
            p = put(p, ",\"host\":null");
        else
            p = writeText(p, ",\"host\":", index.host);
        if (index.hasKind)
            p = put(p, m_kinds[index.kind]);
        else
            p = put(p, ",\"kind\":null");
        // The label (head and token, as record.label() puts them together) is a text of its
        // own: written from a copy with room to read ahead.
        char label[LabelCapacity + JsonPadding] = {};
        const std::string_view head = record.labelHead.substr(0, LabelCapacity);
        const std::string_view token = record.labelToken.substr(0, LabelCapacity - head.size());
        if (!head.empty())
            std::memcpy(label, head.data(), head.size());
        if (!token.empty())
            std::memcpy(label + head.size(), token.data(), token.size());
        p = writeCopied(p, ",\"label\":", std::string_view(label, head.size() + token.size()));
        p = writeText(p, ",\"url\":", StripHttpVersion(record.rawUrl));
        p = writeText(p, ",\"client\":", client(line, index.user));
        std::string_view rest;
        const std::size_t quote = lastQuote(line);
        if (quote != std::string_view::npos) {
            rest = line.substr(quote + 1);
            while (!rest.empty() && rest.front() == ' ')
                rest.remove_prefix(1);
        }
        p = writeText(p, ",\"rest\":", rest);
        if (m_escaped != 0) {
            p = put(p, ",\"escaped\":[");
            p = put(p, std::string_view(m_escapedNames, m_escaped));
            *p++ = ']';
        }
        *p++ = '}';
        *p++ = '\n';
        return p;
    }

private:
    // ,"kind":"HTTP" and the like, by ConnectionKind.
    static const std::array<std::string, 256>& kindTexts()
    {
        static const std::array<std::string, 256> texts = [] {
            std::array<std::string, 256> made;
            for (std::size_t kind = 0; kind < made.size(); ++kind)
                made[kind] = std::string(",\"kind\":\"") + KindSlotName(kind) + '"';
            return made;
        }();
        return texts;
    }

    // The field before the first " - " of the line, which the user follows.
    static std::string_view client(std::string_view line, std::string_view user)
    {
        const auto userAt = reinterpret_cast<std::uintptr_t>(user.data()) -
                            reinterpret_cast<std::uintptr_t>(line.data());
        if (userAt >= 3 && userAt <= line.size() && line.compare(userAt - 3, 3, " - ") == 0)
            return line.substr(0, userAt - 3);
        return TakeBefore(line, " - ");
    }

    // Writes ,"name": and the text, a part of the line; notes the name when the text had to be
    // escaped.
    template <std::size_t N> char* writeText(char* p, const char (&key)[N], std::string_view part)
    {
        const auto from = reinterpret_cast<std::uintptr_t>(part.data());
        const auto begin = reinterpret_cast<std::uintptr_t>(m_line.data());
        if (part.empty())
            part = std::string_view(m_text, 0);
        else if (from >= begin && from + part.size() <= begin + m_line.size())
            part = std::string_view(m_text + (from - begin), part.size());
        else
            return writeOther(p, key, part);
        return writeCopied(p, key, part);
    }

    // writeText of a text that is no part of the line.
    template <std::size_t N> char* writeOther(char* p, const char (&key)[N], std::string_view text)
    {
        std::string copy(text);
        copy.append(JsonPadding, '\0');
        return writeCopied(p, key, std::string_view(copy.data(), text.size()));
    }

    template <std::size_t N>
    char* writeCopied(char* p, const char (&key)[N], std::string_view readable)
    {
        p = put(p, key);
        bool lossless = true;
        p = WriteJsonText(p, readable, m_codePage, lossless);
        if (!lossless) {
            // key is ,"name": - the name with its quotes is key without the first and last byte.
            if (m_escaped != 0)
                m_escapedNames[m_escaped++] = ',';
            std::memcpy(m_escapedNames + m_escaped, key + 1, N - 3);
            m_escaped += N - 3;
        }
        return p;
    }

    CodePageId m_codePage;
    const std::array<std::string, 256>& m_kinds;
    std::string_view m_line;
    const char* m_text = nullptr; // the line's bytes, with JsonPadding readable bytes after them
    std::string m_copy;
    char m_escapedNames[96] = {};
    std::size_t m_escaped = 0;
    IsoTimeWriter m_time;
};

// Output of one chunk: a buffer that grows without being cleared first.
class Buffer
{
public:
    explicit Buffer(std::size_t capacity) : m_data(new char[capacity]), m_capacity(capacity) {}
    // Room for at least n more bytes at end().
    char* reserve(std::size_t n)
    {
        if (m_capacity - m_size < n) {
            const std::size_t capacity = std::max(2 * m_capacity, m_size + n);
            std::unique_ptr<char[]> bigger(new char[capacity]);
            std::memcpy(bigger.get(), m_data.get(), m_size);
            m_data = std::move(bigger);
            m_capacity = capacity;
        }
        return m_data.get() + m_size;
    }
    void grow(char* newEnd) { m_size = static_cast<std::size_t>(newEnd - m_data.get()); }
    void clear() { m_size = 0; }
    std::string_view view() const { return {m_data.get(), m_size}; }

private:
    std::unique_ptr<char[]> m_data;
    std::size_t m_capacity;
    std::size_t m_size = 0;
};

// Buffers handed back after their text is written, for the next chunks: pages of memory that
// are in use already cost less than new ones.
class BufferPool
{
public:
    std::unique_ptr<Buffer> take(std::size_t capacity)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_spare.empty()) {
                std::unique_ptr<Buffer> buffer = std::move(m_spare.back());
                m_spare.pop_back();
                buffer->clear();
                return buffer;
            }
        }
        return std::make_unique<Buffer>(capacity);
    }
    void give(std::unique_ptr<Buffer> buffer)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_spare.push_back(std::move(buffer));
    }

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Buffer>> m_spare;
};

} // namespace

bool AppendNdjsonLine(std::string& out, std::string_view line, CodePageId codePage)
{
    const std::unique_ptr<char[]> buffer(new char[objectBound(line)]);
    ObjectWriter writer(codePage);
    const char* end =
        writer.write(buffer.get(), line, ExtractIndexFields(line), line.data() + line.size());
    if (end)
        out.append(buffer.get(), static_cast<std::size_t>(end - buffer.get()));
    return end != nullptr;
}

std::size_t ExportNdjson(const std::vector<std::shared_ptr<const LogFile>>& files,
                         CodePageId codePage, const std::function<void(std::string_view)>& write,
                         const std::atomic<bool>* cancel)
{
    // Chunks small enough that their objects (a few hundred kilobytes, in buffers used over and
    // over) stay in the cores' caches from being written to being copied into the file: writing
    // them out to memory and reading them back cost the kernel's copy as much again.
    constexpr std::size_t ChunkBytes = 128u << 10;
    constexpr std::size_t MaxAhead = 8;
    std::size_t objects = 0;
    BufferPool pool;
    for (const auto& file : files) {
        // The lines stop at the first NUL, so the chunks run over the file's bytes.
        const std::string_view bytes = file->bytes();
        const char* const readableEnd = bytes.data() + bytes.size();
        const std::vector<std::string_view> chunks = SplitAtLineEnds(
            bytes, static_cast<unsigned>(std::max<std::size_t>(1, bytes.size() / ChunkBytes)));
        struct Chunk
        {
            std::unique_ptr<Buffer> text;
            std::size_t count = 0;
        };
        std::vector<Chunk> results(chunks.size());
        RunInOrder(
            chunks.size(), RunsForScan(bytes.size(), 2 * ChunkBytes), MaxAhead,
            [&](std::size_t k) {
                Chunk& chunk = results[k];
                chunk.text = pool.take(chunks[k].size() * 2 + (1u << 16));
                ObjectWriter writer(codePage);
                const char* p = chunks[k].data();
                const char* const end = p + chunks[k].size();
                while (p < end) {
                    const IndexLine scanned = ScanIndexLine(p, end);
                    const char* const lineEnd = scanned.end;
                    const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
                    char* to = chunk.text->reserve(objectBound(line));
                    if (char* objectEnd = writer.write(to, line, scanned.fields, readableEnd)) {
                        chunk.text->grow(objectEnd);
                        ++chunk.count;
                    }
                    if (lineEnd < end && *lineEnd == '\0')
                        return true;
                    p = lineEnd + TerminatorLength(lineEnd, end);
                }
                return false;
            },
            [&](std::size_t k) {
                Chunk chunk = std::move(results[k]);
                write(chunk.text->view());
                objects += chunk.count;
                pool.give(std::move(chunk.text));
                return true;
            },
            cancel);
        file->checkNotCutShort();
        if (cancel && cancel->load(std::memory_order_relaxed))
            break;
    }
    return objects;
}

} // namespace qelt
