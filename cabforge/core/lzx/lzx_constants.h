// LZX format constants and the position-slot tables.
#pragma once

#include <cstdint>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace lzx {

inline unsigned floorLog2(std::uint32_t v) { // v > 0
#if defined(_MSC_VER)
    unsigned long index;
    _BitScanReverse(&index, v);
    return static_cast<unsigned>(index);
#else
    return 31 - static_cast<unsigned>(__builtin_clz(v));
#endif
}

constexpr unsigned kMinWindowBits = 15;
constexpr unsigned kMaxWindowBits = 21;

constexpr unsigned kMinMatch = 2;
constexpr unsigned kMaxMatch = 257;
constexpr unsigned kNumPrimaryLengths = 7; // length headers 0..6 mean lengths 2..8; 7 means "see length tree"
constexpr unsigned kNumChars = 256;
constexpr unsigned kMaxSlots = 50; // 2^21 window
constexpr unsigned kMainSymbolsMax = kNumChars + 8 * kMaxSlots;
constexpr unsigned kLengthSymbols = 249;
constexpr unsigned kAlignedSymbols = 8;
constexpr unsigned kPretreeSymbols = 20;
constexpr unsigned kNumRepeats = 3;

// Code length limits. The main and length trees may use the format's 16 bits; the pretree is held to 7
// because at least one reader decodes it with a 7-bit table; aligned lengths are 3-bit fields.
constexpr unsigned kMaxMainLen = 16;
constexpr unsigned kMaxLengthLen = 16;
constexpr unsigned kMaxPretreeLen = 7;
constexpr unsigned kMaxAlignedLen = 7;

// Largest offset the encoder uses: window - 8. The format allows window - 3, but 7-Zip (26.02) decodes
// matches at window - 3 wrongly when they are longer than 3 bytes; window - 4 and below decode right in
// every reader, and the margin costs nothing measurable.
constexpr std::uint32_t maxEncoderOffset(unsigned windowBits) {
    return (std::uint32_t(1) << windowBits) - 8;
}

enum BlockType : unsigned { kBlockVerbatim = 1, kBlockAligned = 2, kBlockUncompressed = 3 };

// E8 translation size written in the stream header; translation stops 1 GiB into the folder.
constexpr std::uint32_t kE8TranslationSize = 12000000;
constexpr std::uint32_t kE8MaxPosition = 1u << 30;

// Extra (footer) bits of a position slot: 0 for slots 0-3, slot/2 - 1 up to slot 35, then 17.
constexpr unsigned slotExtraBits(unsigned slot) {
    return slot < 4 ? 0 : slot < 36 ? slot / 2 - 1 : 17;
}

// Formatted offset (offset + 2) at which a slot begins.
constexpr std::uint32_t slotBase(unsigned slot) {
    std::uint32_t base = 0;
    for (unsigned s = 0; s < slot; ++s)
        base += std::uint32_t(1) << slotExtraBits(s);
    return base;
}

// Number of position slots for a window: the smallest n with slotBase(n) >= window.
constexpr unsigned slotCount(unsigned windowBits) {
    unsigned n = 0;
    while (slotBase(n) < (std::uint32_t(1) << windowBits))
        ++n;
    return n;
}

// Position slot of a formatted offset f >= 3 (explicit offsets; slots 0-2 are the repeat slots).
inline unsigned slotOfFormatted(std::uint32_t f) {
    if (f < 4)
        return f;
    if (f < 262144) {
        unsigned k = floorLog2(f);
        return 2 * k + ((f >> (k - 1)) & 1);
    }
    return 36 + ((f - 262144) >> 17);
}

static_assert(slotCount(15) == 30 && slotCount(16) == 32 && slotCount(17) == 34 && slotCount(18) == 36 &&
                  slotCount(19) == 38 && slotCount(20) == 42 && slotCount(21) == 50,
              "slot counts per window size");
static_assert(slotBase(49) == 262144 + 131072 * 13, "slot 49 base");

} // namespace lzx
