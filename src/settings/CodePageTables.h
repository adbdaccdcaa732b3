#pragma once

#include <cstddef>

// Byte-to-Unicode tables of the single-byte code pages, generated from glibc iconv by
// scripts/gen-codepages/gen_codepages.py. Internal to the code page conversions.
namespace qelt::codepages {

// One code page: the Unicode code point of every byte, U+FFFD where the page defines none.
struct PageTable
{
    int number;
    const char16_t* toUnicode; // 256 entries
};

extern const PageTable Pages[];
extern const std::size_t PageCount;

} // namespace qelt::codepages
