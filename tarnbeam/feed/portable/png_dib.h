// PNG pictures decoded into packed device-independent bitmaps (DIB).
//
// The block layout is the one the news list hands to the graphics interface: a 40-byte
// BITMAPINFOHEADER (little-endian), the colour table (1, 4 and 8 bits only, 4 bytes per entry:
// blue, green, red, reserved/alpha), then the rows bottom-up, each padded to a multiple of 4 bytes.
// Pictures with an alpha channel or a transparency chunk become 32-bit BGRA with straight alpha.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Result codes of the decoder (and of loadPngAsDib, which adds the open failure).
enum PngDibResult : int {
    kPngDibOk = 0,
    kPngDibNotPng = 2,       // the first 8 bytes are not the PNG signature
    kPngDibDecodeError = 3,  // libpng setup or read error, unsupported colour type or depth
    kPngDibNoMemory = 4,     // the DIB block could not be allocated
    kPngDibOpenFailed = 6,   // the file could not be opened for reading
    kPngDibOtherFailure = 9, // anything else, e.g. no memory for the row buffers
};

constexpr std::size_t kDibHeaderSize = 40;

// Largest DIB block the decoder agrees to allocate. News pictures are 32 x 16 icons; a header
// that claims a far larger picture is refused with kPngDibNoMemory instead of committing
// gigabytes for a file of a few bytes.
constexpr std::uint64_t kMaxDibBytes = 64u * 1024u * 1024u;

// Where the decoder takes its memory from. allocDib must return zero-filled memory (or null);
// the block is handed to the caller on success and released through freeDib on every failure.
// allocRows/freeRows serve the temporary row buffers.
struct PngDibMemory {
    void *(*allocDib)(std::size_t bytes, void *context);
    void (*freeDib)(void *block, void *context);
    void *(*allocRows)(std::size_t bytes, void *context);
    void (*freeRows)(void *block, void *context);
    void *context;
};

// calloc/free for everything.
const PngDibMemory &defaultPngDibMemory();

// Decodes the PNG picture read from the start of file (opened "rb"; the caller closes it).
// On kPngDibOk *block and *blockSize describe the DIB; otherwise they are left untouched.
int decodePngToDib(std::FILE *file, const PngDibMemory &memory, void **block, std::size_t *blockSize);

// Row stride of a DIB: ((bitCount * width + 31) / 32) * 4 bytes.
std::uint64_t dibStride(std::uint32_t width, unsigned bitCount);

// The fields of a packed DIB header, read back from a block (little-endian).
struct DibHeaderFields {
    std::uint32_t size;
    std::int32_t width;
    std::int32_t height;
    std::uint16_t planes;
    std::uint16_t bitCount;
    std::uint32_t compression;
    std::uint32_t sizeImage;
    std::int32_t xPelsPerMeter;
    std::int32_t yPelsPerMeter;
    std::uint32_t colorsUsed;
    std::uint32_t colorsImportant;
};

DibHeaderFields readDibHeader(const void *block);

// Byte offset of the pixel bits in a packed DIB: header, then colours used x 4 bytes, or
// 2^bitCount x 4 when colours used is 0 and the bit count is at most 8. Returns false when the
// header cannot describe a DIB held in blockSize bytes (bad sizes, bit count, or too short).
bool dibPixelOffset(const void *block, std::size_t blockSize, std::size_t *offset);
