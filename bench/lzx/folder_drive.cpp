// Compresses one file as one LZX folder (32 KiB frames, one level) and prints the compressed byte
// count. scripts/bench.sh builds it twice with the same compiler and flags: against the encoder in
// this tree and against the encoder as it was before its speed work, so that cab_bench can time both
// side by side in one run. Only the encoder's stable interface is used, so that it builds with both.
//
// Usage: lzx_folder_drive LEVEL FILE
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "cabforge/core/lzx/lzx_encoder.h"

namespace {

constexpr std::size_t kFrameBytes = 32768;
// Room for one frame's output: a frame never grows beyond its size plus its block headers.
constexpr std::size_t kOutputRoom = std::size_t(1) << 17;

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: lzx_folder_drive LEVEL FILE\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary | std::ios::ate);
    std::vector<unsigned char> data(in ? static_cast<std::size_t>(in.tellg()) : 0);
    in.seekg(0);
    if (data.empty() || !in.read(reinterpret_cast<char *>(data.data()), std::streamsize(data.size()))) {
        std::fprintf(stderr, "lzx_folder_drive: cannot read %s\n", argv[2]);
        return 1;
    }
    lzx::EncoderOptions options;
    options.level = std::atoi(argv[1]);
    lzx::Encoder *encoder = lzx::createEncoder(options);
    if (encoder == nullptr)
        return 1;
    std::vector<unsigned char> out(kOutputRoom);
    std::size_t total = 0, frameSize = 0, got = 0;
    bool ok = true;
    for (std::size_t at = 0; ok && at < data.size(); at += kFrameBytes) {
        const std::size_t n = data.size() - at < kFrameBytes ? data.size() - at : kFrameBytes;
        ok = lzx::putFrame(encoder, data.data() + at, n);
        while (ok && (got = lzx::takeFrame(encoder, out.data(), out.size(), &frameSize)) != 0)
            total += got;
    }
    ok = ok && lzx::finishStream(encoder);
    while (ok && (got = lzx::takeFrame(encoder, out.data(), out.size(), &frameSize)) != 0)
        total += got;
    lzx::destroyEncoder(encoder);
    if (!ok)
        return 1;
    std::printf("%zu\n", total);
    return 0;
}
