#include "reports/NdjsonExport.h"

#include "logaccess/LogGrammar.h"
#include "logaccess/LogStats.h"
#include "reports/TextOutput.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace qelt {

namespace {

// Writes ,"name": and the text; notes the name when the text had to be escaped.
template <std::size_t N>
char* writeText(char* p, const char (&key)[N], std::string_view bytes, CodePageId codePage,
                std::string& escaped)
{
    std::memcpy(p, key, N - 1);
    p += N - 1;
    bool lossless = true;
    p = WriteJsonText(p, bytes, codePage, lossless);
    if (!lossless) {
        // key is ,"name": - the name with its quotes is key without the first and last byte.
        if (!escaped.empty())
            escaped += ',';
        escaped.append(key + 1, N - 3);
    }
    return p;
}

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

// What a line's object can take at most: every field is a part of the line, escaped.
std::size_t objectBound(std::string_view line)
{
    return 8 * JsonTextBound(line.size()) + 256;
}

// Writes the object of one line and a LF at to, when the line is counted; returns the end, or
// null when the line is not counted.
char* writeLine(char* to, std::string_view line, CodePageId codePage)
{
    const IndexFields index = ExtractIndexFields(line);
    if (!index.qualifies || index.user.empty())
        return nullptr;
    const RecordFields record = ExtractRecordFields(line);
    std::string escaped;
    // Lines come many a second: the time of the line before is often this line's too.
    thread_local std::string lastStamp;
    thread_local std::string lastTime;
    const auto dateAt = static_cast<std::size_t>(record.date.data() - line.data());
    const std::string_view stamp =
        record.date.empty() ? std::string_view() : line.substr(dateAt, record.date.size() + 6);
    if (stamp.size() != lastStamp.size() ||
        std::memcmp(stamp.data(), lastStamp.data(), stamp.size()) != 0) {
        lastTime = IsoTime(line, record.date);
        lastStamp.assign(stamp.data(), stamp.size());
    }
    char* p = to;
    if (lastTime.empty()) {
        p = put(p, "{\"time\":null");
        p = writeText(p, ",\"date\":", record.date, codePage, escaped);
    } else {
        p = put(p, "{\"time\":\"");
        p = put(p, lastTime);
        *p++ = '"';
    }
    p = writeText(p, ",\"user\":", index.user, codePage, escaped);
    if (index.host.empty())
        p = put(p, ",\"host\":null");
    else
        p = writeText(p, ",\"host\":", index.host, codePage, escaped);
    if (index.hasKind) {
        p = put(p, ",\"kind\":\"");
        p = put(p, std::string_view(KindSlotName(index.kind)));
        *p++ = '"';
    } else {
        p = put(p, ",\"kind\":null");
    }
    p = writeText(p, ",\"label\":", record.label().view(), codePage, escaped);
    p = writeText(p, ",\"url\":", StripHttpVersion(record.rawUrl), codePage, escaped);
    p = writeText(p, ",\"client\":", TakeBefore(line, " - "), codePage, escaped);
    std::string_view rest;
    const std::size_t quote = line.rfind('"');
    if (quote != std::string_view::npos) {
        rest = line.substr(quote + 1);
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
    }
    p = writeText(p, ",\"rest\":", rest, codePage, escaped);
    if (!escaped.empty()) {
        p = put(p, ",\"escaped\":[");
        p = put(p, escaped);
        *p++ = ']';
    }
    p = put(p, "}\n");
    return p;
}

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
    std::string_view view() const { return {m_data.get(), m_size}; }

private:
    std::unique_ptr<char[]> m_data;
    std::size_t m_capacity;
    std::size_t m_size = 0;
};

} // namespace

bool AppendNdjsonLine(std::string& out, std::string_view line, CodePageId codePage)
{
    const std::size_t start = out.size();
    out.resize(start + objectBound(line));
    char* end = writeLine(out.data() + start, line, codePage);
    out.resize(end ? static_cast<std::size_t>(end - out.data()) : start);
    return end != nullptr;
}

