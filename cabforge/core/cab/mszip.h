// MSZIP block compressor: "CK" followed by one complete raw deflate stream per data block, with
// the previous block's 32 KiB given to zlib as the dictionary so that matches reach back across
// the block boundary (readers keep that history). Internal to the cabinet writer.
#pragma once

#include <cstddef>

namespace cabw {

struct MszipCompressor;

using MszipAlloc = void *(*)(std::size_t size, void *context);
using MszipFree = void (*)(void *block, void *context);

// zlib's state is allocated through `alloc`/`free`. Returns nullptr when memory runs out.
MszipCompressor *mszipCreate(int level, MszipAlloc alloc, MszipFree free, void *context);
void mszipDestroy(MszipCompressor *compressor);

// Starts a new folder: the next block has no history.
bool mszipReset(MszipCompressor *compressor);

// Compresses one block of 1..32768 bytes into `out` (capacity >= 32780) and returns the payload
// size, at most 32780; 0 on failure. `history` is the previous block of the folder (32768 bytes)
// or nullptr for the first block. When deflate does not fit the bound the block is written as one
// stored deflate block. *stored tells which form was chosen.
std::size_t mszipCompressBlock(MszipCompressor *compressor, const unsigned char *history,
                               const unsigned char *data, std::size_t size, unsigned char *out, bool *stored);

} // namespace cabw
