#include "ContentHash.h"

#include <cstring>

namespace qelt {

namespace {

constexpr std::uint64_t Prime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t Prime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t Prime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t Prime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t Prime5 = 0x27D4EB2F165667C5ull;

inline std::uint64_t rotl(std::uint64_t x, int r)
{
    return (x << r) | (x >> (64 - r));
}

inline std::uint64_t read64(const unsigned char* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint32_t read32(const unsigned char* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline std::uint64_t round(std::uint64_t acc, std::uint64_t input)
{
    acc += input * Prime2;
    acc = rotl(acc, 31);
    return acc * Prime1;
}

inline std::uint64_t merge(std::uint64_t acc, std::uint64_t lane)
{
    acc ^= round(0, lane);
    return acc * Prime1 + Prime4;
}

} // namespace

ContentHash::ContentHash() : m_lanes{Prime1 + Prime2, Prime2, 0, 0 - Prime1} {}

void ContentHash::consumeStripe(const unsigned char* p)
{
    m_lanes[0] = round(m_lanes[0], read64(p));
    m_lanes[1] = round(m_lanes[1], read64(p + 8));
    m_lanes[2] = round(m_lanes[2], read64(p + 16));
    m_lanes[3] = round(m_lanes[3], read64(p + 24));
}

void ContentHash::update(std::string_view bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    m_total += n;
    if (m_buffered > 0) {
        const std::size_t take = n < 32 - m_buffered ? n : 32 - m_buffered;
        std::memcpy(m_buffer + m_buffered, p, take);
        m_buffered += take;
        p += take;
        n -= take;
        if (m_buffered < 32)
            return;
        consumeStripe(m_buffer);
        m_buffered = 0;
    }
    // The four lanes are independent, so the processor works on them side by side.
    std::uint64_t a = m_lanes[0], b = m_lanes[1], c = m_lanes[2], d = m_lanes[3];
    while (n >= 32) {
        a = round(a, read64(p));
        b = round(b, read64(p + 8));
        c = round(c, read64(p + 16));
        d = round(d, read64(p + 24));
        p += 32;
        n -= 32;
    }
    m_lanes[0] = a;
    m_lanes[1] = b;
    m_lanes[2] = c;
    m_lanes[3] = d;
    if (n > 0) {
        std::memcpy(m_buffer, p, n);
        m_buffered = n;
    }
}

std::uint64_t ContentHash::value() const
{
    std::uint64_t h;
    if (m_total >= 32) {
        h = rotl(m_lanes[0], 1) + rotl(m_lanes[1], 7) + rotl(m_lanes[2], 12) + rotl(m_lanes[3], 18);
        for (const std::uint64_t lane : m_lanes)
            h = merge(h, lane);
    } else {
        h = m_lanes[2] + Prime5;
    }
    h += m_total;
    const unsigned char* p = m_buffer;
    std::size_t n = m_buffered;
    while (n >= 8) {
        h ^= round(0, read64(p));
        h = rotl(h, 27) * Prime1 + Prime4;
        p += 8;
        n -= 8;
    }
    if (n >= 4) {
        h ^= static_cast<std::uint64_t>(read32(p)) * Prime1;
        h = rotl(h, 23) * Prime2 + Prime3;
        p += 4;
        n -= 4;
    }
    while (n > 0) {
        h ^= static_cast<std::uint64_t>(*p) * Prime5;
        h = rotl(h, 11) * Prime1;
        ++p;
        --n;
    }
    h ^= h >> 33;
    h *= Prime2;
    h ^= h >> 29;
    h *= Prime3;
    h ^= h >> 32;
    return h;
}

std::uint64_t HashBytes(std::string_view bytes)
{
    ContentHash hash;
    hash.update(bytes);
    return hash.value();
}

} // namespace qelt
