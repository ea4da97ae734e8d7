#include "cabforge/core/archive_paths.h"

#include <algorithm>
#include <iterator>

namespace archive_paths {

namespace {

const int kShowDefault = 10;

// Types whose files carry their own icons.
const std::wstring kOwnIconTypes[] = {L".exe", L".ico", L".lnk", L".cur", L".ani", L".url"};

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// True when `text` begins with `prefix`, compared with `fold`.
bool startsWithFolded(const std::wstring &text, const std::wstring &prefix, cfcmd::CaseFold fold) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (fold(text[i]) != fold(prefix[i]))
            return false;
    }
    return true;
}

std::wstring withSeparator(const std::wstring &folder) {
    if (folder.empty() || isSeparator(folder.back()))
        return folder;
    return folder + L'\\';
}

} // namespace

std::wstring folderOf(const std::wstring &path) {
    std::wstring p = path;
    // A trailing separator belongs to the last component (C:\x\F\ is the folder F).
    while (p.size() > 1 && isSeparator(p.back()) && !(p.size() == 3 && p[1] == L':'))
        p.pop_back();
    const std::size_t cut = p.find_last_of(L"\\/");
    if (cut == std::wstring::npos)
        return p.size() >= 2 && p[1] == L':' ? p.substr(0, 2) : std::wstring();
    // A drive root keeps its separator.
    if (cut == 2 && p[1] == L':')
        return p.substr(0, 3);
    if (cut == 0)
        return p.substr(0, 1);
    return p.substr(0, cut);
}

std::wstring relativeBelow(const std::wstring &base, const std::wstring &path, cfcmd::CaseFold fold) {
    const std::wstring prefix = withSeparator(base);
    if (prefix.empty() || path.size() <= prefix.size() || !startsWithFolded(path, prefix, fold))
        return std::wstring();
    return path.substr(prefix.size());
}

std::wstring baseFor(const std::wstring &firstBase, const std::wstring &path, cfcmd::CaseFold fold) {
    if (!relativeBelow(firstBase, path, fold).empty())
        return firstBase;
    return folderOf(path);
}

std::vector<std::wstring> splitComponents(const std::wstring &relative) {
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find(L'\\', start);
        if (end == std::wstring::npos)
            end = relative.size();
        if (end > start)
            parts.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool asksOwnIcon(const std::wstring &path) {
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]))
        return false;
    const std::size_t dot = path.find_last_of(L"\\/.");
    if (dot == std::wstring::npos || path[dot] != L'.')
        return false;
    std::wstring extension = path.substr(dot);
    for (wchar_t &c : extension)
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return std::find(std::begin(kOwnIconTypes), std::end(kOwnIconTypes), extension) !=
           std::end(kOwnIconTypes);
}

int clampPanePosition(int requested, int clientWidth) {
    return std::max(kMinPane, std::min(requested, clientWidth - kBarWidth));
}

int clampDragPosition(int pointer, int extent) {
    return std::max(kMinPane, std::min(pointer, extent - kBarWidth));
}

int storedPaneWidth(int stored, int clientWidth) {
    return stored == -1 ? clientWidth * 70 / 100 : stored;
}

int restoreShowCommand(int stored) {
    switch (stored) {
    case 1: // normal
    case 3: // maximised
    case 4: // normal, not activated
    case 5: // shown
    case 8: // shown, not activated
    case 9: // restored
    case kShowDefault:
        return stored;
    default:
        // Minimised (2, 6, 7, 11), hidden (0) and anything unknown.
        return kShowDefault;
    }
}

} // namespace archive_paths
