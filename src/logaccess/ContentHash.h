#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qelt {

// A fast 64-bit hash of a byte stream fed in pieces of any size (the XXH64 construction): the
// same bytes give the same value however they are cut. Tells whether a log still holds what it
// held; not meant to withstand deliberate forgery.
class ContentHash
{
public:
    ContentHash();
    void update(std::string_view bytes);
    std::uint64_t value() const;
    std::uint64_t size() const { return m_total; }

private:
    void consumeStripe(const unsigned char* p);

    std::uint64_t m_lanes[4];
    unsigned char m_buffer[32];
    std::size_t m_buffered = 0;
    std::uint64_t m_total = 0;
};

// The hash of bytes in one call.
std::uint64_t HashBytes(std::string_view bytes);

} // namespace qelt
