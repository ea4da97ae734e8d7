// LZX encoder for cabinet folders.
//
// Order of this file: tunables, encoder state, Huffman trees and their pretree-coded headers, block
// output, the parsers (lazy over hash chains, near-optimal over binary trees), public entry points.
//
// A block (verbatim or aligned offset) may span up to kMaxBlockFrames frames: after each frame is parsed,
// the encoder prices adding it to the open block against starting a new block with trees of its own,
// and codes a frame that does not compress as an uncompressed block of its own. A block is written out,
// frame by frame, when the next one starts or the stream ends; each frame's bits end on a 16-bit
// boundary, and matches never cross the frame end. The window, the repeated-offset queue and the
// previous code lengths carry over from frame to frame and block to block.
#include "cabforge/core/lzx/lzx_encoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "cabforge/core/lzx/bt_matchfinder.h"
#include "cabforge/core/lzx/hc_matchfinder.h"
#include "cabforge/core/lzx/huffman.h"
#include "cabforge/core/lzx/lzx_bitwriter.h"
#include "cabforge/core/lzx/lzx_constants.h"
#include "cabforge/core/lzx/lzx_e8.h"

namespace lzx {

namespace {

// ---------------------------------------------------------------------------------------------
// Tunables

// Frames one block may span. Longer blocks save tree headers but adapt less to changing data, and the
// encoder holds a block's parsed items until it is written.
constexpr unsigned kMaxBlockFrames = 8;

// Thresholds for a further pass (see LevelParams::repassGain): below a 2% gain the pass does not pay for
// its time at the faster levels; the maximum level still takes one of 0.8%, and passes that gain less
// (most of them) would cost an eighth of its time for almost nothing.
constexpr unsigned kRepassGain = 20;
constexpr unsigned kMaxLevelRepassGain = 8;

struct LevelParams {
    bool optimal;         // near-optimal parsing over binary trees, else lazy parsing over hash chains
    unsigned lazyBelow;   // lazy parser: look one byte ahead before taking a match shorter than this
                          // (0: greedy); looking ahead costs a second search per match
    unsigned depth;       // match-finder steps per position: deeper finds better matches, slower
    unsigned niceLen;     // a match this long is taken at once: higher helps ratio on repetitive data
    unsigned passes;      // optimal parser: passes, each costed with the codes of the previous one;
                          // each pass gains a little ratio for a parse's worth of time
    unsigned repassGain;  // a further pass runs only when the previous pass's items, priced with the
                          // code they produce, come out at least this share (in 1/1024) cheaper than
                          // with the costs the pass used (0: whenever they are cheaper at all)
    unsigned blockFrames; // frames one block may span, 1..kMaxBlockFrames: pricing whether a frame
                          // joins the open block costs the time of building its trees twice
    unsigned gapLiterals; // optimal parser: up to this many literals between a match and a repeat of
                          // its offset are priced as one step (0: none); each costs a compare per match
    bool thorough;        // optimal parser: that step after every match, not only the longest one, and
                          // every length of every repeat
    unsigned arrivals;    // optimal parser: 1, or 2 to keep a second way into each position with another
                          // R0, since the queue of the cheapest path is only a guess at the best one
};

// Level 0 trades ratio for speed with short hash chains and a block per frame; level 1 parses near
// optimally over shallow binary-tree searches in one pass.
// Level 2, the default, searches 12 steps, takes matches up to 48 bytes into account at every position
// and parses each frame once, pricing a match, a literal and a repeat of the match's offset as one step:
// with that step one pass comes out as small as two passes without it. Measured on the benchmark corpus
// against this level: without the step +0.5%; 16 steps -0.3% for a fifth more time; a second pass -0.2%
// for half again the time; two literals in the step -0.2% for 6% more time.
// Level 3, the maximum, searches 32 steps for matches up to the format's longest, keeps two ways into
// each position, is thorough, allows two literals in the step and parses a frame a second time when that
// pays: 2% smaller than level 2 at a third of its speed. Against it: one way in +0.5% (at 1.6 times its
// speed), not thorough +0.2% (1.2 times); a third pass or 64 steps gain nothing measurable.
// The first frame of a folder gets one extra pass, because before it there is no code to price symbols
// with.
constexpr LevelParams kLevels[] = {
    {false, 16, 4, 16, 1, 0, 1, 0, false, 1},
    {true, 0, 8, 16, 1, kRepassGain, 8, 0, false, 1},
    {true, 0, 12, 48, 1, kRepassGain, 8, 1, false, 1},
    {true, 0, 32, kMaxMatch, 2, kMaxLevelRepassGain, 8, 2, true, 2},
};
static_assert(sizeof kLevels / sizeof kLevels[0] == kLevelMax + 1,
              "one row per level, kLevelFast .. kLevelMax");

// A second way into a position is followed only while it costs less than this many bits more than the
// cheapest: dearer ones almost never lead to a cheaper path.
constexpr std::uint32_t kSecondArrivalSlack = 16;

// Bits assumed for a symbol the previous block's code did not contain (the parser must still be able
// to price it; too low invites symbols that turn out expensive, too high hides useful ones).
constexpr unsigned kUnusedMainCost = 14;
constexpr unsigned kUnusedLengthCost = 8;
// Weight of a block's own frequencies against the one count that keeps a symbol of the previous code
// in the blended candidate code.
constexpr std::uint32_t kBlendScale = 2;
// Costs of the first frame's first pass, before any code exists.
constexpr unsigned kDefaultMatchSymbolCost = 9;
constexpr unsigned kDefaultLengthSymbolCost = 6;

// History kept beyond one window when the buffer slides: the last positions of a frame are inserted
// into the binary trees only with the next frame, and their matches reach a window back from there.
constexpr std::uint32_t kHistoryMargin = 1024;

constexpr std::uint32_t kInfiniteCost = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------------------------
// State

// One parsed token: a literal (length 0) or a match with its offset code: 0-2 for the repeated
// offsets R0-R2, else the formatted offset (offset + 2).
struct Item {
    std::uint16_t length;
    std::uint8_t literal;
    std::uint32_t offsetCode;
};

// One way into a position of the optimal parser: the cost of the cheapest path found to it and that
// path's last step, packed as offsetCode << 9 | length (length 1 for a literal). Kept to 8 bytes, because
// the parser updates many nodes ahead of each position; the repeated-offset queues and what a second
// way in needs live in arrays of their own.
struct OptimalNode {
    std::uint32_t cost;
    std::uint32_t step;
};

// Two ways into a position of the optimal parser: the cheapest, and the cheapest whose R0 differs from it, so
// that a path which costs a little more but keeps a useful offset in front survives until a repeat can use
// it. Both live in one cache line's half, and the way into the origin a step continues rides in the step's
// bit 30.
struct WayPair {
    std::uint32_t cost[2];
    std::uint32_t step[2];
    std::uint32_t r0[2];
    std::uint32_t gap[2];
};
constexpr unsigned kOriginShift = 30;

struct RepeatQueue {
    std::uint32_t r[kNumRepeats];
};

constexpr unsigned kStepLengthBits = 9;
// Marks a gap step: a match, 1..3 literals, then a repeat of the match's offset (R0). Its length field is
// the repeat's, the literal count sits above it, and the match before the gap is kept in a side array.
constexpr std::uint32_t kGapStep = 0x80000000u;

unsigned stepLength(std::uint32_t step) {
    return step & ((1u << kStepLengthBits) - 1);
}

unsigned gapLiteralCount(std::uint32_t step) {
    return (step & ~kGapStep) >> kStepLengthBits;
}

// What the parser prices items with: bits per symbol, and per offset slot and length the bits of a
// whole match (main symbol, length symbol, footer). Pricing the footers of aligned blocks by their
// aligned code measured no gain.
struct Costs {
    std::uint32_t main[kMainSymbolsMax];
    std::uint32_t length[kLengthSymbols];
    std::uint16_t match[kMaxSlots][kMaxMatch + 1];
};

struct Codes {
    std::uint8_t mainLens[kMainSymbolsMax];
    std::uint16_t mainCodes[kMainSymbolsMax];
    std::uint8_t lengthLens[kLengthSymbols];
    std::uint16_t lengthCodes[kLengthSymbols];
    std::uint8_t alignedLens[kAlignedSymbols];
    std::uint16_t alignedCodes[kAlignedSymbols];
};

struct Frequencies {
    std::uint32_t main[kMainSymbolsMax];
    std::uint32_t length[kLengthSymbols];
    std::uint32_t aligned[kAlignedSymbols];
    std::uint64_t verbatimExtraBits;
    std::uint64_t alignedRawBits; // footer bits still sent raw in an aligned block
};

// A pretree-coded section of code lengths, ready to be costed and written.
struct LengthSection {
    std::uint8_t pretreeLens[kPretreeSymbols];
    std::uint16_t pretreeCodes[kPretreeSymbols];
    unsigned itemCount;
    std::uint32_t items[kMainSymbolsMax]; // symbol | extra value << 8 | second symbol << 16
};

// The trees of one verbatim or aligned block for given frequencies, with the block's size in bits.
struct BlockPlan {
    std::uint8_t mainLens[kMainSymbolsMax];
    std::uint8_t lengthLens[kLengthSymbols];
    std::uint8_t alignedLens[kAlignedSymbols];
    LengthSection sections[3]; // literals, the rest of the main tree, the length tree
    bool aligned;
    std::uint64_t bits; // header, trees and items
};

// A coded frame waiting for takeFrame.
struct ReadyFrame {
    std::size_t size;
    std::uint32_t frameSize;
};

} // namespace

class Encoder {
  public:
    EncoderOptions options;
    LevelParams params{};
    std::uint32_t window = 0;
    unsigned mainSymbols = 0;
    std::uint32_t slotBases[kMaxSlots + 1] = {};
    unsigned slotExtra[kMaxSlots] = {};

