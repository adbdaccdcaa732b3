#include "logaccess/LogTime.h"

#include <array>

namespace qelt {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool IsLeap(unsigned y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(unsigned y, unsigned m)
{
    static constexpr std::array<unsigned, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Reads exactly `width` digits at pos.
bool Digits(std::string_view text, std::size_t& pos, std::size_t width, unsigned& value)
{
    if (pos + width > text.size())
        return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    pos += width;
    return true;
}

bool Expect(std::string_view text, std::size_t& pos, char c)
{
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

// The month of an English three-letter name in any case: 1 to 12, or 0.
unsigned MonthOfName(std::string_view name)
{
    static constexpr std::array<std::string_view, 12> names{
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    if (name.size() != 3)
        return 0;
    char lower[3];
    for (std::size_t i = 0; i < 3; ++i) {
        const char c = name[i];
        lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
    }
    for (std::size_t m = 0; m < names.size(); ++m) {
        if (std::string_view(lower, 3) == names[m])
            return static_cast<unsigned>(m + 1);
    }
    return 0;
}

struct Fields
{
    unsigned year = 0, month = 0, day = 0;
    unsigned hour = 0, minute = 0, second = 0;
    int given = 3; // how many of the six fields the text gave
};

std::optional<LogTime> Compose(Fields f, TimeBound bound)
{
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > DaysInMonth(f.year, f.month))
        return std::nullopt;
    if (bound == TimeBound::Upper) {
        if (f.given < 4)
            f.hour = 23;
        if (f.given < 5)
            f.minute = 59;
        if (f.given < 6)
            f.second = 59;
    }
    if (f.hour > 23 || f.minute > 59 || f.second > 60)
        return std::nullopt;
    return DaysFromCivil(f.year, f.month, f.day) * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
}

// The ":HH[:MM[:SS]]" or " HH[:MM[:SS]]" tail after a date; `lead` is the byte before the hour.
bool ReadClock(std::string_view text, std::size_t& pos, Fields& f, bool needAll)
{
    unsigned* parts[3] = {&f.hour, &f.minute, &f.second};
    for (int k = 0; k < 3; ++k) {
        if (k > 0 && !needAll && pos == text.size())
            return true;
        if (k > 0 && !Expect(text, pos, ':'))
            return false;
        if (!Digits(text, pos, 2, *parts[k]))
            return false;
        f.given = 4 + k;
    }
    return true;
}

std::optional<Fields> ReadLogForm(std::string_view text, bool whole)
{
    Fields f;
    std::size_t pos = 0;
    if (!Digits(text, pos, 2, f.day) || !Expect(text, pos, '/'))
        return std::nullopt;
    if (pos + 3 > text.size())
        return std::nullopt;
    f.month = MonthOfName(text.substr(pos, 3));
    pos += 3;
    if (f.month == 0 || !Expect(text, pos, '/') || !Digits(text, pos, 4, f.year))
        return std::nullopt;
    if (pos == text.size() && !whole)
        return f;
    if (!Expect(text, pos, ':') || !ReadClock(text, pos, f, whole) || pos != text.size())
        return std::nullopt;
    return f;
}

std::optional<Fields> ReadIsoForm(std::string_view text)
{
    Fields f;
    std::size_t pos = 0;
    if (!Digits(text, pos, 4, f.year) || !Expect(text, pos, '-') ||
        !Digits(text, pos, 2, f.month) || !Expect(text, pos, '-') || !Digits(text, pos, 2, f.day))
        return std::nullopt;
    if (pos == text.size())
        return f;
    if (text[pos] != ' ' && text[pos] != 'T')
        return std::nullopt;
    ++pos;
    if (!ReadClock(text, pos, f, false) || pos != text.size())
        return std::nullopt;
    return f;
}

} // namespace

std::optional<LogTime> ParseLogTime(std::string_view date)
{
    if (date.size() != 20)
        return std::nullopt;
    const std::optional<Fields> f = ReadLogForm(date, true);
    if (!f)
        return std::nullopt;
    return Compose(*f, TimeBound::Lower);
}

std::optional<LogTime> ParseTimeBound(std::string_view text, TimeBound bound)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    std::optional<Fields> f = ReadLogForm(text, false);
    if (!f)
        f = ReadIsoForm(text);
    if (!f)
        return std::nullopt;
    return Compose(*f, bound);
}

} // namespace qelt
