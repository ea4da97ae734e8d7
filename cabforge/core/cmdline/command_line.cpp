#include "cabforge/core/cmdline/command_line.h"

#include <cwctype>
#include <limits>

namespace cfcmd {

namespace {

const std::size_t kPathBufferChars = 260;

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Case-insensitive test of the first `prefix.size()` characters; the rest goes to `rest`.
bool hasPrefix(const std::wstring &arg, const wchar_t *prefix, CaseFold fold, std::wstring &rest) {
    const std::wstring p(prefix);
    if (arg.size() < p.size())
        return false;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (fold(arg[i]) != fold(p[i]))
            return false;
    }
    rest = arg.substr(p.size());
    return true;
}

bool equalsNoCase(const std::wstring &a, const wchar_t *b, CaseFold fold) {
    std::wstring rest;
    return hasPrefix(a, b, fold, rest) && rest.empty();
}

} // namespace

std::int64_t parseDecimal(const std::wstring &text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    const std::int64_t limit = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        const int digit = text[i] - L'0';
        if (value > (limit - digit) / 10)
            return negative ? std::numeric_limits<std::int64_t>::min() : limit;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

StartupOptions parseArguments(const std::vector<std::wstring> &args, const ArgumentProbes &probes) {
    const CaseFold fold = probes.fold ? probes.fold : defaultCaseFold;
    StartupOptions o;
    for (const std::wstring &arg : args) {
        std::wstring rest;
        if (hasPrefix(arg, L"/hwnd:", fold, rest)) {
            const std::int64_t value = parseDecimal(rest);
            const bool exists =
                value != 0 && probes.isWindow && probes.isWindow(static_cast<std::intptr_t>(value));
            o.hostWindow = exists ? static_cast<std::intptr_t>(value) : 0;
        }
        if (hasPrefix(arg, L"/arc:", fold, rest))
            o.switchArchivePath = rest;
        if (hasPrefix(arg, L"/file:", fold, rest) && !rest.empty())
            o.files.push_back(rest);
        if (hasPrefix(arg, L"/except:", fold, rest) && !rest.empty())
            o.exclusions.push_back(rest);
        if (!arg.empty() && probes.isFolder && probes.isFolder(arg))
            o.folderPath = arg;
        if (matchPattern(arg, L"*.pkp", fold))
            o.projectPath = arg;
        if (matchPattern(arg, L"*.cab", fold))
            o.bareArchivePath = arg;
        if (equalsNoCase(arg, L"/compress", fold))
            o.compress = true;
        if (equalsNoCase(arg, L"/silent", fold))
            o.silent = true;
    }
    return o;
}

Mode selectMode(const StartupOptions &o) {
    if (!o.files.empty() && !o.bareArchivePath.empty())
        return Mode::FileList;
    if (!o.folderPath.empty())
        return Mode::Folder;
    return o.compress ? Mode::ProjectBuild : Mode::Interactive;
}

std::wstring fileNamePart(const std::wstring &path) {
    const std::size_t cut = path.find_last_of(L"\\/:");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

bool matchesAny(const std::wstring &name, const std::vector<std::wstring> &patterns, CaseFold fold) {
    for (const std::wstring &p : patterns) {
        if (matchPattern(name, p, fold ? fold : defaultCaseFold))
            return true;
    }
    return false;
}

bool renameExtension(const std::wstring &path, const std::wstring &extension, std::size_t bufferChars,
                     std::wstring &result) {
    std::wstring base = path;
    // Drop trailing separators, but keep the one of a root ("\", "C:\").
    const std::size_t rootLength = (base.size() >= 3 && base[1] == L':' && isSeparator(base[2])) ? 3
                                   : (!base.empty() && isSeparator(base[0]))                     ? 1
                                                                                                 : 0;
    while (base.size() > rootLength && base.size() > 1 && isSeparator(base.back()))
        base.pop_back();
    std::size_t dot = std::wstring::npos;
    for (std::size_t i = 0; i < base.size(); ++i) {
        if (base[i] == L'\\' || base[i] == L' ')
            dot = std::wstring::npos;
        else if (base[i] == L'.')
            dot = i;
    }
    std::wstring renamed = (dot == std::wstring::npos ? base : base.substr(0, dot)) + extension;
    if (renamed.size() + 1 > bufferChars)
        return false;
    result = renamed;
    return true;
}

std::wstring relativeName(const std::wstring &folder, const std::wstring &path) {
    std::size_t start = 0;
    if (path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0)
        start = folder.size();
    while (start < path.size() && isSeparator(path[start]))
        ++start;
    std::wstring name = path.substr(start);
    for (wchar_t &c : name) {
        if (c == L'/')
            c = L'\\';
    }
    return name;
}

std::wstring folderArchivePath(const StartupOptions &o) {
    std::wstring path;
    if (!o.switchArchivePath.empty())
        path = o.switchArchivePath;
    else if (!o.bareArchivePath.empty())
        path = o.bareArchivePath;
    else if (!renameExtension(o.folderPath, L".cab", kPathBufferChars, path))
        return std::wstring();
    return path;
}

} // namespace cfcmd