    std::unique_ptr<std::uint8_t[]> buffer; // history (a window and a margin) plus the current frame
    std::uint32_t bufferCap = 0;
    std::uint32_t bufferStart = 0;  // stream position of buffer[0]
    std::uint32_t streamPos = 0;    // bytes of the folder consumed so far
    bool finished = false;          // the stream has ended: no further frame is accepted
    bool failed = false;            // an internal limit was hit; nothing more is accepted
    std::uint32_t deferredFrom = 0; // binary trees: first position of the last frame not inserted yet
    bool headerWritten = false;     // the stream's E8 header went out with the first coded frame

    // The queue after the last frame taken into a block (an uncompressed block leaves it unchanged).
    std::uint32_t queue[kNumRepeats] = {1, 1, 1};
    // Code lengths of the last block written: the base of the next block's length deltas.
    std::uint8_t prevMainLens[kMainSymbolsMax] = {};
    std::uint8_t prevLengthLens[kLengthSymbols] = {};
    bool haveCosts = false;
    Costs costs{};

    // The open block: its frames' items (frame f in frameItems[f], slots of kFrameSize items taken from
    // `items`), sizes, summed frequencies and the plan for them. The plans are swapped, not copied.
    unsigned blockFrames = 0;
    std::uint32_t frameSizes[kMaxBlockFrames] = {};
    Item *frameItems[kMaxBlockFrames] = {};
    std::size_t itemCounts[kMaxBlockFrames] = {};
    Frequencies blockFreqs{};
    BlockPlan plans[3];
    BlockPlan *blockPlan = &plans[0];
    BlockPlan *trialPlan = &plans[1]; // scratch: the open block with the new frame added
    BlockPlan *ownPlan = &plans[2];   // scratch: the new frame as a block of its own

    // Coded frames waiting for takeFrame, oldest first.
    std::unique_ptr<unsigned char[]> readyBytes; // kMaxBlockFrames + 1 slots of kMaxFrameOutput
    ReadyFrame ready[kMaxBlockFrames + 1] = {};
    unsigned readyFirst = 0;
    unsigned readyCount = 0;

    HashChainMatchFinder hashChains;
    BinaryTreeMatchFinder binaryTrees;

    std::unique_ptr<Item[]> items;
    // The optimal parser's ways into each position (params.arrivals per position, the cheapest first),
    // and per way: the match before the gap of a gap step, the queue after it, and with two ways its R0
    // and which way into its origin it continues.
    std::unique_ptr<OptimalNode[]> nodes; // one way per position
    std::unique_ptr<std::uint32_t[]> gapMatches;
    std::unique_ptr<WayPair[]> wayPairs; // two ways per position
    std::unique_ptr<RepeatQueue[]> nodeQueues;
    std::unique_ptr<LzMatch[]> matchCache;
    std::unique_ptr<std::uint32_t[]> matchStart; // per position: first cache index; [n] = end
    std::size_t matchCacheCap = 0;

