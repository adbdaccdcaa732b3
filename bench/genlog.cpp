// genlog: writes a large, realistic proxy access log for benchmarks and samples.
//
//   genlog OUTPUT SIZE [SEED [USERS [HOSTS [all]]]]
//
// SIZE is a byte count with an optional K, M or G suffix (powers of 1024), or a line count with
// the suffix L ("500L"). Users are active with Zipf-like weights and come in bursts; a request
// goes to the host of the user's previous request (the rest of a page), to a popular host
// (Zipf-like) or to one of the user's own few hosts, and with a very large HOSTS value partly to
// any host, so that a large population really shows up in the log. Every connection type occurs,
// lines average about 150 bytes and end with CR LF. A few user names are longer than 25 bytes or
// hold bytes above 127, a few hosts are longer than 50 bytes. With `all`, every one of the USERS
// accounts has a name of its own and makes the first request of its own before the weights take
// over, so that the log really holds USERS distinct users.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

struct Options
{
    std::string output;
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
    std::uint64_t seed = 1;
    std::size_t users = 300;
    std::size_t hosts = 5000;
    bool everyUser = false;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: genlog OUTPUT SIZE[K|M|G|L] [SEED [USERS [HOSTS [all]]]]\n");
    std::exit(2);
}

std::uint64_t number(const char* text)
{
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0')
        usage();
    return value;
}

// Samples ranks 0..n-1 with weight 1 / (rank + 1)^s.
class Zipf
{
public:
    Zipf(std::size_t n, double s)
    {
        m_cumulative.reserve(n);
        double sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            sum += 1.0 / std::pow(static_cast<double>(i + 1), s);
            m_cumulative.push_back(sum);
        }
    }
    template <class Random> std::size_t operator()(Random& random) const
    {
        std::uniform_real_distribution<double> u(0.0, m_cumulative.back());
        const double x = u(random);
        return static_cast<std::size_t>(
            std::lower_bound(m_cumulative.begin(), m_cumulative.end(), x) - m_cumulative.begin());
    }

private:
    std::vector<double> m_cumulative;
};

const char* const Syllables[] = {"al", "be", "ri", "ko", "na", "ta", "mi", "lo", "sa", "ve", "do",
                                 "ra", "ni", "el", "an", "jo", "ma", "ki", "po", "ru", "se", "li"};
const char* const Words[] = {"news",  "mail",   "cloud", "video", "shop",  "bank",  "maps",
                             "cdn",   "static", "img",   "api",   "files", "docs",  "music",
                             "games", "sport",  "tech",  "press", "data",  "photo", "forum"};
const char* const Tlds[] = {".com", ".org", ".net", ".example", ".info", ".co.uk", ".de", ".io"};
const char* const PathWords[] = {"index", "images", "css",  "js",      "assets", "download",
                                 "v2",    "media",  "user", "content", "search", "archive"};
const char* const Files[] = {"page.html",  "logo.png",  "app.js",     "style.css",  "setup.zip",
                             "manual.pdf", "data.json", "photo.jpg",  "backup.rar", "disk.iso",
                             "pack.tar",   "old.cab",   "report.PDF", "tools.lzh",  "src.arj"};

template <class Random> std::string makeName(Random& random, std::size_t index, bool unique)
{
    std::uniform_int_distribution<int> count(2, 4);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(Syllables) - 1);
    std::string name;
    for (int i = count(random); i > 0; --i)
        name += Syllables[pick(random)];
    name += std::to_string(unique ? index : index % 100);
    // A few accounts of other shapes: a domain account longer than the tree shows, a name with
    // code page letters, a name with a space.
    switch (index % 37) {
    case 5:
        return "CORP\\" + name + ".department.of.finance";
    case 11:
        return "m\xfcller" + name;
    case 23:
        return name + " jr";
    default:
        return name;
    }
}

