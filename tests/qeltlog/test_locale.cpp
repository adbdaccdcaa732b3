// The language of the environment reaches --help and nothing else: output, error messages and
// exit status are what scripts read.
#include "settings/RunProgram.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using qelt::test::ProgramResult;
using qelt::test::runProgram;

namespace {

const std::string SmallLog = std::string(QELT_TEST_DATA_DIR) + "/access-small.txt";

// Runs qeltlog with LANG set to lang and nothing overriding it.
ProgramResult runIn(const char* lang, const std::vector<std::string>& args)
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"})
        unsetenv(name);
    setenv("LANG", lang, 1);
    ProgramResult result = runProgram(QELTLOG_PATH, args);
    unsetenv("LANG");
    return result;
}

#ifdef QELTLOG_TRANSLATED
// Only a translated --help has lines to compare after its first two.
std::string afterTwoLines(const std::string& text)
{
    const auto first = text.find('\n');
    const auto second = first == std::string::npos ? first : text.find('\n', first + 1);
    return second == std::string::npos ? std::string() : text.substr(second + 1);
}
#endif

TEST(Locale, OutputErrorsAndStatusStayTheSameInRussian)
{
    const std::vector<std::vector<std::string>> commands = {
        {"--format", "tsv", "tree", SmallLog},
        {"tree", SmallLog},
        {"--format", "tsv", "list", SmallLog, "alice"},
        {"list", "/nonexistent/log1.txt", "alice"},
        {"no-such-command"},
        {"--format", "csv", "tree", SmallLog},
    };
    for (const auto& args : commands) {
        const ProgramResult english = runIn("C", args);
        const ProgramResult russian = runIn("ru_RU.UTF-8", args);
        SCOPED_TRACE(args.back());
        EXPECT_EQ(russian.status, english.status);
        EXPECT_EQ(russian.out, english.out);
        EXPECT_EQ(russian.err, english.err);
    }
}

TEST(Locale, HelpIsTranslatedExceptTheCommandLines)
{
    const ProgramResult english = runIn("C", {"--help"});
    const ProgramResult russian = runIn("ru_RU.UTF-8", {"--help"});
    ASSERT_EQ(english.status, 0);
    ASSERT_EQ(russian.status, 0);
    EXPECT_EQ(
        english.out.rfind("usage: qeltlog [--app-dir DIR] [--format text|tsv] COMMAND [ARG...]\n"
                          "commands:\n  add-filter GROUP TEXT\n",
                          0),
        0u)
        << english.out;
#ifdef QELTLOG_TRANSLATED
    EXPECT_EQ(russian.out.rfind("использование: qeltlog [--app-dir КАТАЛОГ] [--format text|tsv] "
                                "КОМАНДА [АРГУМЕНТ...]\nкоманды:\n",
                                0),
              0u)
        << russian.out;
    // The command lines are the syntax the manual page shows, in every language.
    EXPECT_EQ(afterTwoLines(russian.out), afterTwoLines(english.out));
    EXPECT_NE(afterTwoLines(english.out), "");
#else
    EXPECT_EQ(russian.out, english.out);
#endif
}

} // namespace