    Codes codes{};
    Frequencies freqs{};
    Frequencies scratchFreqs{};
};

namespace {

// ---------------------------------------------------------------------------------------------
// Huffman trees and their headers

unsigned lengthHeader(unsigned length) {
    return length - kMinMatch < kNumPrimaryLengths ? length - kMinMatch : kLongLengthHeader;
}

unsigned mainSymbolOf(unsigned slot, unsigned header) {
    return kNumChars + slot * kLengthHeaders + header;
}

unsigned slotOfCode(std::uint32_t offsetCode) {
    return offsetCode < kNumRepeats ? offsetCode : slotOfFormatted(offsetCode);
}

void countFrequencies(const Encoder &enc, const Item *items, std::size_t count, Frequencies &f) {
    std::memset(&f, 0, sizeof f);
    for (std::size_t i = 0; i < count; ++i) {
        const Item &it = items[i];
        if (it.length == 0) {
            ++f.main[it.literal];
            continue;
        }
        const unsigned slot = slotOfCode(it.offsetCode);
        const unsigned header = lengthHeader(it.length);
        ++f.main[mainSymbolOf(slot, header)];
        if (header == kLongLengthHeader)
            ++f.length[it.length - kMinLongMatch];
        const unsigned extra = enc.slotExtra[slot];
        f.verbatimExtraBits += extra;
        if (extra >= kAlignedBits) {
            f.alignedRawBits += extra - kAlignedBits;
            ++f.aligned[(it.offsetCode - enc.slotBases[slot]) & kAlignedMask];
        } else {
            f.alignedRawBits += extra;
        }
    }
}

// A pretree item: the symbol, its run field and, after a same-value run, the delta symbol.
constexpr unsigned kItemFieldShift = 8;
constexpr unsigned kItemSecondShift = 16;
constexpr std::uint32_t kItemSymbolMask = (1u << kItemFieldShift) - 1;

std::uint32_t pretreeItem(unsigned symbol, unsigned field, unsigned second) {
    return symbol | field << kItemFieldShift | second << kItemSecondShift;
}

// Pretree items for lengths[from, to) against prev[from, to); returns the section's cost in bits.
std::uint64_t buildLengthSection(const std::uint8_t *lens, const std::uint8_t *prev, unsigned from,
                                 unsigned to, LengthSection &s) {
    std::uint32_t freq[kPretreeSymbols] = {};
    s.itemCount = 0;
    auto add = [&](unsigned sym, unsigned field, unsigned second) {
        s.items[s.itemCount++] = pretreeItem(sym, field, second);
        ++freq[sym];
        if (sym == kSameRun.symbol)
            ++freq[second];
    };
    auto delta = [&](unsigned i) { return (prev[i] + kLengthDeltaModulus - lens[i]) % kLengthDeltaModulus; };
    unsigned i = from;
    while (i < to) {
        unsigned run = 1;
        while (i + run < to && lens[i + run] == lens[i])
            ++run;
        if (lens[i] == 0) {
            while (run >= kLongZeroRun.minRun) {
                const unsigned r = std::min(run, kLongZeroRun.maxRun());
                add(kLongZeroRun.symbol, r - kLongZeroRun.minRun, 0);
                i += r;
                run -= r;
            }
            if (run >= kShortZeroRun.minRun) {
                add(kShortZeroRun.symbol, run - kShortZeroRun.minRun, 0);
                i += run;
                run = 0;
            }
        } else {
            while (run >= kSameRun.minRun) {
                const unsigned r = std::min(run, kSameRun.maxRun());
                add(kSameRun.symbol, r - kSameRun.minRun, delta(i));
                i += r;
                run -= r;
            }
        }
        for (; run > 0; --run, ++i)
            add(delta(i), 0, 0);
    }
    buildCodeLengths(freq, kPretreeSymbols, kMaxPretreeLen, s.pretreeLens);
    assignCanonicalCodes(s.pretreeLens, kPretreeSymbols, s.pretreeCodes);
    std::uint64_t bits = kPretreeLenBits * kPretreeSymbols;
    for (unsigned k = 0; k < s.itemCount; ++k) {
        const unsigned sym = s.items[k] & kItemSymbolMask;
        bits += s.pretreeLens[sym];
        if (sym == kShortZeroRun.symbol)
            bits += kShortZeroRun.extraBits;
        else if (sym == kLongZeroRun.symbol)
            bits += kLongZeroRun.extraBits;
        else if (sym == kSameRun.symbol)
            bits += kSameRun.extraBits + s.pretreeLens[s.items[k] >> kItemSecondShift];
    }
    return bits;
}

void writeLengthSection(BitWriter &bw, const LengthSection &s) {
    for (unsigned k = 0; k < kPretreeSymbols; ++k)
        bw.put(s.pretreeLens[k], kPretreeLenBits);
    for (unsigned k = 0; k < s.itemCount; ++k) {
        const std::uint32_t item = s.items[k];
        const unsigned sym = item & kItemSymbolMask;
        const unsigned field = (item >> kItemFieldShift) & kItemSymbolMask;
        bw.put(s.pretreeCodes[sym], s.pretreeLens[sym]);
        if (sym == kShortZeroRun.symbol) {
            bw.put(field, kShortZeroRun.extraBits);
        } else if (sym == kLongZeroRun.symbol) {
            bw.put(field, kLongZeroRun.extraBits);
        } else if (sym == kSameRun.symbol) {
            const unsigned second = item >> kItemSecondShift;
            bw.put(field, kSameRun.extraBits);
            bw.put(s.pretreeCodes[second], s.pretreeLens[second]);
        }
    }
}

template <typename T> std::uint64_t dot(const std::uint32_t *freq, const T *lens, unsigned n) {
    std::uint64_t sum = 0;
    for (unsigned i = 0; i < n; ++i)
        sum += std::uint64_t(freq[i]) * lens[i];
    return sum;
}

// Fills the per-slot match costs from the symbol costs.
void setMatchCosts(Encoder &enc) {
    Costs &c = enc.costs;
    const unsigned slots = (enc.mainSymbols - kNumChars) / kLengthHeaders;
    for (unsigned slot = 0; slot < slots; ++slot) {
        const std::uint32_t footer = enc.slotExtra[slot];
        const std::uint32_t *symbol = c.main + kNumChars + slot * kLengthHeaders;
        std::uint16_t *m = c.match[slot];
        unsigned len = kMinMatch;
        for (; len < kMinLongMatch; ++len)
            m[len] = static_cast<std::uint16_t>(symbol[len - kMinMatch] + footer);
        for (; len <= kMaxMatch; ++len)
            m[len] = static_cast<std::uint16_t>(symbol[kNumPrimaryLengths] + c.length[len - kMinLongMatch] +
                                                footer);
    }
}

void setCostsFromLengths(Encoder &enc, const std::uint8_t *mainLens, const std::uint8_t *lengthLens) {
    for (unsigned s = 0; s < enc.mainSymbols; ++s)
        enc.costs.main[s] = mainLens[s] != 0 ? mainLens[s] : kUnusedMainCost;
    for (unsigned s = 0; s < kLengthSymbols; ++s)
        enc.costs.length[s] = lengthLens[s] != 0 ? lengthLens[s] : kUnusedLengthCost;
    if (enc.params.optimal)
        setMatchCosts(enc);
}

// Costs for a first pass with no code to go by: literals priced from the frame's byte histogram.
void setDefaultCosts(Encoder &enc, const std::uint8_t *frame, std::size_t n) {
    std::uint32_t hist[kNumChars] = {};
    for (std::size_t i = 0; i < n; ++i)
        ++hist[frame[i]];
    for (unsigned c = 0; c < kNumChars; ++c) {
        unsigned cost = kUnusedMainCost;
        if (hist[c] != 0) {
            cost = floorLog2(static_cast<std::uint32_t>(n / hist[c]) | 1) + 1;
            cost = std::min(std::max(cost, 2u), kUnusedMainCost);
        }
        enc.costs.main[c] = cost;
    }
    for (unsigned s = kNumChars; s < enc.mainSymbols; ++s)
        enc.costs.main[s] = kDefaultMatchSymbolCost;
    for (unsigned s = 0; s < kLengthSymbols; ++s)
        enc.costs.length[s] = kDefaultLengthSymbolCost;
    setMatchCosts(enc);
}

// Picks the code for one tree: a fresh one for the block's frequencies, or the previous block's code
// again when that can code every symbol and comes out cheaper, because its header is all zero deltas.
// `splits` bounds the tree's pretree sections. Fills `lens` and `sections`; returns header plus symbol
// bits.
std::uint64_t chooseTree(const std::uint32_t *freq, const std::uint8_t *prev, const unsigned *splits,
                         unsigned sectionCount, unsigned maxLen, LengthSection *sections,
                         std::uint8_t *lens) {
    const unsigned count = splits[sectionCount];
    auto cost = [&](const std::uint8_t *l) {
        std::uint64_t bits = dot(freq, l, count);
        for (unsigned k = 0; k < sectionCount; ++k)
            bits += buildLengthSection(l, prev, splits[k], splits[k + 1], sections[k]);
        return bits;
    };
    bool reusable = true;
    for (unsigned s = 0; s < count && reusable; ++s)
        reusable = freq[s] == 0 || prev[s] != 0;
    std::uint8_t best[kMainSymbolsMax];
    std::uint64_t bestBits = ~std::uint64_t(0);
    if (reusable) {
        std::memcpy(best, prev, count);
        bestBits = cost(prev);
    }
    // A code for frequencies that keep the previous code's symbols alive: fewer lengths flip between zero
    // and non-zero from block to block, which makes the deltas cheaper.
    std::uint32_t blended[kMainSymbolsMax] = {};
    for (unsigned s = 0; s < count; ++s)
        blended[s] = freq[s] * kBlendScale + (prev[s] != 0 ? 1 : 0);
    buildCodeLengths(blended, count, maxLen, lens);
    const std::uint64_t blendedBits = cost(lens);
    if (blendedBits < bestBits) {
        std::memcpy(best, lens, count);
        bestBits = blendedBits;
    }
    buildCodeLengths(freq, count, maxLen, lens);
    const std::uint64_t freshBits = cost(lens);
    if (freshBits <= bestBits)
        return freshBits;
    std::memcpy(lens, best, count);
    return cost(lens);
}

// ---------------------------------------------------------------------------------------------
// Block output

void writeItems(BitWriter &bw, const Encoder &enc, const Item *items, std::size_t count, bool aligned) {
    const Codes &c = enc.codes;
    for (std::size_t i = 0; i < count; ++i) {
        const Item &it = items[i];
        if (it.length == 0) {
            bw.put(c.mainCodes[it.literal], c.mainLens[it.literal]);
            continue;
        }
        const unsigned slot = slotOfCode(it.offsetCode);
        const unsigned header = lengthHeader(it.length);
        const unsigned sym = mainSymbolOf(slot, header);
        bw.put(c.mainCodes[sym], c.mainLens[sym]);
        if (header == kLongLengthHeader)
            bw.put(c.lengthCodes[it.length - kMinLongMatch], c.lengthLens[it.length - kMinLongMatch]);
        const unsigned extra = enc.slotExtra[slot];
        if (extra == 0)
            continue;
        const std::uint32_t footer = it.offsetCode - enc.slotBases[slot];
        if (aligned && extra >= kAlignedBits) {
            bw.put(footer >> kAlignedBits, extra - kAlignedBits);
            bw.put(c.alignedCodes[footer & kAlignedMask], c.alignedLens[footer & kAlignedMask]);
        } else {
            bw.put(footer, extra);
        }
    }
}

void addFrequencies(Frequencies &sum, const Frequencies &a, const Frequencies &b) {
    for (unsigned s = 0; s < kMainSymbolsMax; ++s)
        sum.main[s] = a.main[s] + b.main[s];
    for (unsigned s = 0; s < kLengthSymbols; ++s)
        sum.length[s] = a.length[s] + b.length[s];
    for (unsigned s = 0; s < kAlignedSymbols; ++s)
        sum.aligned[s] = a.aligned[s] + b.aligned[s];
    sum.verbatimExtraBits = a.verbatimExtraBits + b.verbatimExtraBits;
    sum.alignedRawBits = a.alignedRawBits + b.alignedRawBits;
}

// Builds the aligned tree for the footers counted in `f` and adds the footers' bits to `bits`: true when
// an aligned block (its tree's header included) sends them in fewer bits than a verbatim one.
bool chooseAligned(const Frequencies &f, std::uint8_t *alignedLens, std::uint64_t &bits) {
    buildCodeLengths(f.aligned, kAlignedSymbols, kMaxAlignedLen, alignedLens);
    std::uint64_t alignedBits = 0;
    for (unsigned s = 0; s < kAlignedSymbols; ++s)
        alignedBits += f.aligned[s];
    bool aligned = false;
    if (alignedBits != 0) {
        alignedBits = kAlignedLenBits * kAlignedSymbols + f.alignedRawBits +
                      dot(f.aligned, alignedLens, kAlignedSymbols);
        aligned = alignedBits < f.verbatimExtraBits;
    }
    bits += aligned ? alignedBits : f.verbatimExtraBits;
    return aligned;
}

// Plans a verbatim or aligned block for the frequencies `f`, its length deltas taken against prevMain and
// prevLength, and prices it.
void planBlock(const Encoder &enc, const Frequencies &f, const std::uint8_t *prevMain,
               const std::uint8_t *prevLength, BlockPlan &p) {
    const unsigned mainSplits[] = {0, kNumChars, enc.mainSymbols};
    const unsigned lengthSplits[] = {0, kLengthSymbols};
    std::uint64_t bits = kBlockTypeBits + kBlockSizeBits;
    bits += chooseTree(f.main, prevMain, mainSplits, 2, kMaxMainLen, p.sections, p.mainLens);
    bits += chooseTree(f.length, prevLength, lengthSplits, 1, kMaxLengthLen, p.sections + 2, p.lengthLens);
    p.aligned = chooseAligned(f, p.alignedLens, bits);
    p.bits = bits;
}

// Bits of a frame as an uncompressed block: header, at most a word to the boundary, the queue, the bytes
// and a pad byte after an odd count.
std::uint64_t uncompressedBits(std::size_t n) {
    constexpr unsigned kWordBits = 16, kByteBits = 8;
    return kBlockTypeBits + kBlockSizeBits + kWordBits + kNumRepeats * kRepeatFieldBits +
           kByteBits * std::uint64_t(n + (n & 1));
}

constexpr unsigned kReadySlots = kMaxBlockFrames + 1;

unsigned char *nextReadySlot(Encoder &enc) {
    const unsigned slot = (enc.readyFirst + enc.readyCount) % kReadySlots;
    return enc.readyBytes.get() + std::size_t(slot) * kMaxFrameOutput;
}

void pushReady(Encoder &enc, std::size_t size, std::uint32_t frameSize) {
    enc.ready[(enc.readyFirst + enc.readyCount) % kReadySlots] = ReadyFrame{size, frameSize};
    ++enc.readyCount;
}

// The stream starts with the E8 translation header, ahead of the first block.
void writeStreamHeader(Encoder &enc, BitWriter &bw) {
    if (enc.headerWritten)
        return;
    if (enc.options.e8Translation) {
        bw.put(1, kE8FlagBits);
        bw.put(kE8TranslationSize >> kE8SizeHalfBits, kE8SizeHalfBits);
        bw.put(kE8TranslationSize & ((1u << kE8SizeHalfBits) - 1), kE8SizeHalfBits);
    } else {
        bw.put(0, kE8FlagBits);
    }
    enc.headerWritten = true;
}

// Writes frames [first, last) of the open block as one block coded with `p`, each frame's bits ending on
// a word boundary, and makes p's lengths the previous ones. Returns false, having kept nothing, when a
// frame would not fit its CFDATA.
bool writeBlockFrames(Encoder &enc, unsigned first, unsigned last, const BlockPlan &p) {
    Codes &c = enc.codes;
    std::memcpy(c.mainLens, p.mainLens, enc.mainSymbols);
    std::memcpy(c.lengthLens, p.lengthLens, kLengthSymbols);
    std::memcpy(c.alignedLens, p.alignedLens, kAlignedSymbols);
    assignCanonicalCodes(c.mainLens, enc.mainSymbols, c.mainCodes);
    assignCanonicalCodes(c.lengthLens, kLengthSymbols, c.lengthCodes);
    assignCanonicalCodes(c.alignedLens, kAlignedSymbols, c.alignedCodes);
    std::uint32_t blockSize = 0;
    for (unsigned f = first; f < last; ++f)
        blockSize += enc.frameSizes[f];

    const unsigned readyBefore = enc.readyCount;
    const bool headerBefore = enc.headerWritten;
    for (unsigned f = first; f < last; ++f) {
        BitWriter bw(nextReadySlot(enc), kMaxFrameOutput);
        writeStreamHeader(enc, bw);
        if (f == first) {
            bw.put(p.aligned ? kBlockAligned : kBlockVerbatim, kBlockTypeBits);
            bw.put(blockSize, kBlockSizeBits);
            if (p.aligned)
                for (unsigned s = 0; s < kAlignedSymbols; ++s)
                    bw.put(c.alignedLens[s], kAlignedLenBits);
            for (const LengthSection &section : p.sections)
                writeLengthSection(bw, section);
        }
        writeItems(bw, enc, enc.frameItems[f], enc.itemCounts[f], p.aligned);
        bw.alignToWord();
        if (bw.overflowed()) {
            enc.readyCount = readyBefore;
            enc.headerWritten = headerBefore;
            return false;
        }
        pushReady(enc, bw.size(), enc.frameSizes[f]);
    }
    std::memcpy(enc.prevMainLens, p.mainLens, enc.mainSymbols);
    std::memcpy(enc.prevLengthLens, p.lengthLens, kLengthSymbols);
    return true;
}

// Writes the open block and empties it. Should one of its frames not fit its CFDATA under the block's
// shared code (a frame whose statistics differ wildly from the rest), every frame is written as a block
// of its own instead; such a block is never larger than the frame uncompressed, because frames that would
// be were coded as uncompressed blocks.
bool writeOpenBlock(Encoder &enc) {
    if (enc.blockFrames == 0)
        return true;
    if (!writeBlockFrames(enc, 0, enc.blockFrames, *enc.blockPlan)) {
        for (unsigned f = 0; f < enc.blockFrames; ++f) {
            countFrequencies(enc, enc.frameItems[f], enc.itemCounts[f], enc.scratchFreqs);
            planBlock(enc, enc.scratchFreqs, enc.prevMainLens, enc.prevLengthLens, *enc.trialPlan);
            if (!writeBlockFrames(enc, f, f + 1, *enc.trialPlan))
                return false;
        }
    }
    enc.blockFrames = 0;
    setCostsFromLengths(enc, enc.prevMainLens, enc.prevLengthLens);
    return true;
}

// An uncompressed block for one frame. It carries the queue as it stood before the frame, which stays in
// force after it; the code lengths stay those of the last coded block.
bool writeUncompressed(Encoder &enc, const std::uint8_t *frame, std::size_t n) {
    BitWriter bw(nextReadySlot(enc), kMaxFrameOutput);
    writeStreamHeader(enc, bw);
    bw.put(kBlockUncompressed, kBlockTypeBits);
    bw.put(static_cast<std::uint32_t>(n), kBlockSizeBits);
    bw.padForRawData();
    for (std::uint32_t r : enc.queue)
        bw.putRawU32(r);
    bw.putRaw(frame, n);
    if (n & 1) {
        const unsigned char zero = 0;
        bw.putRaw(&zero, 1);
    }
    if (bw.overflowed()) // cannot happen: the bound is one frame plus its headers
        return false;
    pushReady(enc, bw.size(), static_cast<std::uint32_t>(n));
    return true;
}

// Places a parsed frame (its `count` items in the next free slot, their frequencies in enc.freqs) in a
// block: as an uncompressed block when it does not compress on its own; else in the open block when one
// shared code for both is cheaper than a block of its own; else it starts a new block. The open block is
// written out whenever it ends.
bool placeFrame(Encoder &enc, const std::uint8_t *frame, std::size_t n, std::size_t count,
                const std::uint32_t *queueAfter) {
    const unsigned slot = enc.blockFrames;
    const Frequencies &f = enc.freqs;
    const bool open = slot != 0;
    planBlock(enc, f, open ? enc.blockPlan->mainLens : enc.prevMainLens,
              open ? enc.blockPlan->lengthLens : enc.prevLengthLens, *enc.ownPlan);
    if (enc.ownPlan->bits >= uncompressedBits(n))
        return writeOpenBlock(enc) && writeUncompressed(enc, frame, n);

    // A full block was written when its last frame came in, so an open block always has room.
    bool join = false;
    if (open) {
        addFrequencies(enc.scratchFreqs, enc.blockFreqs, f);
        planBlock(enc, enc.scratchFreqs, enc.prevMainLens, enc.prevLengthLens, *enc.trialPlan);
        join = enc.trialPlan->bits <= enc.blockPlan->bits + enc.ownPlan->bits;
    }
    if (join) {
        enc.blockFreqs = enc.scratchFreqs;
        std::swap(enc.blockPlan, enc.trialPlan);
    } else {
        enc.blockFreqs = f;
        if (open) {
            if (!writeOpenBlock(enc))
                return false;
            std::swap(enc.frameItems[0], enc.frameItems[slot]);
            // The own plan took its deltas against the open block's lengths; when the block had to be
            // written frame by frame, the lengths written last differ.
            if (std::memcmp(enc.prevMainLens, enc.blockPlan->mainLens, enc.mainSymbols) != 0 ||
                std::memcmp(enc.prevLengthLens, enc.blockPlan->lengthLens, kLengthSymbols) != 0)
                planBlock(enc, f, enc.prevMainLens, enc.prevLengthLens, *enc.ownPlan);
        }
        std::swap(enc.blockPlan, enc.ownPlan);
    }
    const unsigned b = enc.blockFrames++;
    enc.frameSizes[b] = static_cast<std::uint32_t>(n);
    enc.itemCounts[b] = count;
    std::memcpy(enc.queue, queueAfter, sizeof enc.queue);
    setCostsFromLengths(enc, enc.blockPlan->mainLens, enc.blockPlan->lengthLens);
    enc.haveCosts = true;
    return enc.blockFrames < enc.params.blockFrames || writeOpenBlock(enc);
}

// ---------------------------------------------------------------------------------------------
// Parsers. Both read the frame at `frame` (earlier history lies before it in the buffer) and produce
// items plus the repeated-offset queue after them, and leave the items' frequencies in enc.freqs.

// Longest repeated-offset match at `p`; returns its length (0 if under 2) and sets `which`.
unsigned longestRepeat(const std::uint8_t *p, std::uint32_t reach, const std::uint32_t *queue,
                       unsigned maxLen, unsigned &which) {
    unsigned best = 0;
    which = 0;
    for (unsigned k = 0; k < kNumRepeats; ++k) {
        const std::uint32_t off = queue[k];
        if (off > reach)
            continue;
        const std::uint8_t *m = p - off;
        if (m[0] != p[0] || m[1] != p[1])
            continue;
        const unsigned len = extendMatch(p, m, 2, maxLen);
        if (len > best) {
            best = len;
            which = k;
        }
    }
    return best;
}

void updateQueue(std::uint32_t *q, std::uint32_t offsetCode) {
    if (offsetCode >= kNumRepeats) {
        q[2] = q[1];
        q[1] = q[0];
        q[0] = offsetCode - 2;
    } else if (offsetCode != 0) {
        std::swap(q[0], q[offsetCode]);
    }
}

// Rough bit cost of an offset for the lazy parser's choice between candidates.
int offsetScoreBits(const Encoder &enc, std::uint32_t offsetCode) {
    if (offsetCode < kNumRepeats)
        return offsetCode == 0 ? 1 : 2;
    return static_cast<int>(enc.slotExtra[slotOfFormatted(offsetCode)]) + 5;
}

int matchScore(const Encoder &enc, unsigned length, std::uint32_t offsetCode) {
    return static_cast<int>(length) * 8 - offsetScoreBits(enc, offsetCode);
}

struct Candidate {
    unsigned length;
    std::uint32_t offsetCode;
};

// Where the current frame's items go: the slot after the open block's frames.
Item *currentFrameItems(Encoder &enc) {
    return enc.frameItems[enc.blockFrames];
}

std::size_t parseLazy(Encoder &enc, const std::uint8_t *frame, std::size_t n, std::uint32_t *queue) {
    Item *items = currentFrameItems(enc);
    std::size_t count = 0;
    const std::uint32_t base = enc.streamPos + enc.window; // biased position of frame[0]
    const LevelParams &lp = enc.params;
    std::size_t nextInsert = 0;

    // Best candidate at i (inserting i into the chains); length 0 when nothing worth coding.
    auto candidateAt = [&](std::size_t i) -> Candidate {
        const unsigned maxLen = static_cast<unsigned>(std::min<std::size_t>(kMaxMatch, n - i));
        Candidate best{0, 0};
        if (maxLen < 2)
            return best;
        unsigned which = 0;
        const unsigned repLen =
            longestRepeat(frame + i, enc.streamPos + static_cast<std::uint32_t>(i), queue, maxLen, which);
        if (repLen >= 2)
            best = Candidate{repLen, which};
        if (maxLen >= 3 && i == nextInsert) {
            ++nextInsert;
            if (repLen < lp.niceLen) {
                const LzMatch m = enc.hashChains.findAndInsert(
                    frame + i, base + static_cast<std::uint32_t>(i), maxLen, lp.niceLen, lp.depth);
                if (m.length >= 3) {
                    const Candidate c{m.length, m.offset + 2};
                    if (best.length == 0 || matchScore(enc, c.length, c.offsetCode) >
                                                matchScore(enc, best.length, best.offsetCode))
                        best = c;
                }
            } else {
                enc.hashChains.insert(frame + i, base + static_cast<std::uint32_t>(i));
            }
        }
        // An explicit offset that happens to equal a queue entry is coded as that repeat.
        if (best.offsetCode >= kNumRepeats)
            for (unsigned k = 0; k < kNumRepeats; ++k)
                if (queue[k] == best.offsetCode - 2) {
                    best.offsetCode = k;
                    break;
                }
        return best;
    };

    std::size_t i = 0;
    Candidate cur = candidateAt(0);
    while (i < n) {
        if (cur.length == 0) {
            items[count++] = Item{0, frame[i], 0};
            ++i;
            if (i < n)
                cur = candidateAt(i);
            continue;
        }
        if (cur.length < lp.lazyBelow && i + 1 < n) {
            const Candidate next = candidateAt(i + 1);
            if (next.length != 0 && matchScore(enc, next.length, next.offsetCode) >
                                        matchScore(enc, cur.length, cur.offsetCode) + 4) {
                items[count++] = Item{0, frame[i], 0};
                ++i;
                cur = next;
                continue;
            }
        }
        items[count++] = Item{static_cast<std::uint16_t>(cur.length), 0, cur.offsetCode};
        updateQueue(queue, cur.offsetCode);
        const std::size_t end = i + cur.length;
        for (; nextInsert < end && nextInsert + 3 <= n; ++nextInsert)
            enc.hashChains.insert(frame + nextInsert, base + static_cast<std::uint32_t>(nextInsert));
        nextInsert = std::max(nextInsert, end);
        i = end;
        if (i < n)
            cur = candidateAt(i);
    }
    countFrequencies(enc, items, count, enc.freqs);
    return count;
}

// Collects the matches of every position of the frame from the binary trees. After a match of the nice
// length the positions it covers are only inserted, not searched. Positions too close to the end of a
// frame that more frames follow are searched without being inserted; they go into the trees at the
// start of the next frame, once the bytes after them are known.
void collectMatches(Encoder &enc, const std::uint8_t *frame, std::size_t n) {
    const LevelParams &lp = enc.params;
    const std::uint32_t base = enc.streamPos + enc.window;
    for (std::uint32_t p = enc.deferredFrom; p < enc.streamPos; ++p) {
        const std::size_t avail = enc.streamPos + n - p;
        const unsigned maxLen = static_cast<unsigned>(std::min<std::size_t>(kMaxMatch, avail));
        if (maxLen >= 4)
            enc.binaryTrees.skip(frame - (enc.streamPos - p), p + enc.window, maxLen, lp.niceLen, lp.depth);
    }

    const bool moreFrames = n == kFrameSize;
    const std::size_t tailStart = moreFrames && n >= lp.niceLen ? n - lp.niceLen + 1 : n;
    enc.deferredFrom = enc.streamPos + static_cast<std::uint32_t>(std::min(tailStart, n));

    std::uint32_t *start = enc.matchStart.get();
    LzMatch *cache = enc.matchCache.get();
    std::uint32_t used = 0;
    std::size_t skipUntil = 0;
    for (std::size_t i = 0; i < n; ++i) {
        start[i] = used;
        const unsigned maxLen = static_cast<unsigned>(std::min<std::size_t>(kMaxMatch, n - i));
        if (maxLen < 3)
            continue;
        const std::uint32_t pos = base + static_cast<std::uint32_t>(i);
        unsigned c = 0;
        if (i >= tailStart || maxLen < 4) {
            if (i >= skipUntil)
                c = enc.binaryTrees.findMatches(frame + i, pos, maxLen, lp.niceLen, lp.depth, cache + used);
        } else if (i < skipUntil) {
            enc.binaryTrees.skip(frame + i, pos, maxLen, lp.niceLen, lp.depth);
        } else {
            c = enc.binaryTrees.getMatches(frame + i, pos, maxLen, lp.niceLen, lp.depth, cache + used);
        }
        if (c != 0 && cache[used + c - 1].length >= lp.niceLen)
            skipUntil = i + cache[used + c - 1].length;
        used += c;
    }
    start[n] = used;
}

// Where recent matches at a few offsets end, so that a repeat of the same offset at a later position is
// known to be as long as the rest of the run without comparing its bytes again: in long runs every
// position has such a repeat, and comparing up to 257 bytes at each would dominate the parse.
class RunLengths {
  public:
    // The length of the match at frame position `i` (`p` in the frame) with offset `off`, up to `maxLen`.
    unsigned at(std::size_t i, const std::uint8_t *p, std::uint32_t off, unsigned maxLen) {
        const std::uint8_t *m = p - off;
        if (load16(m) != load16(p))
            return 0;
        for (Run &r : m_runs) {
            if (r.offset != off || i < r.start || r.end <= i)
                continue;
            const std::size_t known = r.end - i;
            if (r.exact || known >= maxLen)
                return static_cast<unsigned>(std::min<std::size_t>(known, maxLen));
            return remember(r, i, off, extendMatch(p, m, static_cast<unsigned>(known), maxLen), maxLen);
        }
        Run &r = m_runs[m_next++ % kRuns];
        return remember(r, i, off, extendMatch(p, m, kMinMatch, maxLen), maxLen);
    }