template <class Random> std::string makeHost(Random& random, std::size_t index)
{
    std::uniform_int_distribution<std::size_t> word(0, std::size(Words) - 1);
    std::uniform_int_distribution<std::size_t> tld(0, std::size(Tlds) - 1);
    std::string host = index % 3 == 0 ? "www." : "";
    host += Words[word(random)];
    host += std::to_string(index);
    if (index % 5 == 1) {
        host.insert(0, ".");
        host.insert(0, Words[word(random)]);
    }
    if (index % 97 == 3)
        host.insert(0, "edge-cache-node-0042.region-eu-west.delivery.");
    host += Tlds[tld(random)];
    return host;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 7)
        usage();
    Options options;
    options.output = argv[1];
    std::string size = argv[2];
    if (size.empty())
        usage();
    const char suffix = static_cast<char>(std::toupper(static_cast<unsigned char>(size.back())));
    std::uint64_t scale = 1;
    bool lines = false;
    if (suffix == 'K' || suffix == 'M' || suffix == 'G' || suffix == 'L') {
        size.pop_back();
        scale = suffix == 'K'   ? 1024ull
                : suffix == 'M' ? 1024ull * 1024
                : suffix == 'G' ? 1ull << 30
                                : 1;
        lines = suffix == 'L';
    }
    (lines ? options.lines : options.bytes) = number(size.c_str()) * scale;
    if (argc > 3)
        options.seed = number(argv[3]);
    if (argc > 4)
        options.users = std::max<std::uint64_t>(1, number(argv[4]));
    if (argc > 5)
        options.hosts = std::max<std::uint64_t>(1, number(argv[5]));
    if (argc > 6) {
        if (std::string(argv[6]) != "all")
            usage();
        options.everyUser = true;
    }

    std::mt19937_64 random(options.seed);
    std::vector<std::string> users;
    for (std::size_t i = 0; i < options.users; ++i)
        users.push_back(makeName(random, i, options.everyUser));
    std::vector<std::string> clients;
    for (std::size_t i = 0; i < options.users; ++i)
        clients.push_back("10." + std::to_string(i / 65536 % 256) + "." +
                          std::to_string(i / 256 % 256) + "." + std::to_string(i % 256 + 1));
    std::vector<std::string> hosts;
    hosts.reserve(options.hosts);
    for (std::size_t i = 0; i < options.hosts; ++i)
        hosts.push_back(makeHost(random, i));

    // Everybody visits the popular sites; besides, each user has a few sites of their own.
    std::vector<std::vector<std::size_t>> ownHosts(users.size());
    for (auto& own : ownHosts) {
        std::uniform_int_distribution<std::size_t> many(10, 300);
        std::uniform_int_distribution<std::size_t> any(0, hosts.size() - 1);
        for (std::size_t n = many(random); n > 0; --n)
            own.push_back(any(random));
    }
    constexpr std::size_t NoHost = ~std::size_t(0);
    std::vector<std::size_t> lastHost(users.size(), NoHost);
    const Zipf userZipf(users.size(), 1.0);
    const Zipf hostZipf(hosts.size(), 1.1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<std::size_t> anyHost(0, hosts.size() - 1);
    std::uniform_int_distribution<std::size_t> pathWord(0, std::size(PathWords) - 1);
    std::uniform_int_distribution<std::size_t> file(0, std::size(Files) - 1);
    std::uniform_int_distribution<int> pathDepth(1, 4);
    std::uniform_int_distribution<int> queryLength(0, 60);

    FILE* out = std::fopen(options.output.c_str(), "wb");
    if (!out) {
        std::perror(options.output.c_str());
        return 1;
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());

    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::uint64_t written = 0;
    std::uint64_t count = 0;
    std::size_t user = 0;
    std::int64_t second = 0;
    std::string line;
    while (lines ? count < options.lines : written < options.bytes) {
        if (options.everyUser && count < users.size())
            user = static_cast<std::size_t>(count);
        else if (count == 0 || unit(random) > 0.7) // bursts: most follow the previous user's
            user = userZipf(random);
        if (unit(random) < 0.3)
            ++second;
        std::size_t host;
        const double where = unit(random);
        if (where < 0.45 && lastHost[user] != NoHost) {
            host = lastHost[user]; // the rest of a page: images, scripts, styles
        } else if (where < 0.75) {
            host = hostZipf(random);
        } else if (where < 0.97 || hosts.size() < 100000) {
            const auto& own = ownHosts[user];
            host = own[random() % own.size()];
        } else {
            host = anyHost(random); // the long tail of a very large host population
        }
        lastHost[user] = host;
        const std::int64_t day = 7 + second / 86400;
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%02d/%s/2026:%02d:%02d:%02d +0800",
                      static_cast<int>((day - 1) % 28 + 1), Months[11],
                      static_cast<int>(second / 3600 % 24), static_cast<int>(second / 60 % 60),
                      static_cast<int>(second % 60));

        line = clients[user];
        line += " - ";
        line += users[user];
        line += " [";
        line += stamp;
        line += "] \"";
        const double kind = unit(random);
        const std::string& h = hosts[host];
        if (kind < 0.55) {
            std::string path;
            for (int d = pathDepth(random); d > 0; --d) {
                path += '/';
                path += PathWords[pathWord(random)];
            }
            path += '/';
            path += Files[file(random)];
            const int query = queryLength(random);
            if (query > 4) {
                path += "?id=";
                for (int i = 0; i < query; ++i)
                    path += static_cast<char>('a' + (random() % 26));
            }
            line += unit(random) < 0.85 ? "GET http://" : "POST http://";
            line += h;
            line += path;
            line += " HTTP/1.1\" \"HTTP\"";
        } else if (kind < 0.90) {
            line += "CONNECT " + h + ":443 HTTP/1.0\" \"HTTPS\"";
        } else if (kind < 0.92) {
            line += "RETR ftp://anonymous@" + h + "\" \"FTP\"";
        } else if (kind < 0.94) {
            line += "RETR Host:" + h + "-User:" + users[user] + "\" \"POP3\"";
        } else if (kind < 0.96) {
            line += "SEND Host:" + h + "-User:" + users[user] + "\" \"SMTP\"";
        } else if (kind < 0.98) {
            line += "CONNECT " + h + ":993 HTTP/1.0\" \"MAP\"";
        } else {
            line += "CONNECT " + h + ":1080 HTTP/1.0\" \"SOCKS5\"";
        }
        line += " 200 ";
        line += std::to_string(200 + random() % 90000);
        line += "\r\n";
        std::fwrite(line.data(), 1, line.size(), out);
        written += line.size();
        ++count;
    }
    if (std::fclose(out) != 0) {
        std::perror(options.output.c_str());
        return 1;
    }
    std::fprintf(stderr, "%llu lines, %llu bytes\n", static_cast<unsigned long long>(count),
                 static_cast<unsigned long long>(written));
    return 0;
}
