#include "cabforge/core/cmdline/wildcard.h"

namespace cfcmd {

wchar_t defaultCaseFold(wchar_t c) {
    const unsigned u = static_cast<unsigned>(c);
    if (u >= 'a' && u <= 'z')
        return static_cast<wchar_t>(u - 0x20);
    if (u < 0x80)
        return c;
    if ((u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F) || (u >= 0xFF41 && u <= 0xFF5A))
        return static_cast<wchar_t>(u - 0x20);
    if (u == 0xFF)
        return static_cast<wchar_t>(0x178);
    if (u >= 0x450 && u <= 0x45F)
        return static_cast<wchar_t>(u - 0x50);
    // Latin Extended-A pairs letters as upper/lower: even/odd from U+0100 to U+0137 and from U+014A
    // to U+0177, odd/even from U+0139 to U+0148 and from U+0179 to U+017E.
    if (((u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) && (u & 1))
        return static_cast<wchar_t>(u - 1);
    if (((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) && !(u & 1))
        return static_cast<wchar_t>(u - 1);
    return c;
}

namespace {

bool isPatternEnd(const wchar_t *p) {
    return *p == L'\0' || *p == L';';
}

// Matches `name` against one pattern that ends at NUL or ';'. Greedy with one backtrack point
// (the last '*' seen), which is enough for '*' and '?' and keeps the work at O(name x pattern)
// whatever the number of stars.
bool matchOne(const wchar_t *name, const wchar_t *pattern, CaseFold fold) {
    const wchar_t *starPattern = nullptr;
    const wchar_t *starName = nullptr;
    for (;;) {
        if (!isPatternEnd(pattern) && *pattern == L'*') {
            starPattern = ++pattern;
            starName = name;
            continue;
        }
        if (*name == L'\0') {
            while (!isPatternEnd(pattern) && *pattern == L'*')
                ++pattern;
            if (isPatternEnd(pattern))
                return true;
        } else if (!isPatternEnd(pattern) && (*pattern == L'?' || fold(*pattern) == fold(*name))) {
            ++name;
            ++pattern;
            continue;
        }
        // Mismatch: let the last star swallow one more character, if there is one to swallow.
        if (!starPattern || *starName == L'\0')
            return false;
        pattern = starPattern;
        name = ++starName;
    }
}

} // namespace

bool matchPattern(const std::wstring &name, const std::wstring &pattern, CaseFold fold) {
    if (pattern == L"*.*")
        return true;
    const wchar_t *p = pattern.c_str();
    while (*p) {
        while (*p == L' ')
            ++p;
        if (matchOne(name.c_str(), p, fold))
            return true;
        while (*p && *p != L';')
            ++p;
        if (*p == L';')
            ++p;
    }
    return false;
}

} // namespace cfcmd
