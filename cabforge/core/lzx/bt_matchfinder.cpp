#include "cabforge/core/lzx/bt_matchfinder.h"

#include <new>

#include "cabforge/core/lzx/lzx_constants.h"

namespace lzx {

bool BinaryTreeMatchFinder::init(unsigned windowBits) {
    const std::uint32_t window = std::uint32_t(1) << windowBits;
    m_head.reset(new (std::nothrow) std::uint32_t[std::size_t(1) << kHashBits]());
    m_head3.reset(new (std::nothrow) std::uint32_t[std::size_t(1) << kHash3Bits]());
    m_head2.reset(new (std::nothrow) std::uint32_t[std::size_t(1) << kHash2Bits]());
    m_child.reset(new (std::nothrow) std::uint32_t[std::size_t(window) * 2]); // written before read
    m_mask = window - 1;
    m_maxOffset = maxEncoderOffset(windowBits);
    return m_head && m_head3 && m_head2 && m_child;
}

unsigned BinaryTreeMatchFinder::shortMatches(const std::uint8_t *cur, std::uint32_t pos, std::uint32_t limit,
                                             LzMatch *out) const {
    unsigned count = 0;
    const std::uint32_t cand2 = m_head2[hash2(cur)];
    if (cand2 >= limit && pos - cand2 <= kMaxOffset2 && load16(cur - (pos - cand2)) == load16(cur)) {
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

// The walks of the next positions start where this one cannot see yet: fetch the lines they need in
// stages, so that each arrives while other walks run. Two positions ahead: the bucket heads; one ahead:
// the first node's children and bytes. Reading a head that is not final yet only makes a fetch useless.
void BinaryTreeMatchFinder::prefetchAhead(const std::uint8_t *cur, std::uint32_t pos) const {
    const std::uint8_t *far = cur + kPrefetchAhead;
    prefetchRead(&m_head[hash32(far, kHashBits)]);
    prefetchRead(&m_head3[hash24(far, kHash3Bits)]);
    prefetchRead(&m_head2[hash2(far)]);
    const std::uint32_t next = m_head[hash32(cur + 1, kHashBits)];
    prefetchRead(&m_child[2 * (next & m_mask)]);
    prefetchRead(bytesOf(cur + 1, pos + 1, next));
}

template <bool kRecord, bool kInsert>
unsigned BinaryTreeMatchFinder::walk(const std::uint8_t *cur, std::uint32_t pos, unsigned maxLen,
                                     unsigned niceLen, unsigned depth, LzMatch *out) {
    if (niceLen > maxLen)
        niceLen = maxLen;
    const std::uint32_t limit = pos - m_maxOffset; // nodes below this are out of the window
    unsigned bestLtLen = 0, bestGtLen = 0, len = 0, bestLen = 3, count = 0;

    if (kRecord)
        count = shortMatches(cur, pos, limit, out);
    if (!kInsert && maxLen < 4)
        return count; // a search alone may come this close to the end of the known bytes
    const std::uint32_t h = hash32(cur, kHashBits);
    std::uint32_t node = m_head[h];
    std::uint32_t *pendingLt = nullptr, *pendingGt = nullptr;
    if (kInsert) {
        m_head2[hash2(cur)] = pos;
        m_head3[hash24(cur, kHash3Bits)] = pos;
        m_head[h] = pos;
        pendingLt = &m_child[2 * (pos & m_mask)];
        pendingGt = pendingLt + 1;
        // What the next walks start with, fetched while this one runs.
        if (maxLen >= kPrefetchAhead + 4)
            prefetchAhead(cur, pos);
    }

    // Ends the walk: with kInsert the last open links of the new root's subtrees point nowhere.
    auto close = [&](std::uint32_t lt, std::uint32_t gt) {
        if (kInsert) {
            *pendingLt = lt;
            *pendingGt = gt;
        }
        return count;
    };
    if (node < limit)
        return close(0, 0);
    for (;;) {
        // The child pair is needed once the bytes are compared; fetch both lines at once.
        std::uint32_t *children = &m_child[2 * (node & m_mask)];
        prefetchRead(children);
        const std::uint8_t *m = cur - (pos - node);
        if (m[len] == cur[len]) {
            // Without recording, only whether a match reaches the nice length matters.
            len = extendMatch(cur, m, len + 1, kRecord ? maxLen : niceLen);
            if (!kRecord || len > bestLen) {
                if (kRecord) {
                    bestLen = len;
                    out[count].offset = pos - node;
                    out[count].length = len;
                    ++count;
                }
                if (len >= niceLen)
                    return close(children[0], children[1]);
            }
        }
        if (m[len] < cur[len]) {
            if (kInsert) {
                *pendingLt = node;
                pendingLt = children + 1;
            }
            node = children[1];
            bestLtLen = len;
            if (bestGtLen < len)
                len = bestGtLen;
        } else {
            if (kInsert) {
                *pendingGt = node;
                pendingGt = children;
            }
            node = children[0];
            bestGtLen = len;
            if (bestLtLen < len)
                len = bestLtLen;
        }
        if (node < limit || --depth == 0)
            return close(0, 0);
    }
}

template unsigned BinaryTreeMatchFinder::walk<true, true>(const std::uint8_t *, std::uint32_t, unsigned,
                                                          unsigned, unsigned, LzMatch *);
template unsigned BinaryTreeMatchFinder::walk<true, false>(const std::uint8_t *, std::uint32_t, unsigned,
                                                           unsigned, unsigned, LzMatch *);
template unsigned BinaryTreeMatchFinder::walk<false, true>(const std::uint8_t *, std::uint32_t, unsigned,
                                                           unsigned, unsigned, LzMatch *);

} // namespace lzx
