#pragma once

#include "settings/CodePage.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace qelt {
class UndoJournal;
}

namespace qelt::cli {

enum class OutputFormat
{
    Text,
    Tsv
};

// What every command gets: the global options and the streams to write to.
struct Context
{
    std::string appDir; // empty: the viewer's own AppDir
    OutputFormat format = OutputFormat::Text;
    CodePageId codePage = DefaultCodePage; // config.ini's CodePage, for --format text
    std::ostream& out;
    std::ostream& err;
};

// A wrong command line: main prints the message and the synopsis and exits with 2.
struct UsageError
{
    std::string message;
};

using CommandFunction = std::function<int(const Context&, const std::vector<std::string>& args)>;

struct Command
{
    std::string name;
    std::string usage; // "tree LOG"
    std::size_t minArgs = 0;
    std::size_t maxArgs = 0; // SIZE_MAX: any number
    CommandFunction run;
};

// Each command file registers its commands with a static Registrar:
//   static const cli::Registrar reg{{"tree", "tree LOG", 1, 1, runTree}};
std::vector<Command>& commands();
struct Registrar
{
    explicit Registrar(std::vector<Command> list);
};

// The CodePage that config.ini in appDir (empty: the viewer's AppDir) names, or the default.
CodePageId configuredCodePage(const std::string& appDir);

// A text field as --format tsv writes it: bytes 0x00-0x1F, 0x7F and the backslash become \xNN.
std::string tsvField(std::string_view bytes);

// A text field as --format text writes it: valid UTF-8 passes unchanged, anything else is
// decoded from the configured code page to UTF-8; control bytes are shown as \xNN.
std::string textField(const Context& context, std::string_view bytes);

// Writes one field in the context's format.
std::string field(const Context& context, std::string_view bytes);

// The user's undo journal, with the size limit that config.ini in the context's AppDir sets.
UndoJournal undoJournal(const Context& context);

} // namespace qelt::cli
