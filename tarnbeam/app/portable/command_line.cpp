#include "tarnbeam/app/portable/command_line.h"

#include <cwchar>
#include <cwctype>

namespace {

// Quoted texts and bare words are cut into pieces of at most this many characters.
const size_t kMaxArgumentChars = 260;

bool IsSpace(wchar_t c) {
    return std::iswspace(static_cast<wint_t>(c)) != 0;
}

size_t SkipSpace(const std::wstring &text, size_t pos) {
    while (pos < text.size() && IsSpace(text[pos]))
        ++pos;
    return pos;
}

wchar_t LowerAscii(wchar_t c) {
    return std::towlower(static_cast<wint_t>(c));
}

} // namespace

ParsedCommandLine ParseCommandLine(const std::wstring &commandLine, const PathExistsFn &pathExists) {
    ParsedCommandLine result;
    const std::wstring &text = commandLine;
    size_t pos = 0;
    if (!text.empty() && text[0] == L'"') {
        const size_t close = text.find(L'"', 1);
        pos = close == std::wstring::npos ? text.size() : close + 1;
    } else {
        while (pos < text.size() && !IsSpace(text[pos]))
            ++pos;
    }
    pos = SkipSpace(text, pos);
    result.arguments = text.substr(pos);

    while (pos < text.size()) {
        const wchar_t c = text[pos];
        if (c == L'/' || c == L'-') {
            size_t end = pos + 1;
            while (end < text.size() && !IsSpace(text[end]))
                ++end;
            result.switches.push_back(text.substr(pos + 1, end - pos - 1));
            pos = SkipSpace(text, end);
        } else if (c == L'"') {
            size_t start = pos + 1;
            size_t end = start;
            while (end < text.size() && text[end] != L'"' && end - start < kMaxArgumentChars)
                ++end;
            result.positionals.push_back(text.substr(start, end - start));
            if (end < text.size() && text[end] == L'"')
                ++end;
            pos = SkipSpace(text, end);
        } else {
            const std::wstring rest = text.substr(pos);
            if (pathExists && pathExists(rest)) {
                result.positionals.push_back(rest);
                break;
            }
            size_t end = pos;
            while (end < text.size() && !IsSpace(text[end]) && end - pos < kMaxArgumentChars)
                ++end;
            result.positionals.push_back(text.substr(pos, end - pos));
            pos = SkipSpace(text, end);
        }
    }
    return result;
}

bool HasFlagSwitch(const ParsedCommandLine &line, const std::wstring &name) {
    for (const std::wstring &s : line.switches)
        if (s == name)
            return true;
    return false;
}

bool FindValueSwitch(const ParsedCommandLine &line, const std::wstring &name, std::wstring &value) {
    const std::wstring prefix = name + L":";
    for (const std::wstring &s : line.switches) {
        if (s.size() < prefix.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < prefix.size() && same; ++i)
            same = LowerAscii(s[i]) == LowerAscii(prefix[i]);
        if (same) {
            value = s.substr(prefix.size());
            return true;
        }
    }
    return false;
}

long long ParseAutoBaseNumber(const std::wstring &text) {
    return std::wcstoll(text.c_str(), nullptr, 0);
}
