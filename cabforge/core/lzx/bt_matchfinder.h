// Binary-tree match finder over a sliding window, for the near-optimal parser.
//
// Every position is inserted into the tree of its 4-byte hash bucket, ordered by the bytes that follow
// it; a search walks from the newest position downwards and reports matches of increasing length. A
// one-entry table per 3-byte hash supplies length-3 matches, which the 4-byte trees would miss, and a
// one-entry table per 2-byte hash supplies length-2 matches at short offsets.
// Positions carry the same one-window bias as in the hash-chain finder, and the child links live in a
// ring of one window's node pairs.
#pragma once

#include <cstdint>
#include <memory>

#include "cabforge/core/lzx/lz_match.h"

namespace lzx {

class BinaryTreeMatchFinder {
  public:
    bool init(unsigned windowBits);

    // Inserts `pos` and writes the matches found (lengths strictly increasing, each >= 2) to `out`,
    // returning their count; at most `depth` + kExtraMatches entries. `maxLen` >= 4 bytes are readable
    // at `cur`.
    unsigned getMatches(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen, unsigned niceLen,
                        unsigned depth, LzMatch *out) {
        return walk<true, true>(cur, pos, maxLen, niceLen, depth, out);
    }
    // Reports the matches at `pos` like getMatches but leaves the trees unchanged; `maxLen` >= 3 bytes are
    // readable at `cur`. For positions whose following bytes are not all known yet: inserting them with
    // a shorter comparison limit than later searches use would break the ordering those searches rely on.
    unsigned findMatches(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen, unsigned niceLen,
                         unsigned depth, LzMatch *out) {
        return walk<true, false>(cur, pos, maxLen, niceLen, depth, out);
    }
    // Inserts `pos` without reporting matches.
    void skip(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen, unsigned niceLen, unsigned depth) {
        walk<false, true>(cur, pos, maxLen, niceLen, depth, nullptr);
    }

    static constexpr unsigned kExtraMatches = 2;

  private:
    // The length-2 and length-3 candidates at `pos` (from the two small tables), without inserting it.
    unsigned shortMatches(const std::uint8_t *cur, std::uint32_t pos, std::uint32_t limit,
                          LzMatch *out) const;
    // The one walk down the tree of `pos`'s bucket: kRecord reports the matches met on the way, kInsert
    // makes `pos` the new root, splitting the tree it passes into its two subtrees.
    template <bool kRecord, bool kInsert>
    unsigned walk(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen, unsigned niceLen,
                  unsigned depth, LzMatch *out);
    void prefetchAhead(const std::uint8_t *cur, std::uint32_t pos) const;
    // Where the bytes of the node at stream position `node` lie, for position `pos` at `cur`: an address to
    // fetch, not to read, since the node may be out of the window.
    static const void *bytesOf(const std::uint8_t *cur, std::uint32_t pos, std::uint32_t node) {
        return reinterpret_cast<const void *>(reinterpret_cast<std::uintptr_t>(cur) - (pos - node));
    }

    // Positions ahead whose bucket heads are fetched: one ahead is too late for the miss to hide, further
    // ahead measured no better.
    static constexpr unsigned kPrefetchAhead = 2;
    // 2^20 tree buckets: fewer sequences share a tree, so walks are shorter; 12% faster at the default
    // level than 2^18 for 3 MiB more.
    static constexpr unsigned kHashBits = 20;
    static constexpr unsigned kHash3Bits = 14;
    static constexpr unsigned kHash2Bits = 12;
    static std::uint32_t hash2(const std::uint8_t *p) {
        return (load16(p) * 0x9E3779B1u) >> (32 - kHash2Bits);
    }
    // A length-2 match pays only when its offset needs few extra bits.
    static constexpr std::uint32_t kMaxOffset2 = 256;
    std::unique_ptr<std::uint32_t[]> m_head;
    std::unique_ptr<std::uint32_t[]> m_head3;
    std::unique_ptr<std::uint32_t[]> m_head2; // by a hash of the two bytes: verified, so collisions only miss
    std::unique_ptr<std::uint32_t[]> m_child; // two per ring slot: [2i] smaller, [2i+1] greater
    std::uint32_t m_mask = 0;
    std::uint32_t m_maxOffset = 0;
};

} // namespace lzx
