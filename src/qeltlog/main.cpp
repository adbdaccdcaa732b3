// qeltlog: the command-line face of the viewer's core.
#include "Cli.h"
#include "common/QeltError.h"
#include "logaccess/LogRewrite.h"
#include "settings/CodePage.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <limits>

#ifdef QELTLOG_TRANSLATIONS
#include <QLocale>
#include <QString>
#include <QTranslator>
#else
#define QT_TRANSLATE_NOOP(scope, text) text
#endif

namespace qelt::cli {

std::vector<Command>& commands()
{
    static std::vector<Command> all;
    return all;
}

Registrar::Registrar(std::vector<Command> list)
{
    for (auto& command : list)
        commands().push_back(std::move(command));
}

namespace {

void appendEscaped(std::string& out, unsigned char c)
{
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 0x0F];
}

bool needsEscape(unsigned char c)
{
    return c < 0x20 || c == 0x7F || c == '\\';
}

} // namespace

std::string tsvField(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (needsEscape(c))
            appendEscaped(out, c);
        else
            out += ch;
    }
    return out;
}

std::string textField(const Context& context, std::string_view bytes)
{
    // Control bytes would move the terminal's cursor: show them escaped, then decode the rest.
    std::string visible;
    visible.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            appendEscaped(visible, c);
        else
            visible += ch;
    }
    return DecodeForDisplay(visible, context.codePage);
}

std::string field(const Context& context, std::string_view bytes)
{
    return context.format == OutputFormat::Tsv ? tsvField(bytes) : textField(context, bytes);
}

} // namespace qelt::cli

namespace {

using namespace qelt::cli;

const char* const Synopsis = QT_TRANSLATE_NOOP(
    "qeltlog", "usage: qeltlog [--app-dir DIR] [--format text|tsv] COMMAND [ARG...]");
const char* const CommandsHeading = QT_TRANSLATE_NOOP("qeltlog", "commands:");

// --help speaks the user's language (LANGUAGE, LC_ALL, LC_MESSAGES, LANG). Nothing else does:
// the output, the error messages (with the synopsis after a wrong command line) and the exit
// status are what scripts read, and stay the same in every locale.
std::string helpText(const char* english)
{
#ifdef QELTLOG_TRANSLATIONS
    static QTranslator translator;
    static const bool loaded = translator.load(QLocale(), QStringLiteral("qeltlog"),
                                               QStringLiteral("_"), QStringLiteral(":/i18n"));
    if (loaded) {
        const QString shown = translator.translate("qeltlog", english);
        if (!shown.isEmpty())
            return shown.toStdString();
    }
#endif
    return english;
}

void printUsage(std::ostream& err, bool translated = false)
{
    const auto text = [translated](const char* english) {
        return translated ? helpText(english) : std::string(english);
    };
    err << text(Synopsis) << '\n' << text(CommandsHeading) << '\n';
    auto list = commands();
    std::sort(list.begin(), list.end(),
              [](const Command& a, const Command& b) { return a.name < b.name; });
    for (const auto& command : list)
        err << "  " << command.usage << '\n';
}

int usageError(const std::string& message)
{
    std::cerr << "qeltlog: " << message << '\n';
    printUsage(std::cerr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::ios::sync_with_stdio(false);
    std::string appDir;
    OutputFormat format = OutputFormat::Text;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--app-dir" || arg == "--format") {
            if (i + 1 >= argc)
                return usageError(std::string(arg) + " needs a value");
            const std::string value = argv[++i];
            if (arg == "--app-dir") {
                // An empty folder would quietly mean the viewer's own store.
                if (value.empty())
                    return usageError("--app-dir needs a folder");
                appDir = value;
            } else if (value == "text") {
                format = OutputFormat::Text;
            } else if (value == "tsv") {
                format = OutputFormat::Tsv;
            } else {
                return usageError("unknown format '" + value + "' (text or tsv)");
            }
        } else if (arg == "--help" || arg == "-h") {
            printUsage(std::cout, true);
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            return usageError("unknown option '" + std::string(arg) + "'");
        } else {
            if (arg == "--")
                ++i;
            break;
        }
    }
    if (i >= argc)
        return usageError("no command given");

    const std::string name = argv[i++];
    const std::vector<std::string> args(argv + i, argv + argc);
    const auto& all = commands();
    const auto found =
        std::find_if(all.begin(), all.end(), [&](const Command& c) { return c.name == name; });
    if (found == all.end())
        return usageError("unknown command '" + name + "'");
    if (args.size() < found->minArgs || args.size() > found->maxArgs)
        return usageError("wrong number of arguments: " + found->usage);

    try {
        const Context context{appDir, format, configuredCodePage(appDir), std::cout, std::cerr};
        const int status = found->run(context, args);
        std::cout.flush();
        if (!std::cout)
            throw qelt::QeltError("Cannot write to standard output");
        return status;
    } catch (const UsageError& e) {
        return usageError(e.message);
    } catch (const qelt::LogRewrittenError& e) {
        // The log was rewritten all the same: not the failure that changed nothing.
        std::cout.flush();
        std::cerr << e.what() << '\n';
        return 3;
    } catch (const qelt::QeltError& e) {
        std::cout.flush();
        std::cerr << e.what() << '\n';
        return 1;
    } catch (const std::bad_alloc&) {
        std::cerr << "Out of memory\n";
        return 1;
    } catch (const std::exception& e) {
        // A failure of the system under us (no thread could be started, ...) is still a failure
        // of the command, not a crash.
        std::cerr << e.what() << '\n';
        return 1;
    }
}
