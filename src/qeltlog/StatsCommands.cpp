// The counting command of qeltlog: requests, hosts, first and last date per user or per host.
#include "Cli.h"
#include "logaccess/LogFile.h"
#include "logaccess/LogStats.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace qelt::cli {

namespace {

void padTo(std::string& out, std::size_t from, std::size_t width)
{
    const std::size_t used = out.size() - from;
    out.append(used < width ? width - used : 1, ' ');
}

// stats LOG... [--user USER]: one line per user in tree order, or per host of USER.
int runStats(const Context& context, const std::vector<std::string>& args)
{
    std::vector<std::string> logs;
    const std::string* user = nullptr;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--user") {
            if (i + 1 >= args.size())
                throw UsageError{"--user needs a user"};
            user = &args[++i];
        } else {
            logs.push_back(args[i]);
        }
    }
    if (logs.empty())
        throw UsageError{"no log given"};

    std::vector<std::shared_ptr<const LogFile>> files;
    for (const std::string& path : logs)
        files.push_back(std::make_shared<const LogFile>(path));
    const bool tsv = context.format == OutputFormat::Tsv;
    const StatsScope scope = user ? StatsScope::ForUser(*user) : StatsScope::ForAll();
    StatsOptions options;
    options.countDistinctHosts = !tsv;
    const LogStats stats = ComputeLogStats(files, scope, options);

    std::string out;
    const auto flush = [&] {
        context.out.write(out.data(), static_cast<std::streamsize>(out.size()));
        out.clear();
    };
    const auto numbers = [&](RequestCount requests, std::string_view first, std::string_view last) {
        if (tsv) {
            out += std::to_string(requests);
            out += '\t';
            out += field(context, first);
            out += '\t';
            out += field(context, last);
        } else {
            std::size_t from = out.size();
            out += std::to_string(requests);
            padTo(out, from, 10);
            from = out.size();
            out += field(context, first);
            padTo(out, from, DateCapacity + 2);
            out += field(context, last);
        }
    };

    if (!user) {
        for (const UserStats& entry : stats.users) {
            if (tsv) {
                out += "U\t";
                out += field(context, entry.name);
                out += '\t';
                out += std::to_string(entry.requests);
                out += '\t';
                out += std::to_string(entry.hostCount);
                out += '\t';
                out += field(context, entry.first);
                out += '\t';
                out += field(context, entry.last);
            } else {
                std::size_t from = out.size();
                out += field(context, entry.name);
                padTo(out, from, 26);
                from = out.size();
                out +=
                    std::to_string(entry.hostCount) + (entry.hostCount == 1 ? " host" : " hosts");
                padTo(out, from, 12);
                numbers(entry.requests, entry.first, entry.last);
            }
            out += '\n';
            if (out.size() >= (1u << 16))
                flush();
        }
    } else if (const UserStats* entry = stats.findUser(*user)) {
        for (const HostStats& host : stats.hostsOf(*entry)) {
            if (tsv) {
                out += "H\t";
                out += std::to_string(host.kind);
                out += '\t';
                out += field(context, host.host);
                out += '\t';
            } else {
                std::size_t from = out.size();
                out += KindSlotName(host.kind);
                padTo(out, from, 11);
                from = out.size();
                out += field(context, host.host);
                padTo(out, from, 40);
            }
            numbers(host.requests, DateAt(stats, host.firstAt), DateAt(stats, host.lastAt));
            out += '\n';
            if (out.size() >= (1u << 16))
                flush();
        }
    }
    if (!tsv) {
        const ScopeStats& all = stats.scope;
        out += std::to_string(all.requests) + " requests, " + std::to_string(all.hosts) + " hosts";
        if (!user)
            out += ", " + std::to_string(stats.users.size()) + " users";
        out += '\n';
    }
    flush();
    return 0;
}

const Registrar registrar{{
    {"stats", "stats LOG... [--user USER]", 1, SIZE_MAX, runStats},
}};

} // namespace

} // namespace qelt::cli
