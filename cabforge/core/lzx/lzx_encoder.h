// LZX encoder for cabinet folders (typeCompress cabw::compressLzx(windowBits)).
//
// One Encoder compresses one folder: a single continuous LZX stream cut into frames of 32768
// uncompressed bytes, each frame becoming one CFDATA payload. History, the repeated-offset queue
// and the previous code lengths carry over from frame to frame, and one block (one set of Huffman
// trees) may span several frames, so the encoder holds frames back until their block is complete:
// the caller puts frames in and takes coded frames out, in the same order, possibly later.
// Portable: no platform header, no exceptions escape.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lzx {

// Levels (EncoderOptions::level), the one numbering the cabinet writer's levels use too.
// Fast: lazy parsing over short hash chains.
constexpr int kLevelFast = 0;
// Normal: near-optimal parsing over shallow binary-tree match searches.
constexpr int kLevelNormal = 1;
// Default: near-optimal parsing over deeper searches and longer matches.
constexpr int kLevelDefault = 2;
// Maximum: the best ratio, at about a third of the default's speed.
constexpr int kLevelMax = 3;

// The most uncompressed bytes one stream (one cabinet folder) holds: 65,535 frames of 32 KiB.
constexpr std::uint32_t kMaxStreamBytes = 0x7FFF8000u;

struct EncoderOptions {
    // Window size as a power of two, 15..21. The folder's typeCompress must declare the same value.
    unsigned windowBits = 21;
    int level = kLevelDefault; // kLevel*
    // x86 call (E8) translation, with translation size 12,000,000. Pays on Windows programs and costs
    // next to nothing elsewhere.
    bool e8Translation = true;
};

// The format's bound for one CFDATA payload; no coded frame is longer.
constexpr std::size_t kMaxFrameOutput = 32768 + 6144;
// Uncompressed bytes in every frame of a folder but the last.
constexpr std::size_t kFrameSize = 32768;

class Encoder; // opaque, one per cabinet folder (one continuous stream)

// Returns nullptr when the options are out of range or memory runs out.
Encoder *createEncoder(const EncoderOptions &options);
void destroyEncoder(Encoder *encoder);

// Hands the encoder the next frame of the folder's stream: `size` uncompressed bytes, 1..32768; every
// frame but the folder's last is exactly 32768, and a shorter frame ends the stream. Returns false,
// without effect, for bad arguments, a frame after the end of the stream, or coded frames not yet taken
// with takeFrame; returns false when an internal limit is hit, after which the encoder is unusable.
bool putFrame(Encoder *encoder, const unsigned char *data, std::size_t size);

// Ends the stream (needed when its last frame was a full one; harmless after a short one): every frame
// still held is coded and waits for takeFrame. Returns false when the encoder has failed.
bool finishStream(Encoder *encoder);

// Moves the oldest coded frame to `out`: writes its compressed bytes (ending on the 16-bit boundary a
// CFDATA block needs, never more than kMaxFrameOutput) and returns their count, with the frame's
// uncompressed size in `*frameSize`. Returns 0 when no coded frame is waiting, or when `cap` <
// kMaxFrameOutput. A frame that does not compress comes out as an uncompressed block.
std::size_t takeFrame(Encoder *encoder, unsigned char *out, std::size_t cap, std::size_t *frameSize);

} // namespace lzx
