// Canonical Huffman codes with a length limit, as LZX (and deflate) use them.
#pragma once

#include <cstdint>

namespace lzx {

constexpr unsigned kHuffmanMaxSymbols = 1024;

// Computes code lengths for `count` symbols from their frequencies, none longer than `maxLen`.
// Unused symbols get length 0. A code with exactly one used symbol is made complete with a second,
// unused symbol of length 1 (symbol 0, or 1 when the used one is 0), because decoders reject
// incomplete codes. With no used symbol at all every length is 0.
void buildCodeLengths(const std::uint32_t *freq, unsigned count, unsigned maxLen, std::uint8_t *lens);

// Assigns canonical codewords (MSB-first values) to the lengths: shorter codes first, equal lengths in
// symbol order.
void assignCanonicalCodes(const std::uint8_t *lens, unsigned count, std::uint16_t *codes);

} // namespace lzx
