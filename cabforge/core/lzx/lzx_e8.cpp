#include "cabforge/core/lzx/lzx_e8.h"

#include "cabforge/core/lzx/lzx_constants.h"

namespace lzx {

namespace {

std::int32_t loadLe32(const std::uint8_t *p) {
    return static_cast<std::int32_t>(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                     std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
}

void storeLe32(std::uint8_t *p, std::int64_t v) {
    const std::uint32_t u = static_cast<std::uint32_t>(v);
    p[0] = static_cast<std::uint8_t>(u);
    p[1] = static_cast<std::uint8_t>(u >> 8);
    p[2] = static_cast<std::uint8_t>(u >> 16);
    p[3] = static_cast<std::uint8_t>(u >> 24);
}

} // namespace

void e8Encode(std::uint8_t *frame, std::size_t size, std::uint32_t frameStart,
              std::uint32_t translationSize) {
    if (size <= 10 || frameStart >= kE8MaxPosition || translationSize == 0)
        return;
    const std::int64_t t = translationSize;
    const std::size_t end = size - 10;
    std::size_t i = 0;
    while (i < end) {
        if (frame[i] != 0xE8) {
            ++i;
            continue;
        }
        const std::int64_t cur = std::int64_t(frameStart) + std::int64_t(i);
        const std::int64_t v = loadLe32(frame + i + 1);
        if (v >= -cur && v < t)
            storeLe32(frame + i + 1, v < t - cur ? v + cur : v - t);
        i += 5;
    }
}

} // namespace lzx
