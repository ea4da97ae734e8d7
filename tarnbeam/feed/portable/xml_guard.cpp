#include "tarnbeam/feed/portable/xml_guard.h"

#include <cstdint>
#include <cstring>

namespace xmlguard {

namespace {

enum class Width { kByte, kUtf16Le, kUtf16Be };

// The document as a sequence of code units; a unit past the end reads as 0.
class Units {
  public:
    Units(const unsigned char *data, std::size_t size, Width width, std::size_t start)
        : m_data(data), m_size(size), m_width(width), m_pos(start) {}

    bool atEnd() const { return m_pos >= m_size; }
    std::uint32_t at(std::size_t offsetUnits) const {
        const std::size_t step = m_width == Width::kByte ? 1 : 2;
        const std::size_t p = m_pos + offsetUnits * step;
        if (p + step > m_size)
            return 0;
        switch (m_width) {
        case Width::kByte:
            return m_data[p];
        case Width::kUtf16Le:
            return m_data[p] | (m_data[p + 1] << 8);
        case Width::kUtf16Be:
            return (m_data[p] << 8) | m_data[p + 1];
        }
        return 0;
    }
    void advance(std::size_t units) { m_pos += units * (m_width == Width::kByte ? 1 : 2); }
    bool startsWith(const char *text) const {
        for (std::size_t i = 0; text[i]; ++i)
            if (at(i) != static_cast<unsigned char>(text[i]))
                return false;
        return true;
    }
    // Moves past `text` when the units here spell it.
    bool consume(const char *text) {
        if (!startsWith(text))
            return false;
        advance(std::strlen(text));
        return true;
    }
    // Moves past the next `terminator`; false when the document ends first.
    bool skipPast(const char *terminator) {
        for (; !atEnd(); advance(1)) {
            if (consume(terminator))
                return true;
        }
        return false;
    }

  private:
    const unsigned char *m_data;
    std::size_t m_size;
    Width m_width;
    std::size_t m_pos;
};

const unsigned char kUtf8Bom[] = {0xEF, 0xBB, 0xBF};

bool IsSpace(std::uint32_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The encoding by the byte order mark, else by how the first '<' or white space is written.
// False for the encodings whose ASCII is written otherwise (UTF-32, EBCDIC).
bool DetectWidth(const unsigned char *d, std::size_t size, Width &width, std::size_t &start) {
    start = 0;
    if (size >= 4 && ((d[0] == 0 && d[1] == 0) || (d[2] == 0 && d[3] == 0)))
        return false; // UTF-32 of either order, with or without a mark
    if (size >= 2 && d[0] == 0xFF && d[1] == 0xFE) {
        width = Width::kUtf16Le;
        start = 2;
    } else if (size >= 2 && d[0] == 0xFE && d[1] == 0xFF) {
        width = Width::kUtf16Be;
        start = 2;
    } else if (size >= 2 && d[0] != 0 && d[1] == 0) {
        width = Width::kUtf16Le;
    } else if (size >= 2 && d[0] == 0 && d[1] != 0) {
        width = Width::kUtf16Be;
    } else {
        width = Width::kByte;
        if (size >= 3 && d[0] == kUtf8Bom[0] && d[1] == kUtf8Bom[1] && d[2] == kUtf8Bom[2])
            start = 3;
    }
    return true;
}

// Past a start or end tag's name and attributes to its '>'; `empty` tells "/>".
bool SkipTag(Units &u, bool &empty) {
    std::uint32_t previous = 0;
    while (!u.atEnd()) {
        const std::uint32_t c = u.at(0);
        u.advance(1);
        if (c == '"' || c == '\'') {
            while (!u.atEnd() && u.at(0) != c)
                u.advance(1);
            if (u.atEnd())
                return false;
            u.advance(1);
            previous = c;
            continue;
        }
        if (c == '>') {
            empty = previous == '/';
            return true;
        }
        previous = c;
    }
    return false;
}

} // namespace

Verdict checkDocument(const unsigned char *data, std::size_t size, unsigned maxDepth) {
    Width width = Width::kByte;
    std::size_t start = 0;
    if (!data || !DetectWidth(data, size, width, start))
        return Verdict::kMalformed;
    Units u(data, size, width, start);
    while (!u.atEnd() && IsSpace(u.at(0)))
        u.advance(1);
    if (u.at(0) != '<')
        return Verdict::kMalformed;

    unsigned depth = 0;
    while (!u.atEnd()) {
        if (u.at(0) != '<') {
            u.advance(1);
            continue;
        }
        if (u.consume("<!--")) {
            if (!u.skipPast("-->"))
                return Verdict::kMalformed;
        } else if (u.consume("<![CDATA[")) {
            if (!u.skipPast("]]>"))
                return Verdict::kMalformed;
        } else if (u.consume("<?")) {
            if (!u.skipPast("?>"))
                return Verdict::kMalformed;
        } else if (u.startsWith("<!")) {
            return Verdict::kDeclaration;
        } else {
            const bool closing = u.at(1) == '/';
            u.advance(1);
            bool empty = false;
            if (!SkipTag(u, empty))
                return Verdict::kMalformed;
            if (closing) {
                if (depth > 0)
                    --depth;
            } else if (!empty && ++depth > maxDepth) {
                return Verdict::kTooDeep;
            }
        }
    }
    return Verdict::kAccepted;
}

} // namespace xmlguard
