#include "cabforge/core/lzx/huffman.h"

#include <algorithm>

namespace lzx {

namespace {

// Moffat-Katajainen in-place code length computation. `a` holds the frequencies in ascending order;
// on return a[i] is the (unlimited) code length of the i-th symbol.
void computeLengthsInPlace(std::uint32_t *a, unsigned n) {
    if (n == 1) {
        a[0] = 1;
        return;
    }
    a[0] += a[1];
    unsigned root = 0, leaf = 2;
    for (unsigned next = 1; next < n - 1; ++next) {
        if (leaf >= n || a[root] < a[leaf]) {
            a[next] = a[root];
            a[root++] = next;
        } else {
            a[next] = a[leaf++];
        }
        if (leaf >= n || (root < next && a[root] < a[leaf])) {
            a[next] += a[root];
            a[root++] = next;
        } else {
            a[next] += a[leaf++];
        }
    }
    a[n - 2] = 0;
    for (int next = int(n) - 3; next >= 0; --next)
        a[next] = a[a[next]] + 1;
    int avail = 1, used = 0;
    unsigned depth = 0;
    int root2 = int(n) - 2, next = int(n) - 1;
    while (avail > 0) {
        while (root2 >= 0 && a[root2] == depth) {
            ++used;
            --root2;
        }
        while (avail > used) {
            a[next--] = depth;
            --avail;
        }
        avail = 2 * used;
        ++depth;
        used = 0;
    }
}

} // namespace

void buildCodeLengths(const std::uint32_t *freq, unsigned count, unsigned maxLen, std::uint8_t *lens) {
    struct Entry {
        std::uint32_t freq;
        std::uint16_t symbol;
    };
    Entry entries[kHuffmanMaxSymbols];
    unsigned used = 0;
    for (unsigned s = 0; s < count; ++s) {
        lens[s] = 0;
        if (freq[s] != 0)
            entries[used++] = Entry{freq[s], static_cast<std::uint16_t>(s)};
    }
    if (used == 0)
        return;
    if (used == 1) {
        unsigned only = entries[0].symbol;
        lens[only] = 1;
        lens[only == 0 ? 1 : 0] = 1;
        return;
    }
    std::stable_sort(entries, entries + used, [](const Entry &x, const Entry &y) { return x.freq < y.freq; });

    std::uint32_t work[kHuffmanMaxSymbols];
    for (unsigned i = 0; i < used; ++i)
        work[i] = entries[i].freq;
    computeLengthsInPlace(work, used);

    // Count codes per length, folding overlong ones into maxLen, then repair the Kraft sum by
    // lengthening the deepest shorter codes (the usual zlib-style fix-up).
    unsigned perLen[33] = {};
    for (unsigned i = 0; i < used; ++i)
        ++perLen[std::min<std::uint32_t>(work[i], 32)];
    for (unsigned l = maxLen + 1; l <= 32; ++l) {
        perLen[maxLen] += perLen[l];
        perLen[l] = 0;
    }
    std::uint64_t total = 0;
    for (unsigned l = 1; l <= maxLen; ++l)
        total += std::uint64_t(perLen[l]) << (maxLen - l);
    while (total > (std::uint64_t(1) << maxLen)) {
        --perLen[maxLen];
        for (unsigned l = maxLen - 1; l > 0; --l) {
            if (perLen[l] != 0) {
                --perLen[l];
                perLen[l + 1] += 2;
                break;
            }
        }
        --total;
    }
    // Longest codes go to the rarest symbols (entries are in ascending frequency order).
    unsigned i = 0;
    for (unsigned l = maxLen; l >= 1; --l)
        for (unsigned k = 0; k < perLen[l]; ++k)
            lens[entries[i++].symbol] = static_cast<std::uint8_t>(l);
}

void assignCanonicalCodes(const std::uint8_t *lens, unsigned count, std::uint16_t *codes) {
    unsigned perLen[17] = {};
    for (unsigned s = 0; s < count; ++s)
        ++perLen[lens[s]];
    perLen[0] = 0;
    std::uint32_t next[18] = {};
    std::uint32_t code = 0;
    for (unsigned l = 1; l <= 16; ++l) {
        code = (code + perLen[l - 1]) << 1;
        next[l] = code;
    }
    for (unsigned s = 0; s < count; ++s)
        codes[s] = lens[s] != 0 ? static_cast<std::uint16_t>(next[lens[s]]++) : 0;
}

} // namespace lzx
