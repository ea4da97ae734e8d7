#include "tarnbeam/retrieval/portable/download_rules.h"

namespace download {

namespace {

wchar_t upper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// Device names are reserved with any extension and, on older systems, with trailing spaces
// before it: "CON", "con.txt", "COM1 .log".
bool isReservedDeviceName(const std::wstring &name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    static const wchar_t *const kPlain[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t *reserved : kPlain) {
        if (equalsIgnoringCase(stem, reserved))
            return true;
    }
    if (stem.size() == 4 && stem[3] >= L'0' && stem[3] <= L'9') {
        const std::wstring prefix = stem.substr(0, 3);
        return equalsIgnoringCase(prefix, L"COM") || equalsIgnoringCase(prefix, L"LPT");
    }
    return false;
}

bool isHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

} // namespace

bool equalsIgnoringCase(const std::wstring &a, const wchar_t *b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return i == a.size() && !b[i];
}

bool isPlainComponent(const std::wstring &name) {
    if (name.empty() || name == L"." || name == L"..")
        return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7F)
            return false;
        switch (c) {
        case L'\\':
        case L'/':
        case L':':
        case L'*':
        case L'?':
        case L'"':
        case L'<':
        case L'>':
        case L'|':
            return false;
        default:
            break;
        }
    }
    if (name.back() == L'.' || name.back() == L' ')
        return false;
    return !isReservedDeviceName(name);
}

bool downloadPathComponents(const std::wstring &path, std::vector<std::wstring> &components) {
    components.clear();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > start) {
            components.push_back(path.substr(start, end - start));
            if (!isPlainComponent(components.back()))
                return false;
        }
        start = end + 1;
    }
    return !components.empty();
}

bool digestMatches(const std::wstring &computed, const std::wstring &published) {
    if (published.empty() || published.size() != computed.size())
        return false;
    for (std::size_t i = 0; i < published.size(); ++i) {
        if (!isHexDigit(published[i]) || upper(published[i]) != upper(computed[i]))
            return false;
    }
    return true;
}

int progressPercent(std::uint64_t position, std::uint64_t total) {
    if (total == 0)
        return 0;
    if (position >= total)
        return 100;
    // position / total as a whole part and a remainder below total, multiplied by 100 bit by bit
    // (100 = 0b1100100); every step keeps the remainder below total, so nothing overflows.
    std::uint64_t whole = 0, rest = 0;
    auto addRemainder = [&](std::uint64_t addend) {
        if (rest >= total - addend) {
            ++whole;
            rest -= total - addend;
        } else {
            rest += addend;
        }
    };
    for (int bit = 6; bit >= 0; --bit) {
        whole *= 2;
        addRemainder(rest);
        if ((100 >> bit) & 1)
            addRemainder(position);
    }
    return static_cast<int>(whole);
}

} // namespace download