std::size_t ExportNdjson(const std::vector<std::shared_ptr<const LogFile>>& files,
                         CodePageId codePage, const std::function<void(std::string_view)>& write,
                         const std::atomic<bool>* cancel)
{
    constexpr std::size_t ChunkBytes = 4u << 20;
    constexpr std::size_t MaxAhead = 6;
    std::size_t objects = 0;
    for (const auto& file : files) {
        // The lines stop at the first NUL, so the chunks run over the file's bytes.
        const std::string_view bytes = file->bytes();
        const std::vector<std::string_view> chunks = SplitAtLineEnds(
            bytes, static_cast<unsigned>(std::max<std::size_t>(1, bytes.size() / ChunkBytes)));

        struct Chunk
        {
            std::unique_ptr<Buffer> text;
            std::size_t count = 0;
            bool endedAtNul = false;
            bool done = false;
            std::exception_ptr error;
        };
        std::vector<Chunk> results(chunks.size());
        std::mutex mutex;
        std::condition_variable changed;
        std::size_t limit = chunks.size(); // chunks from here on are past the text's end
        std::size_t taken = 0;
        std::size_t written = 0;

        const auto process = [&](std::size_t k) {
            Chunk chunk;
            try {
                chunk.text = std::make_unique<Buffer>(chunks[k].size() * 2 + (1u << 16));
                const char* p = chunks[k].data();
                const char* const end = p + chunks[k].size();
                while (p < end) {
                    const char* lineEnd = FindLineEndOrNul(p, end);
                    const std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
                    char* to = chunk.text->reserve(objectBound(line));
                    if (char* objectEnd = writeLine(to, line, codePage)) {
                        chunk.text->grow(objectEnd);
                        ++chunk.count;
                    }
                    if (lineEnd < end && *lineEnd == '\0') {
                        chunk.endedAtNul = true;
                        break;
                    }
                    p = lineEnd + TerminatorLength(lineEnd, end);
                }
            } catch (...) {
                chunk.error = std::current_exception();
            }
            const std::lock_guard<std::mutex> lock(mutex);
            if (chunk.endedAtNul || chunk.error)
                limit = std::min(limit, k + 1);
            chunk.done = true;
            results[k] = std::move(chunk);
            changed.notify_all();
        };
        const auto stopped = [&] { return cancel && cancel->load(std::memory_order_relaxed); };

        std::vector<std::thread> workers;
        const unsigned runs = RunsForScan(bytes.size(), 2 * ChunkBytes);
        for (unsigned w = 1; w < runs; ++w) {
            workers.emplace_back([&] {
                for (;;) {
                    std::size_t k;
                    {
                        std::unique_lock<std::mutex> lock(mutex);
                        changed.wait(lock,
                                     [&] { return taken >= limit || taken < written + MaxAhead; });
                        if (taken >= limit)
                            return;
                        k = taken++;
                    }
                    process(k);
                }
            });
        }

        std::exception_ptr error;
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            if (stopped()) {
                limit = 0;
                changed.notify_all();
                break;
            }
            if (written < limit && results[written].done) {
                Chunk chunk = std::move(results[written]);
                ++written;
                changed.notify_all();
                if (chunk.error) {
                    error = chunk.error;
                    limit = 0;
                    changed.notify_all();
                    break;
                }
                lock.unlock();
                try {
                    if (chunk.text)
                        write(chunk.text->view());
                } catch (...) {
                    error = std::current_exception();
                    lock.lock();
                    limit = 0;
                    changed.notify_all();
                    break;
                }
                objects += chunk.count;
                continue;
            }
            if (written >= limit)
                break;
            if (taken < limit && taken < written + MaxAhead) {
                const std::size_t k = taken++;
                lock.unlock();
                process(k);
                continue;
            }
            changed.wait(lock);
        }
        for (auto& worker : workers)
            worker.join();
        if (error)
            std::rethrow_exception(error);
        file->checkNotCutShort();
        if (stopped())
            break;
    }
    return objects;
}

} // namespace qelt
