// The filter store side of qeltlog: groups, filters and the row colour of a URL.
#include "Cli.h"
#include "filters/ColorNames.h"
#include "filters/FilterStore.h"
#include "filters/RowColor.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"

#include <cstdio>
#include <ostream>

namespace qelt::cli {

namespace {

std::string storeFolder(const Context& context)
{
    return context.appDir.empty() ? AppDir() : WithTrailingSlash(context.appDir);
}

std::string hexColour(ColorValue colour)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(colour));
    return text;
}

// COLOUR: a colour box name or a number as config.ini reads numbers, in the form 0x00BBGGRR.
ColorValue parseColour(const std::string& text)
{
    if (const auto named = ColorByName(text))
        return *named;
    const auto number = ParseProfileInteger(text);
    if (!number || *number < 0 || *number > 0xFFFFFF)
        throw UsageError{"'" + text + "' is no colour: give a name such as clMaroon, or a number " +
                         "0x00BBGGRR (decimal, or hexadecimal after 0x or $)"};
    return static_cast<ColorValue>(*number);
}

void requireText(const std::string& text, const char* what)
{
    if (text.empty())
        throw UsageError{std::string(what) + " must not be empty"};
}

int runGroups(const Context& context, const std::vector<std::string>&)
{
    const FilterStore store(storeFolder(context));
    for (const auto& name : store.ListGroups()) {
        const auto colour = store.GroupColor(name);
        context.out << field(context, name) << '\t' << (colour ? hexColour(*colour) : "none")
                    << '\n';
    }
    return 0;
}

int runAddGroup(const Context& context, const std::vector<std::string>& args)
{
    requireText(args[0], "NAME");
    const ColorValue colour = parseColour(args[1]);
    FilterStore store(storeFolder(context));
    context.out << (store.AddGroup(args[0], colour) ? "added" : "exists") << '\n';
    return 0;
}

int runSetColour(const Context& context, const std::vector<std::string>& args)
{
    const ColorValue colour = parseColour(args[1]);
    FilterStore store(storeFolder(context));
    store.SetGroupColor(args[0], colour);
    return 0;
}

int runDeleteGroup(const Context& context, const std::vector<std::string>& args)
{
    FilterStore store(storeFolder(context));
    store.DeleteGroup(args[0]);
    return 0;
}

int runFilters(const Context& context, const std::vector<std::string>& args)
{
    const FilterStore store(storeFolder(context));
    for (const auto& text : store.ListFilters(args[0]))
        context.out << field(context, text) << '\n';
    return 0;
}

int runAddFilter(const Context& context, const std::vector<std::string>& args)
{
    requireText(args[1], "TEXT");
    FilterStore store(storeFolder(context));
    context.out << (store.AddFilter(args[0], args[1]) ? "added" : "exists") << '\n';
    return 0;
}

int runDeleteFilter(const Context& context, const std::vector<std::string>& args)
{
    FilterStore store(storeFolder(context));
    store.DeleteFilter(args[0], args[1]);
    return 0;
}

int runColour(const Context& context, const std::vector<std::string>& args)
{
    const auto colour = RowColor(storeFolder(context), args[0]);
    context.out << (colour ? hexColour(*colour) : "none") << '\n';
    return 0;
}

const Registrar registrar{{
    {"groups", "groups", 0, 0, runGroups},
    {"add-group", "add-group NAME COLOUR", 2, 2, runAddGroup},
    {"set-colour", "set-colour NAME COLOUR", 2, 2, runSetColour},
    {"delete-group", "delete-group NAME", 1, 1, runDeleteGroup},
    {"filters", "filters GROUP", 1, 1, runFilters},
    {"add-filter", "add-filter GROUP TEXT", 2, 2, runAddFilter},
    {"delete-filter", "delete-filter GROUP TEXT", 2, 2, runDeleteFilter},
    {"colour", "colour URL", 1, 1, runColour},
}};

} // namespace

} // namespace qelt::cli
