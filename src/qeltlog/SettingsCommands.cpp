// The settings side of qeltlog: the configured code page and the `logs` command.
#include "Cli.h"
#include "settings/Settings.h"

#include <ostream>

namespace qelt::cli {

CodePageId configuredCodePage(const std::string& appDir)
{
    return ReadCodePage(appDir.empty() ? AppDir() : WithTrailingSlash(appDir));
}

namespace {

// logs DIR: the chooser's items for DIR, in chooser order.
int runLogs(const Context& context, const std::vector<std::string>& args)
{
    // An empty LogDir configures no folder; it must not turn into the working folder.
    if (args[0].empty())
        throw UsageError{"DIR must not be empty"};
    for (const auto& name : ListLogFilesOrThrow(WithTrailingSlash(args[0])))
        context.out << field(context, name) << '\n';
    return 0;
}

const Registrar registrar{{{"logs", "logs DIR", 1, 1, runLogs}}};

} // namespace

} // namespace qelt::cli
