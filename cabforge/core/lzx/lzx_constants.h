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
constexpr unsigned kMinLongMatch = kMinMatch + kNumPrimaryLengths; // length symbol 0
constexpr unsigned kLengthHeaders = kNumPrimaryLengths + 1;        // main symbols per position slot
constexpr unsigned kLongLengthHeader = kNumPrimaryLengths;         // "a length symbol follows"
constexpr unsigned kNumChars = 256;
constexpr unsigned kMaxSlots = 50; // 2^21 window
constexpr unsigned kMainSymbolsMax = kNumChars + kLengthHeaders * kMaxSlots;
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

// Block header: the type, then the block's uncompressed size.
constexpr unsigned kBlockTypeBits = 3;
constexpr unsigned kBlockSizeBits = 24;
// An aligned block's header starts with the aligned tree: one length field per symbol.
constexpr unsigned kAlignedLenBits = 3;
// Footers of slots with at least this many bits send their low kAlignedBits through the aligned tree
// in an aligned block; the first such slot is kMinAlignedSlot.
constexpr unsigned kAlignedBits = 3;
constexpr std::uint32_t kAlignedMask = (1u << kAlignedBits) - 1;
constexpr unsigned kMinAlignedSlot = 8;
// An uncompressed block's header ends on a word boundary with the three repeated offsets, each a
// little-endian 32-bit value.
constexpr unsigned kRepeatFieldBits = 32;
// The stream's E8 header: one flag bit, then the translation size as two 16-bit halves.
constexpr unsigned kE8FlagBits = 1;
constexpr unsigned kE8SizeHalfBits = 16;

// Code lengths are sent as pretree-coded deltas: each section starts with the pretree's lengths, then
// pretree symbols 0..kMaxLengthDelta give the new length as (previous - symbol) mod kLengthDeltaModulus,
// and three run symbols cover several lengths at once, each followed by a field of extra bits that
// counts the run from its minimum.
constexpr unsigned kPretreeLenBits = 4;
constexpr unsigned kMaxLengthDelta = 16;
constexpr unsigned kLengthDeltaModulus = 17;
struct PretreeRun {
    unsigned symbol;
    unsigned extraBits;
    unsigned minRun;
    constexpr unsigned maxRun() const { return minRun + (1u << extraBits) - 1; }
};
constexpr PretreeRun kShortZeroRun = {17, 4, 4}; // 4..19 lengths of 0
constexpr PretreeRun kLongZeroRun = {18, 5, 20}; // 20..51 lengths of 0
// 4..5 equal lengths, followed by the one delta symbol (0..kMaxLengthDelta) they share, taken against
// the first length's previous value.
constexpr PretreeRun kSameRun = {19, 1, 4};

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

static_assert(kShortZeroRun.maxRun() == 19 && kLongZeroRun.maxRun() == 51 && kSameRun.maxRun() == 5,
              "pretree run ranges");
static_assert(slotExtraBits(kMinAlignedSlot) == kAlignedBits &&
                  slotExtraBits(kMinAlignedSlot - 1) < kAlignedBits,
              "first slot with aligned footer bits");
static_assert(slotCount(15) == 30 && slotCount(16) == 32 && slotCount(17) == 34 && slotCount(18) == 36 &&
                  slotCount(19) == 38 && slotCount(20) == 42 && slotCount(21) == 50,
              "slot counts per window size");
static_assert(slotBase(49) == 262144 + 131072 * 13, "slot 49 base");

} // namespace lzx
