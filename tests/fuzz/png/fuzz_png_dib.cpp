// libFuzzer target for the PNG decoder: any input must give one of the result codes, and a
// successful decode must describe a block whose pixel rows fit inside it.
//
// libpng rejects a chunk whose CRC does not match, and libpng itself is not instrumented, so
// most mutations would die at the first CRC. The target therefore recomputes the CRC of every
// complete chunk first, except in inputs of odd size, which keep their CRCs so that the CRC
// failure path stays covered.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tarnbeam/feed/portable/png_dib.h"

namespace {

std::uint32_t be32(const std::uint8_t *p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

void fixChunkCrcs(std::vector<std::uint8_t> &png) {
    std::size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const std::uint32_t length = be32(&png[pos]);
        if (length > png.size() - pos - 12)
            break;
        const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, &png[pos + 4], length + 4));
        std::uint8_t *out = &png[pos + 8 + length];
        out[0] = static_cast<std::uint8_t>(crc >> 24);
        out[1] = static_cast<std::uint8_t>(crc >> 16);
        out[2] = static_cast<std::uint8_t>(crc >> 8);
        out[3] = static_cast<std::uint8_t>(crc);
        pos += 12 + length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::vector<std::uint8_t> input(data, data + size);
    if (size % 2 == 0)
        fixChunkCrcs(input);
    std::FILE *f = input.empty() ? nullptr : fmemopen(input.data(), input.size(), "rb");
    if (!f)
        return 0;
    void *block = nullptr;
    std::size_t blockSize = 0;
    int result = decodePngToDib(f, defaultPngDibMemory(), &block, &blockSize);
    std::fclose(f);
    switch (result) {
    case kPngDibOk: {
        std::size_t offset = 0;
        if (!block || !dibPixelOffset(block, blockSize, &offset))
            std::abort();
        // Touch the last byte so ASan checks the block really has the size claimed.
        volatile unsigned char last = static_cast<unsigned char *>(block)[blockSize - 1];
        (void)last;
        std::free(block);
        break;
    }
    case kPngDibNotPng:
    case kPngDibDecodeError:
    case kPngDibNoMemory:
    case kPngDibOtherFailure:
        if (block)
            std::abort();
        break;
    default:
        std::abort();
    }
    return 0;
}
