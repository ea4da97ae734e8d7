#include "cabforge/core/lzx/bt_matchfinder.h"

#include <new>

#include "cabforge/core/lzx/lzx_constants.h"

namespace lzx {

bool BinaryTreeMatchFinder::init(unsigned windowBits) {
    const std::uint32_t window = std::uint32_t(1) << windowBits;
    m_head.reset(new (std::nothrow) std::uint32_t[std::size_t(1) << kHashBits]());
    m_head3.reset(new (std::nothrow) std::uint32_t[std::size_t(1) << kHash3Bits]());
    m_head2.reset(new (std::nothrow) std::uint32_t[std::size_t(1) << 16]());
    m_child.reset(new (std::nothrow) std::uint32_t[std::size_t(window) * 2]); // written before read
    m_mask = window - 1;
    m_maxOffset = maxEncoderOffset(windowBits);
    return m_head && m_head3 && m_head2 && m_child;
}

unsigned BinaryTreeMatchFinder::shortMatches(const std::uint8_t *cur, std::uint32_t pos, std::uint32_t limit,
                                             LzMatch *out) const {
    unsigned count = 0;
    const std::uint32_t cand2 = m_head2[load16(cur)];
    if (cand2 >= limit && pos - cand2 <= kMaxOffset2) {
        out[0].offset = pos - cand2;
        out[0].length = 2;
        count = 1;
    }
    const std::uint32_t cand3 = m_head3[hash24(cur, kHash3Bits)];
    if (cand3 >= limit && load24(cur - (pos - cand3)) == load24(cur)) {
        out[count].offset = pos - cand3;
        out[count].length = 3;
        ++count;
    }
    return count;
}

template <bool kRecord>
unsigned BinaryTreeMatchFinder::advance(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen,
                                        unsigned niceLen, unsigned depth, LzMatch *out) {
    if (niceLen > maxLen)
        niceLen = maxLen;
    const std::uint32_t limit = pos - m_maxOffset; // nodes below this are out of the window
    unsigned bestLtLen = 0, bestGtLen = 0, len = 0, bestLen = 3, count = 0;

    if (kRecord)
        count = shortMatches(cur, pos, limit, out);
    m_head2[load16(cur)] = pos;
    m_head3[hash24(cur, kHash3Bits)] = pos;

    const std::uint32_t h = hash32(cur, kHashBits);
    std::uint32_t node = m_head[h];
    m_head[h] = pos;
    std::uint32_t *pendingLt = &m_child[2 * (pos & m_mask)];
    std::uint32_t *pendingGt = pendingLt + 1;

    if (node < limit) {
        *pendingLt = 0;
        *pendingGt = 0;
        return count;
    }
    for (;;) {
        // The child pair is needed once the bytes are compared; fetch both lines at once.
        prefetchRead(&m_child[2 * (node & m_mask)]);
        const std::uint8_t *m = cur - (pos - node);
        if (m[len] == cur[len]) {
            len = extendMatch(cur, m, len + 1, maxLen);
            if (!kRecord || len > bestLen) {
                if (kRecord) {
                    bestLen = len;
                    out[count].offset = pos - node;
                    out[count].length = len;
                    ++count;
                }
                if (len >= niceLen) {
                    *pendingLt = m_child[2 * (node & m_mask)];
                    *pendingGt = m_child[2 * (node & m_mask) + 1];
                    return count;
                }
            }
        }
        if (m[len] < cur[len]) {
            *pendingLt = node;
            pendingLt = &m_child[2 * (node & m_mask) + 1];
            node = *pendingLt;
            bestLtLen = len;
            if (bestGtLen < len)
                len = bestGtLen;
        } else {
            *pendingGt = node;
            pendingGt = &m_child[2 * (node & m_mask)];
            node = *pendingGt;
            bestGtLen = len;
            if (bestLtLen < len)
                len = bestLtLen;
        }
        if (node < limit || --depth == 0) {
            *pendingLt = 0;
            *pendingGt = 0;
            return count;
        }
    }
}

unsigned BinaryTreeMatchFinder::findMatches(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen,
                                            unsigned niceLen, unsigned depth, LzMatch *out) const {
    if (niceLen > maxLen)
        niceLen = maxLen;
    const std::uint32_t limit = pos - m_maxOffset;
    unsigned bestLtLen = 0, bestGtLen = 0, len = 0, bestLen = 3;
    unsigned count = shortMatches(cur, pos, limit, out);
    if (maxLen < 4)
        return count;
    std::uint32_t node = m_head[hash32(cur, kHashBits)];
    while (node >= limit && depth-- != 0) {
        prefetchRead(&m_child[2 * (node & m_mask)]);
        const std::uint8_t *m = cur - (pos - node);
        if (m[len] == cur[len]) {
            len = extendMatch(cur, m, len + 1, maxLen);
            if (len > bestLen) {
                bestLen = len;
                out[count].offset = pos - node;
                out[count].length = len;
                ++count;
                if (len >= niceLen)
                    break;
            }
        }
        if (m[len] < cur[len]) {
            node = m_child[2 * (node & m_mask) + 1];
            bestLtLen = len;
            if (bestGtLen < len)
                len = bestGtLen;
        } else {
            node = m_child[2 * (node & m_mask)];
            bestGtLen = len;
            if (bestLtLen < len)
                len = bestLtLen;
        }
    }
    return count;
}

template unsigned BinaryTreeMatchFinder::advance<true>(const std::uint8_t *, std::uint32_t, unsigned,
                                                       unsigned, unsigned, LzMatch *);
template unsigned BinaryTreeMatchFinder::advance<false>(const std::uint8_t *, std::uint32_t, unsigned,
                                                        unsigned, unsigned, LzMatch *);

} // namespace lzx
