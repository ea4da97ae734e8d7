// Test-only helpers: compress a byte string with the LZX encoder, wrap the frames in a minimal
// single-folder, single-file cabinet, and read it back with independent decoders (libmspack in
// process; cabextract, 7z and gcab as programs).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cabforge/core/lzx/lzx_encoder.h"

namespace lzxtest {

using Bytes = std::vector<std::uint8_t>;

struct Frame {
    Bytes compressed;
    std::uint32_t uncompressedSize;
};

// Moves every coded frame waiting in `encoder` to the end of `frames`; false when one is malformed
// (empty, over the payload bound, or with an impossible uncompressed size).
bool takeFrames(lzx::Encoder *encoder, std::vector<Frame> &frames);

// Compresses `data` frame by frame; an empty result with `ok` false means the encoder failed.
std::vector<Frame> compressFolder(const Bytes &data, const lzx::EncoderOptions &options, bool &ok);

// A cabinet holding one folder (the given frames) and one file "data.bin" of the frames' total size.
Bytes wrapCabinet(const std::vector<Frame> &frames, std::uint16_t typeCompress);

// Writes `cab` to a fresh temporary file and returns its path.
std::string writeTempFile(const Bytes &cab, const char *suffix);

// Extracts "data.bin" with libmspack's cabinet decompressor; false when it reports an error.
bool decodeWithMspack(const std::string &cabPath, Bytes &out, std::string &error);

// Extracts with an external reader ("cabextract", after its -t test pass; "7z"; "gcab"); false when it
// fails or is missing.
bool decodeWithTool(const std::string &tool, const std::string &cabPath, Bytes &out, std::string &error);

Bytes readFile(const std::string &path);

} // namespace lzxtest
