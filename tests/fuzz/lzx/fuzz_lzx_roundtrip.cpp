// Round-trip fuzz target for the LZX encoder: options from the first bytes, data from the rest (or
// expanded from it into long streams with far repeats), compressed frame by frame, wrapped in a
// one-folder cabinet, decoded with libmspack and compared.
//
// Input: [level] [window bits] [flags: 1 = E8, 2 = expand] data...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "tests/cabforge/lzx/cab_wrap.h"
#include "cabforge/core/cab/cab_writer.h"
#include "cabforge/core/lzx/lzx_encoder.h"

namespace {

constexpr int kLevels = lzx::kLevelMax + 1; // kLevelFast .. kLevelMax

// A tiny generator: op < 128 copies op + 1 input bytes; otherwise repeats earlier output from an offset
// and length read from the input, so short inputs make long streams with matches far back.
lzxtest::Bytes expand(const std::uint8_t *p, std::size_t n) {
    const std::size_t kMax = 300000; // past the most frames one block may span
    lzxtest::Bytes out;
    std::size_t i = 0;
    while (i < n && out.size() < kMax) {
        const unsigned op = p[i++];
        if (op < 128) {
            for (unsigned k = 0; k <= op && i < n; ++k)
                out.push_back(p[i++]);
        } else if (i + 3 <= n && !out.empty()) {
            const std::size_t len = std::size_t(p[i]) * 64 + (op & 63) + 1;
            const std::size_t off =
                (std::size_t(p[i + 1]) | std::size_t(p[i + 2]) << 8 | std::size_t(op & 64) << 10) * 7 %
                    out.size() +
                1;
            i += 3;
            for (std::size_t k = 0; k < len && out.size() < kMax; ++k)
                out.push_back(out[out.size() - off]);
        } else {
            ++i;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 4)
        return 0;
    lzx::EncoderOptions o;
    o.level = data[0] % kLevels;
    o.windowBits = 15 + data[1] % 7;
    o.e8Translation = (data[2] & 1) != 0;
    const lzxtest::Bytes input =
        (data[2] & 2) != 0 ? expand(data + 3, size - 3) : lzxtest::Bytes(data + 3, data + size);
    if (input.empty())
        return 0;

    bool ok = false;
    const auto frames = lzxtest::compressFolder(input, o, ok);
    if (!ok) {
        std::fprintf(stderr, "encoder failed\n");
        std::abort();
    }
    const std::string path =
        lzxtest::writeTempFile(lzxtest::wrapCabinet(frames, cabw::compressLzx(o.windowBits)), ".cab");
    if (path.empty())
        return 0;
    lzxtest::Bytes decoded;
    std::string error;
    const bool decodedOk = lzxtest::decodeWithMspack(path, decoded, error);
    std::remove(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
    if (!decodedOk || decoded != input) {
        std::fprintf(stderr, "round trip failed: %s (%zu bytes in, %zu out)\n", error.c_str(), input.size(),
                     decoded.size());
        std::abort();
    }
    return 0;
}
