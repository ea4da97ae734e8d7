#include "cabforge/cli/native_names.h"

namespace cfcli {

namespace {

const char32_t kEscapeBase = 0xDC00;

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at `i` (shortest form, no surrogates, at most U+10FFFF)
// and its code point; 0 when the bytes there do not form one.
std::size_t sequenceAt(const std::string &s, std::size_t i, char32_t &code) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    char32_t min = 0;
    if (c < 0x80) {
        code = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code = c & 0x1F;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code = c & 0x0F;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code = c & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(s[i + k]);
        if (!isContinuation(next))
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void appendUtf8(std::string &out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool isEscape(char32_t code) {
    return code >= kEscapeBase + 0x80 && code <= kEscapeBase + 0xFF;
}

} // namespace

static_assert(sizeof(wchar_t) == 4, "names are decoded into one wide character per code point");

std::wstring decodeName(const std::string &bytes) {
    std::wstring text;
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t code = 0;
        const std::size_t length = sequenceAt(bytes, i, code);
        if (length == 0) {
            code = kEscapeBase + static_cast<unsigned char>(bytes[i]);
            i += 1;
        } else {
            i += length;
        }
        text += static_cast<wchar_t>(code);
    }
    return text;
}

std::string encodeName(const std::wstring &text) {
    std::string bytes;
    for (wchar_t c : text) {
        const char32_t code = static_cast<char32_t>(c);
        if (isEscape(code))
            bytes += static_cast<char>(code - kEscapeBase);
        else
            appendUtf8(bytes, code);
    }
    return bytes;
}

bool isValidText(const std::wstring &text) {
    for (wchar_t c : text) {
        if (isEscape(static_cast<char32_t>(c)))
            return false;
    }
    return true;
}

} // namespace cfcli
