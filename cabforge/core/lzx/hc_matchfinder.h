// Hash-chain match finder over a sliding window, for the lazy parsers.
//
// Positions are absolute stream positions plus a bias of one window, so that 0 ("no entry") is always
// out of reach. The chain links live in a ring of one window's entries; a link older than the window
// is recognised by its value before its slot is read.
#pragma once

#include <cstdint>
#include <memory>

#include "cabforge/core/lzx/lz_match.h"

namespace lzx {

class HashChainMatchFinder {
  public:
    // Allocates the tables for a 2^windowBits window; false when memory runs out.
    bool init(unsigned windowBits);

    // Inserts `pos` (data at `cur`, at least 3 readable bytes).
    void insert(const std::uint8_t *cur, std::uint32_t pos) {
        const std::uint32_t h = hash24(cur, kHashBits);
        m_prev[pos & m_mask] = m_head[h];
        m_head[h] = pos;
    }

    // Inserts `pos` and returns the longest match (length >= 3) found within `depth` chain steps, or a
    // length of 0. Stops early at `niceLen`. `maxLen` >= 3 bytes are readable at `cur`.
    LzMatch findAndInsert(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen, unsigned niceLen,
                          unsigned depth);

  private:
    static constexpr unsigned kHashBits = 16;
    std::unique_ptr<std::uint32_t[]> m_head;
    std::unique_ptr<std::uint32_t[]> m_prev;
    std::uint32_t m_mask = 0;
    std::uint32_t m_maxOffset = 0;
};

} // namespace lzx
