#pragma once

#include "filters/Records.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qelt {

// The colour of a request row: the group colour of the first filter, in FilterFile.tdf's order,
// whose text the display URL contains (bytes, case-sensitive). None when either store file is
// missing, no filter matches, or the first matching filter's group has no record. Both files are
// read afresh on every call and never written; parsing is reused only while their bytes are the
// same, so every change by any program is seen at the next call. Not thread-safe: one rule per
// thread (the window keeps one for its painting). Example:
//   RowColorRule rule(AppDir());
//   std::string error;
//   if (auto colour = rule.RowColorNoThrow(url, error)) paintRow(*colour);
//   if (!error.empty()) showOnce(error);
class RowColorRule
{
public:
    // The rule over the store files of appDir.
    explicit RowColorRule(const std::string& appDir);
    ~RowColorRule();
    RowColorRule(const RowColorRule&) = delete;
    RowColorRule& operator=(const RowColorRule&) = delete;

    // The row colour for url; throws FileIOError when a store file exists but cannot be read.
    std::optional<ColorValue> RowColor(std::string_view url);

    // As RowColor, but never throws: an unreadable file gives none, and error receives its
    // message only the first time after the files were last readable (else it is cleared).
    std::optional<ColorValue> RowColorNoThrow(std::string_view url, std::string& error);

private:
    struct Cache;
    std::unique_ptr<Cache> m_cache;
};

// One evaluation with a rule of its own over appDir's store files; throws FileIOError.
std::optional<ColorValue> RowColor(const std::string& appDir, std::string_view url);

} // namespace qelt
