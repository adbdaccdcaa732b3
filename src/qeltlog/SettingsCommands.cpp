// The settings side of qeltlog: the configured code page and the `logs` command.
#include "Cli.h"

namespace qelt::cli {

// Placeholder until config.ini reading lands: the default code page.
CodePageId configuredCodePage(const std::string& /*appDir*/)
{
    return DefaultCodePage;
}

} // namespace qelt::cli
