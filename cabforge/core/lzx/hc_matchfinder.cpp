#include "cabforge/core/lzx/hc_matchfinder.h"

#include <new>

#include "cabforge/core/lzx/lzx_constants.h"

namespace lzx {

bool HashChainMatchFinder::init(unsigned windowBits) {
    const std::uint32_t window = std::uint32_t(1) << windowBits;
    m_head.reset(new (std::nothrow) std::uint32_t[std::size_t(1) << kHashBits]());
    m_prev.reset(new (std::nothrow) std::uint32_t[window]); // every slot is written before it is read
    m_mask = window - 1;
    m_maxOffset = maxEncoderOffset(windowBits);
    return m_head && m_prev;
}

LzMatch HashChainMatchFinder::findAndInsert(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen,
                                            unsigned niceLen, unsigned depth) {
    const std::uint32_t h = hash24(cur, kHashBits);
    std::uint32_t cand = m_head[h];
    m_prev[pos & m_mask] = cand;
    m_head[h] = pos;

    LzMatch best{0, 0};
    if (niceLen > maxLen)
        niceLen = maxLen;
    const std::uint32_t limit = pos - m_maxOffset; // candidates must be >= limit
    unsigned bestLen = 2;
    while (cand >= limit && cand != 0 && depth-- != 0) {
        const std::uint8_t *m = cur - (pos - cand);
        // Check the byte that would make the match longer first, then the start.
        if (m[bestLen] == cur[bestLen] && m[0] == cur[0] && m[1] == cur[1]) {
            const unsigned len = extendMatch(cur, m, 2, maxLen);
            if (len > bestLen) {
                bestLen = len;
                best.length = len;
                best.offset = pos - cand;
                if (len >= niceLen)
                    break;
            }
        }
        cand = m_prev[cand & m_mask];
    }
    return best;
}

} // namespace lzx
