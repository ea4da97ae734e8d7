// LZX bit writer: fields are written MSB-first into 16-bit little-endian words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lzx {

class BitWriter {
  public:
    BitWriter(unsigned char *out, std::size_t cap) : m_out(out), m_cap(cap) {}

    // Appends the low `count` bits of `bits` (count <= 32).
    void put(std::uint32_t bits, unsigned count) {
        if (count == 0)
            return;
        m_acc = (m_acc << count) | (bits & ((std::uint64_t(1) << count) - 1));
        m_pending += count;
        while (m_pending >= 16) {
            m_pending -= 16;
            writeWord(static_cast<std::uint16_t>(m_acc >> m_pending));
        }
    }

    // Zero bits up to the next 16-bit boundary (none when already there).
    void alignToWord() {
        if (m_pending != 0)
            put(0, 16 - m_pending);
    }

    // An uncompressed block header ends with 1-16 zero bits: a whole zero word when already aligned.
    void padForRawData() { put(0, 16 - m_pending); }

    // Raw bytes; only valid on a 16-bit boundary.
    void putRaw(const unsigned char *data, std::size_t n) {
        if (m_size + n > m_cap) {
            m_overflow = true;
            return;
        }
        for (std::size_t i = 0; i < n; ++i)
            m_out[m_size + i] = data[i];
        m_size += n;
    }
    void putRawU32(std::uint32_t v) {
        const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                    static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        putRaw(b, 4);
    }

    bool aligned() const { return m_pending == 0; }
    bool overflowed() const { return m_overflow; }
    std::size_t size() const { return m_size; }
    // Bits written so far, including the ones still pending.
    std::uint64_t bitCount() const { return std::uint64_t(m_size) * 8 + m_pending; }

  private:
    void writeWord(std::uint16_t w) {
        if (m_size + 2 > m_cap) {
            m_overflow = true;
            return;
        }
        m_out[m_size] = static_cast<unsigned char>(w);
        m_out[m_size + 1] = static_cast<unsigned char>(w >> 8);
        m_size += 2;
    }

    unsigned char *m_out;
    std::size_t m_cap;
    std::size_t m_size = 0;
    std::uint64_t m_acc = 0;
    unsigned m_pending = 0;
    bool m_overflow = false;
};

} // namespace lzx
