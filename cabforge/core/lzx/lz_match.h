// Shared pieces of the match finders: the match record and the byte-run comparison.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace lzx {

struct LzMatch {
    std::uint32_t offset; // distance back, >= 1
    std::uint32_t length;
};

inline unsigned trailingZeros64(std::uint64_t v) { // v != 0
#if defined(_MSC_VER)
    unsigned long index;
    _BitScanForward64(&index, v);
    return static_cast<unsigned>(index);
#else
    return static_cast<unsigned>(__builtin_ctzll(v));
#endif
}

// Hints the cache to fetch the line holding `p`; the match finders issue it as soon as an address is
// known so that two dependent misses overlap.
inline void prefetchRead(const void *p) {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char *>(p), _MM_HINT_T0);
#elif defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// Length of the common run of `a` and `b`, starting at `len` (already known equal), up to `maxLen`.
// Reads only bytes below a + maxLen and b + maxLen.
inline unsigned extendMatch(const std::uint8_t *a, const std::uint8_t *b, unsigned len, unsigned maxLen) {
    while (len + 8 <= maxLen) {
        std::uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        const std::uint64_t diff = x ^ y;
        if (diff != 0)
            return len + (trailingZeros64(diff) >> 3); // little-endian hosts only (x86, x64, arm64)
        len += 8;
    }
    while (len < maxLen && a[len] == b[len])
        ++len;
    return len;
}

inline std::uint32_t load16(const std::uint8_t *p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}

inline std::uint32_t load24(const std::uint8_t *p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16;
}

inline std::uint32_t load32(const std::uint8_t *p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline std::uint32_t hash32(const std::uint8_t *p, unsigned bits) {
    return (load32(p) * 0x1E35A7BDu) >> (32 - bits);
}

inline std::uint32_t hash24(const std::uint8_t *p, unsigned bits) {
    return (load24(p) * 0x9E3779B1u) >> (32 - bits);
}

} // namespace lzx
