#include "tarnbeam/retrieval/portable/subject_name.h"

#include <algorithm>
#include <cwctype>

namespace publisher {

namespace {

// The names openssl prints where the platform prints another, mapped to the platform's.
struct Alias {
    const wchar_t *name;
    const wchar_t *canonical;
};
const Alias kAliases[] = {
    {L"ST", L"S"}, {L"EMAILADDRESS", L"E"}, {L"GN", L"G"}, {L"GIVENNAME", L"G"}, {L"TITLE", L"T"},
};

std::wstring Trimmed(const std::wstring &text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::iswspace(text[begin]))
        ++begin;
    while (end > begin && std::iswspace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::wstring CanonicalType(std::wstring type) {
    for (wchar_t &c : type)
        c = static_cast<wchar_t>(std::towupper(c));
    if (type.compare(0, 4, L"OID.") == 0)
        type.erase(0, 4);
    for (const Alias &alias : kAliases)
        if (type == alias.name)
            return alias.canonical;
    return type;
}

bool IsSeparator(wchar_t c) {
    return c == L',' || c == L';' || c == L'+';
}

// Reads one value from `i` up to its separator (or the end); false on an unclosed quote.
bool ReadValue(const std::wstring &text, size_t &i, std::wstring &value) {
    while (i < text.size() && std::iswspace(text[i]))
        ++i;
    value.clear();
    if (i < text.size() && text[i] == L'"') {
        for (++i;; ++i) {
            if (i >= text.size())
                return false;
            if (text[i] == L'"') {
                if (i + 1 < text.size() && text[i + 1] == L'"') {
                    value += L'"';
                    ++i;
                    continue;
                }
                ++i;
                break;
            }
            if (text[i] == L'\\' && i + 1 < text.size())
                ++i;
            value += text[i];
        }
        while (i < text.size() && std::iswspace(text[i]))
            ++i;
        return i >= text.size() || IsSeparator(text[i]);
    }
    size_t keep = 0; // length up to the last escaped character, which trimming must not remove
    for (; i < text.size() && !IsSeparator(text[i]); ++i) {
        if (text[i] == L'\\' && i + 1 < text.size()) {
            value += text[++i];
            keep = value.size();
            continue;
        }
        value += text[i];
    }
    while (value.size() > keep && std::iswspace(value.back()))
        value.pop_back();
    return true;
}

} // namespace

bool parseSubject(const std::wstring &input, DistinguishedName &name) {
    name.clear();
    std::wstring text = Trimmed(input);
    for (const wchar_t *prefix : {L"subject=", L"subject:"}) {
        const std::wstring p(prefix);
        if (text.size() >= p.size() && std::equal(p.begin(), p.end(), text.begin(), [](wchar_t a, wchar_t b) {
                return std::towlower(a) == std::towlower(b);
            })) {
            text = Trimmed(text.substr(p.size()));
            break;
        }
    }
    size_t i = 0;
    while (i < text.size()) {
        const size_t equals = text.find(L'=', i);
        if (equals == std::wstring::npos)
            return false;
        NameAttribute attribute;
        attribute.type = Trimmed(text.substr(i, equals - i));
        if (attribute.type.empty() || std::any_of(attribute.type.begin(), attribute.type.end(),
                                                  [](wchar_t c) { return IsSeparator(c); }))
            return false;
        i = equals + 1;
        if (!ReadValue(text, i, attribute.value))
            return false;
        name.push_back(attribute);
        if (i < text.size())
            ++i; // the separator
    }
    return !name.empty();
}

bool sameSubject(const DistinguishedName &a, const DistinguishedName &b) {
    if (a.size() != b.size() || a.empty())
        return false;
    const auto same = [](const NameAttribute &x, const NameAttribute &y) {
        return x.value == y.value && CanonicalType(x.type) == CanonicalType(y.type);
    };
    return std::equal(a.begin(), a.end(), b.begin(), same) ||
           std::equal(a.begin(), a.end(), b.rbegin(), same);
}

} // namespace publisher
