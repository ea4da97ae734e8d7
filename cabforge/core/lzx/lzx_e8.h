// x86 call (E8) translation as LZX applies it per frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lzx {

// Translates the operands of E8 bytes in one frame in place: relative call targets become absolute
// ones (positions counted from the folder start, `frameStart`), so repeated calls to one target look
// alike. Frames of 10 bytes or fewer, the last 10 bytes of a frame as opcode positions, and frames that
// start 1 GiB or more into the folder stay unchanged, exactly as decoders skip them.
void e8Encode(std::uint8_t *frame, std::size_t size, std::uint32_t frameStart, std::uint32_t translationSize);

} // namespace lzx
