// RowColor as the window calls it for every painted row: 200 groups, 2,000 filters in real store
// files, URLs that match early, late and not at all. Goal: under 50 us per call.
#include "filters/FilterStore.h"
#include "filters/RowColor.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const Words[] = {"mail",  "news",   "video", "cdn",   "img",    "static", "shop",
                             "bank",  "social", "games", "music", "search", "maps",   "cloud",
                             "login", "api",    "ads",   "track", "photo",  "stream"};
const char* const Tlds[] = {".com", ".net", ".org", ".ru", ".de", ".io"};

struct Store
{
    std::string dir;
    std::vector<std::string> urls;

    Store()
    {
        char pattern[] = "/tmp/qelt-bench-XXXXXX";
        dir = std::string(::mkdtemp(pattern)) + "/";
        qelt::FilterStore store(dir);
        std::mt19937 random(7);
        for (int g = 0; g < 200; ++g)
            store.AddGroup("group" + std::to_string(g), static_cast<qelt::ColorValue>(g * 9973));
        // Filter texts as administrators write them: host names and path pieces.
        std::vector<std::string> texts;
        for (int f = 0; f < 2000; ++f) {
            std::string text =
                std::string(Words[random() % 20]) + std::to_string(f) + Tlds[random() % 6];
            texts.push_back(text);
            store.AddFilter("group" + std::to_string(f % 200), text);
        }
        // Rows: hosts that hit the first, the middle and the last filters, and ones that miss.
        for (const int f : {0, 1000, 1999})
            urls.push_back("http://www." + texts[static_cast<std::size_t>(f)] +
                           "/index.php?id=12345&session=abcdef0123456789");
        urls.push_back("http://www.example.com/some/long/path/to/a/resource/image.png?size=large"
                       "&quality=high&cache=0123456789");
        urls.push_back("https://cdn.static.video.example.org:443/segments/000123/chunk-77.ts");
    }
    ~Store()
    {
        const std::string command = "rm -rf '" + dir + "'";
        [[maybe_unused]] const int status = std::system(command.c_str());
    }
};

Store& store()
{
    static Store instance;
    return instance;
}

void BM_RowColor(benchmark::State& state)
{
    const std::string& url = store().urls[static_cast<std::size_t>(state.range(0))];
    qelt::RowColorRule rule(store().dir);
    std::string error;
    for (auto _ : state)
        benchmark::DoNotOptimize(rule.RowColorNoThrow(url, error));
}
BENCHMARK(BM_RowColor)->ArgName("url")->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

// The same without the reuse of parsing: a fresh rule per call.
void BM_RowColorFresh(benchmark::State& state)
{
    const std::string& url = store().urls[static_cast<std::size_t>(state.range(0))];
    for (auto _ : state)
        benchmark::DoNotOptimize(qelt::RowColor(store().dir, url));
}
BENCHMARK(BM_RowColorFresh)->ArgName("url")->Arg(1)->Arg(3)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