  private:
    struct Run {
        std::uint32_t offset = 0;
        std::size_t start = 0; // where it was measured: the bytes match from here to `end`
        std::size_t end = 0;   // the first position past the run
        bool exact = false;    // the byte at `end` differs (else the run stopped at a length limit)
    };
    static constexpr unsigned kRuns = 4;

    static unsigned remember(Run &r, std::size_t i, std::uint32_t off, unsigned len, unsigned maxLen) {
        r.offset = off;
        r.start = i;
        r.end = i + len;
        r.exact = len < maxLen;
        return len;
    }

    Run m_runs[kRuns];
    unsigned m_next = 0;
};

// The ways into the positions of one frame, kArrivals per position (the cheapest first), behind one
// interface for the pass: w = index(pos, way) names one.
template <unsigned kArrivals> struct Arrivals;

// One way per position: the cheapest.
template <> struct Arrivals<1> {
    OptimalNode *node;
    std::uint32_t *gap;

    static std::size_t index(std::size_t pos, unsigned) { return pos; }
    void clear(std::size_t positions) {
        for (std::size_t w = 0; w < positions; ++w)
            node[w].cost = kInfiniteCost;
    }
    std::uint32_t cost(std::size_t w) const { return node[w].cost; }
    std::uint32_t step(std::size_t w) const { return node[w].step; }
    std::uint32_t gapMatch(std::size_t w) const { return gap[w]; }
    unsigned origin(std::size_t) const { return 0; }
    void start() { node[0] = OptimalNode{0, 1}; }

    // Offers a way into position `t`: `step` (with the match before its gap for a gap step), continuing
    // way `from` into the step's origin and leaving `stepR0` in front of the queue.
    void offer(std::size_t t, std::uint32_t cost, std::uint32_t step, std::uint32_t, unsigned) {
        if (cost < node[t].cost)
            node[t] = OptimalNode{cost, step};
    }
    void offerGap(std::size_t t, std::uint32_t cost, std::uint32_t step, std::uint32_t, unsigned,
                  std::uint32_t match) {
        if (cost < node[t].cost) {
            node[t] = OptimalNode{cost, step};
            gap[t] = match;
        }
    }
};

// Two ways per position: the cheapest, and the cheapest whose R0 differs from it (see WayPair).
template <> struct Arrivals<2> {
    WayPair *pair;

    static std::size_t index(std::size_t pos, unsigned way) { return 2 * pos + way; }
    void clear(std::size_t positions) {
        for (std::size_t i = 0; i < positions; ++i) {
            pair[i].cost[0] = pair[i].cost[1] = kInfiniteCost;
            pair[i].r0[0] = 0;
        }
    }
    std::uint32_t cost(std::size_t w) const { return pair[w / 2].cost[w % 2]; }
    std::uint32_t step(std::size_t w) const { return pair[w / 2].step[w % 2] & ~(1u << kOriginShift); }
    std::uint32_t gapMatch(std::size_t w) const { return pair[w / 2].gap[w % 2]; }
    unsigned origin(std::size_t w) const { return pair[w / 2].step[w % 2] >> kOriginShift & 1; }
    void start() {
        pair[0].cost[0] = 0;
        pair[0].step[0] = 1;
    }

    void offer(std::size_t t, std::uint32_t cost, std::uint32_t step, std::uint32_t stepR0, unsigned from) {
        offerGap(t, cost, step, stepR0, from, 0);
    }
    void offerGap(std::size_t t, std::uint32_t cost, std::uint32_t step, std::uint32_t stepR0, unsigned from,
                  std::uint32_t match) {
        WayPair &p = pair[t];
        if (cost >= p.cost[1])
            return; // the usual case: no better than either (and no step costs kInfiniteCost)
        if (cost < p.cost[0]) {
            if (stepR0 != p.r0[0]) {
                p.cost[1] = p.cost[0];
                p.step[1] = p.step[0];
                p.r0[1] = p.r0[0];
                p.gap[1] = p.gap[0];
            }
            set(p, 0, cost, step, stepR0, from, match);
        } else if (cost < p.cost[1] && stepR0 != p.r0[0]) {
            set(p, 1, cost, step, stepR0, from, match);
        }
    }

  private:
    static void set(WayPair &p, unsigned way, std::uint32_t cost, std::uint32_t step, std::uint32_t stepR0,
                    unsigned from, std::uint32_t match) {
        p.cost[way] = cost;
        p.step[way] = step | std::uint32_t(from) << kOriginShift;
        p.r0[way] = stepR0;
        p.gap[way] = match;
    }
};

// Offers lengths first..last of one match at `pos`, each at `base` plus the length's cost in `cost` (the
// match costs of its offset slot).
template <class Ways>
inline void offerLengths(Ways &ways, std::size_t pos, std::uint32_t base, const std::uint16_t *cost,
                         std::uint32_t code, unsigned first, unsigned last, std::uint32_t stepR0,
                         unsigned from) {
    for (unsigned l = first; l <= last; ++l)
        ways.offer(pos + l, base + cost[l], code | l, stepR0, from);
}

// One minimum-cost pass over the cached matches with the current costs; writes the chosen items and
// returns their count. Each way into a node keeps the queue of its path.
template <unsigned kArrivals>
std::size_t optimalPass(Encoder &enc, Arrivals<kArrivals> ways, const std::uint8_t *frame, std::size_t n,
                        std::uint32_t *queue, std::uint32_t &totalCost) {
    using Ways = Arrivals<kArrivals>;
    RepeatQueue *queues = enc.nodeQueues.get();
    const std::uint32_t *start = enc.matchStart.get();
    const LzMatch *cache = enc.matchCache.get();
    const Costs &costs = enc.costs;
    const LevelParams &lp = enc.params;
    const unsigned niceLen = lp.niceLen;

    ways.clear(n + 1);
    ways.start();
    std::memcpy(queues[0].r, queue, sizeof queues[0].r);

    // The bytes way w covers.
    auto span = [&](std::size_t w) -> std::size_t {
        const std::uint32_t step = ways.step(w);
        if ((step & kGapStep) == 0)
            return stepLength(step);
        return stepLength(step) + gapLiteralCount(step) + stepLength(ways.gapMatch(w));
    };
    // A way records only its last step; its queue follows from the step's origin once the position is
    // reached, because every origin lies before it.
    auto queueAt = [&](std::size_t i, unsigned way, std::uint32_t *q) {
        const std::size_t w = Ways::index(i, way);
        const std::uint32_t step = ways.step(w);
        std::memcpy(q, queues[Ways::index(i - span(w), ways.origin(w))].r, sizeof queues[0].r);
        if ((step & kGapStep) != 0)
            updateQueue(q, ways.gapMatch(w) >> kStepLengthBits); // the repeat after the gap keeps R0 in front
        else if (stepLength(step) > 1)
            updateQueue(q, step >> kStepLengthBits);
    };
    // A match at `i` of `len` bytes with `offsetCode`, costing `cost` to its end, then 1..gapLiterals
    // literals, then a repeat of `offset`: a step that the cheapest path to the match's end may not
    // make possible (its queue need not hold the offset), common in tables and code where records
    // differ in a byte or two. Thorough levels also offer the repeat's lengths that have a main symbol
    // of their own, so that a better match may start after it.
    RunLengths runs;
    auto tryGap = [&](std::size_t i, unsigned way, std::uint32_t offsetCode, std::uint32_t offset,
                      unsigned len, std::uint32_t cost) {
        if (len == kMaxMatch)
            return; // the match may go on: a literal after it gains nothing
        const std::uint8_t *p = frame + i;
        for (unsigned lits = 1; lits <= lp.gapLiterals; ++lits) {
            if (len + lits + kMinMatch > n - i)
                return;
            cost += costs.main[p[len + lits - 1]];
            const std::size_t after = i + len + lits;
            const unsigned rest = static_cast<unsigned>(std::min<std::size_t>(kMaxMatch, n - after));
            const unsigned repLen = runs.at(after, frame + after, offset, rest);
            if (repLen < kMinMatch)
                continue;
            for (unsigned r = lp.thorough ? kMinMatch : repLen; r <= repLen; ++r) {
                if (r == kMinLongMatch)
                    r = repLen;
                ways.offerGap(i + len + lits + r, cost + costs.match[0][r],
                              kGapStep | lits << kStepLengthBits | r, offset, way,
                              offsetCode << kStepLengthBits | len);
            }
        }
    };

    for (std::size_t i = 0; i < n; ++i) {
        for (unsigned way = 0; way < kArrivals; ++way) {
            const std::size_t w = Ways::index(i, way);
            const std::uint32_t base = ways.cost(w);
            if (way != 0 && (base == kInfiniteCost || base >= ways.cost(w - 1) + kSecondArrivalSlack))
                continue;
            std::uint32_t *q = queues[w].r;
            if (i != 0)
                queueAt(i, way, q);
            ways.offer(i + 1, base + costs.main[frame[i]], 1, q[0], way);

            const unsigned maxLen = static_cast<unsigned>(std::min<std::size_t>(kMaxMatch, n - i));
            if (maxLen < kMinMatch)
                continue;
            const std::uint32_t reach = enc.streamPos + static_cast<std::uint32_t>(i);
            const std::uint8_t *p = frame + i;
            const std::uint32_t q0 = q[0], q1 = q[1], q2 = q[2];
            // R1 and R2 are offered only the lengths beyond what an earlier repeat reaches, unless the level
            // is thorough: R0's symbols are the cheapest in all but contrived codes, and trying every length
            // of every repeat costs more time than it wins at the faster levels.
            unsigned longestRep = 0, longestRepCode = 0;
            for (unsigned k = 0; k < kNumRepeats; ++k) {
                const std::uint32_t off = q[k];
                if (off > reach || (k >= 1 && off == q0) || (k == 2 && off == q1))
                    continue;
                const unsigned len = runs.at(i, p, off, maxLen);
                if (len < kMinMatch || (len <= longestRep && !lp.thorough))
                    continue;
                const unsigned first = len >= niceLen ? len
                                       : lp.thorough  ? kMinMatch
                                                      : std::max<unsigned>(kMinMatch, longestRep + 1);
                offerLengths(ways, i, base, costs.match[k], k << kStepLengthBits, first, len, off, way);
                if (len > longestRep) {
                    longestRep = len;
                    longestRepCode = k;
                }
            }
            if (lp.gapLiterals != 0 && longestRep != 0)
                tryGap(i, way, longestRepCode, q[longestRepCode], longestRep,
                       base + costs.match[longestRepCode][longestRep]);
            if (way != 0)
                continue; // explicit offsets: from the cheapest way in only, where they nearly always win

            // Each explicit offset is offered the lengths beyond the previous (shorter) match's, the first
            // one those beyond the longest repeat: a repeat of the same length is cheaper (it needs no
            // footer) in all but contrived codes. A match no longer than the longest repeat offers nothing
            // itself but lets the next one start above it, which measured better than holding every match
            // above the repeat.
            unsigned prevLen = std::max(1u, longestRep);
            const LzMatch *longest = nullptr;
            std::uint32_t longestCost = 0;
            for (const LzMatch *m = cache + start[i], *end = cache + start[i + 1]; m != end; ++m) {
                const unsigned len = m->length;
                const std::uint32_t off = m->offset;
                if (len > prevLen && off != q0 && off != q1 && off != q2) {
                    const std::uint32_t f = off + 2;
                    const unsigned slot = slotOfFormatted(f);
                    offerLengths(ways, i, base, costs.match[slot], f << kStepLengthBits,
                                 len >= niceLen ? len : prevLen + 1, len, off, 0);
                    longest = m;
                    longestCost = base + costs.match[slot][len];
                    if (lp.thorough && lp.gapLiterals != 0 && m + 1 != end)
                        tryGap(i, 0, f, off, len, longestCost);
                }
                prevLen = len;
            }
            if (lp.gapLiterals != 0 && longest != nullptr)
                tryGap(i, 0, longest->offset + 2, longest->offset, longest->length, longestCost);
        }
    }

    // The queue at the end, then the path: walk back from the end, write the items front to back.
    queueAt(n, 0, queue);
    totalCost = ways.cost(Ways::index(n, 0));
    std::size_t count = 0;
    for (std::size_t i = n, w = Ways::index(n, 0); i > 0;) {
        count += (ways.step(w) & kGapStep) != 0 ? 2 + gapLiteralCount(ways.step(w)) : 1;
        const std::size_t from = i - span(w);
        w = Ways::index(from, ways.origin(w));
        i = from;
    }
    Item *items = currentFrameItems(enc);
    std::size_t k = count;
    for (std::size_t i = n, w = Ways::index(n, 0); i > 0;) {
        const std::uint32_t step = ways.step(w);
        const unsigned length = stepLength(step);
        if ((step & kGapStep) != 0) {
            const unsigned lits = gapLiteralCount(step);
            const std::uint32_t before = ways.gapMatch(w);
            items[--k] = Item{static_cast<std::uint16_t>(length), 0, 0};
            for (unsigned l = 1; l <= lits; ++l)
                items[--k] = Item{0, frame[i - length - l], 0};
            items[--k] = Item{static_cast<std::uint16_t>(stepLength(before)), 0, before >> kStepLengthBits};
        } else if (length == 1) {
            items[--k] = Item{0, frame[i - 1], 0}; // literal
        } else {
            items[--k] = Item{static_cast<std::uint16_t>(length), 0, step >> kStepLengthBits};
        }
        const std::size_t from = i - span(w);
        w = Ways::index(from, ways.origin(w));
        i = from;
    }
    return count;
}

std::size_t parseOptimal(Encoder &enc, const std::uint8_t *frame, std::size_t n, std::uint32_t *queue) {
    collectMatches(enc, frame, n);
    unsigned passes = enc.params.passes;
    if (!enc.haveCosts) {
        setDefaultCosts(enc, frame, n);
        ++passes;
    }
    std::size_t count = 0;
    for (unsigned pass = 0; pass < passes; ++pass) {
        std::memcpy(queue, enc.queue, sizeof enc.queue);
        std::uint32_t priced = 0;
        if (enc.params.arrivals == 2)
            count = optimalPass(enc, Arrivals<2>{enc.wayPairs.get()}, frame, n, queue, priced);
        else
            count =
                optimalPass(enc, Arrivals<1>{enc.nodes.get(), enc.gapMatches.get()}, frame, n, queue, priced);
        Frequencies &f = enc.freqs;
        countFrequencies(enc, currentFrameItems(enc), count, f);
        if (pass + 1 == passes)
            break;
        // Price the next pass with the code the open block would get with these items in it.
        const Frequencies *sum = &f;
        if (enc.blockFrames != 0) {
            addFrequencies(enc.scratchFreqs, enc.blockFreqs, f);
            sum = &enc.scratchFreqs;
        }
        std::uint8_t mainLens[kMainSymbolsMax];
        std::uint8_t lengthLens[kLengthSymbols];
        std::uint8_t alignedLens[kAlignedSymbols];
        buildCodeLengths(sum->main, enc.mainSymbols, kMaxMainLen, mainLens);
        buildCodeLengths(sum->length, kLengthSymbols, kMaxLengthLen, lengthLens);
        std::uint64_t recoded =
            dot(f.main, mainLens, enc.mainSymbols) + dot(f.length, lengthLens, kLengthSymbols);
        std::uint64_t blockBits = 0;
        const bool aligned = chooseAligned(*sum, alignedLens, blockBits);
        recoded +=
            aligned ? f.alignedRawBits + dot(f.aligned, alignedLens, kAlignedSymbols) : f.verbatimExtraBits;
        if (priced <= recoded || (priced - recoded) * 1024 < enc.params.repassGain * recoded)
            break;
        setCostsFromLengths(enc, mainLens, lengthLens);
    }
    return count;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Public entry points

Encoder *createEncoder(const EncoderOptions &options) {
    if (options.windowBits < kMinWindowBits || options.windowBits > kMaxWindowBits ||
        options.level < kLevelFast || options.level > kLevelMax)
        return nullptr;
    std::unique_ptr<Encoder> enc(new (std::nothrow) Encoder);
    if (!enc)
        return nullptr;
    enc->options = options;
    enc->params = kLevels[options.level];
    enc->window = std::uint32_t(1) << options.windowBits;
    const unsigned slots = slotCount(options.windowBits);
    enc->mainSymbols = kNumChars + kLengthHeaders * slots;
    for (unsigned s = 0; s <= slots; ++s)
        enc->slotBases[s] = slotBase(s);
    for (unsigned s = 0; s < slots; ++s)
        enc->slotExtra[s] = slotExtraBits(s);

    enc->bufferCap = 2 * enc->window + kHistoryMargin;
    enc->buffer.reset(new (std::nothrow) std::uint8_t[enc->bufferCap]);
    enc->items.reset(new (std::nothrow) Item[std::size_t(enc->params.blockFrames) * kFrameSize]);
    enc->readyBytes.reset(new (std::nothrow) unsigned char[kReadySlots * kMaxFrameOutput]);
    if (!enc->buffer || !enc->items || !enc->readyBytes)
        return nullptr;
    for (unsigned f = 0; f < enc->params.blockFrames; ++f)
        enc->frameItems[f] = enc->items.get() + std::size_t(f) * kFrameSize;
    if (enc->params.optimal) {
        // Room for every position's most matches, so the cache can never overflow.
        enc->matchCacheCap =
            kFrameSize * std::size_t(enc->params.depth + BinaryTreeMatchFinder::kExtraMatches);
        const std::size_t positions = kFrameSize + 1;
        if (enc->params.arrivals == 2) {
            enc->wayPairs.reset(new (std::nothrow) WayPair[positions]);
            if (!enc->wayPairs)
                return nullptr;
        } else {
            enc->nodes.reset(new (std::nothrow) OptimalNode[positions]);
            enc->gapMatches.reset(new (std::nothrow) std::uint32_t[positions]);
            if (!enc->nodes || !enc->gapMatches)
                return nullptr;
        }
        enc->nodeQueues.reset(new (std::nothrow) RepeatQueue[std::size_t(enc->params.arrivals) * positions]);
        enc->matchCache.reset(new (std::nothrow) LzMatch[enc->matchCacheCap]);
        enc->matchStart.reset(new (std::nothrow) std::uint32_t[kFrameSize + 1]);
        if (!enc->nodeQueues || !enc->matchCache || !enc->matchStart ||
            !enc->binaryTrees.init(options.windowBits))
            return nullptr;
    } else if (!enc->hashChains.init(options.windowBits)) {
        return nullptr;
    }
    return enc.release();
}

void destroyEncoder(Encoder *encoder) {
    delete encoder;
}

bool putFrame(Encoder *enc, const unsigned char *data, std::size_t size) {
    if (enc == nullptr || data == nullptr || size == 0 || size > kFrameSize || enc->finished || enc->failed ||
        enc->readyCount != 0 || kMaxStreamBytes - enc->streamPos < size)
        return false;

    // Append the frame to the history, sliding the last window (plus the margin that positions inserted
    // late reach back) to the front when full.
    std::uint32_t at = enc->streamPos - enc->bufferStart;
    if (at + size > enc->bufferCap) {
        const std::uint32_t keep = enc->window + kHistoryMargin;
        const std::uint32_t keepFrom = enc->streamPos - keep;
        std::memmove(enc->buffer.get(), enc->buffer.get() + (keepFrom - enc->bufferStart), keep);
        enc->bufferStart = keepFrom;
        at = keep;
    }
    std::uint8_t *frame = enc->buffer.get() + at;
    std::memcpy(frame, data, size);
    if (enc->options.e8Translation)
        e8Encode(frame, size, enc->streamPos, kE8TranslationSize);

    std::uint32_t queue[kNumRepeats];
    std::memcpy(queue, enc->queue, sizeof queue);
    const std::size_t count =
        enc->params.optimal ? parseOptimal(*enc, frame, size, queue) : parseLazy(*enc, frame, size, queue);
    enc->streamPos += static_cast<std::uint32_t>(size);
    if (size < kFrameSize)
        enc->finished = true;
    if (!placeFrame(*enc, frame, size, count, queue) || (enc->finished && !writeOpenBlock(*enc))) {
        enc->failed = true;
        return false;
    }
    return true;
}

bool finishStream(Encoder *enc) {
    if (enc == nullptr || enc->failed)
        return false;
    enc->finished = true;
    if (!writeOpenBlock(*enc)) {
        enc->failed = true;
        return false;
    }
    return true;
}

std::size_t takeFrame(Encoder *enc, unsigned char *out, std::size_t cap, std::size_t *frameSize) {
    if (enc == nullptr || out == nullptr || frameSize == nullptr || cap < kMaxFrameOutput ||
        enc->readyCount == 0)
        return 0;
    const ReadyFrame &r = enc->ready[enc->readyFirst];
    std::memcpy(out, enc->readyBytes.get() + std::size_t(enc->readyFirst) * kMaxFrameOutput, r.size);
    *frameSize = r.frameSize;
    const std::size_t size = r.size;
    enc->readyFirst = (enc->readyFirst + 1) % kReadySlots;
    --enc->readyCount;
    return size;
}

} // namespace lzx
