// libFuzzer target for the PNG decoder: any input must give one of the result codes, and a
// successful decode must describe a block whose pixel rows fit inside it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "png_dib.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (!f)
        return 0;
    void* block = nullptr;
    std::size_t blockSize = 0;
    int result = decodePngToDib(f, defaultPngDibMemory(), &block, &blockSize);
    std::fclose(f);
    switch (result) {
    case kPngDibOk: {
        std::size_t offset = 0;
        if (!block || !dibPixelOffset(block, blockSize, &offset))
            std::abort();
        // Touch the last byte so ASan checks the block really has the size claimed.
        volatile unsigned char last = static_cast<unsigned char*>(block)[blockSize - 1];
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
