#include "cabforge/core/cmdline/pack_rules.h"

#include <cwchar>

#include "cabforge/core/cmdline/command_line.h"

namespace cfcmd {

namespace {

struct Scan {
    const std::vector<std::wstring> &exclusions;
    const ScanSettings &settings;
    FolderLister &lister;
    const std::wstring &top;
    std::vector<ScannedFile> &files;
};

bool endsWithSeparator(const std::wstring &path, const wchar_t *separators) {
    return !path.empty() && std::wcschr(separators, path.back()) != nullptr;
}

// False when the lister stopped the scan.
bool scanInto(Scan &scan, const std::wstring &folder) {
    const std::wstring prefix =
        endsWithSeparator(folder, scan.settings.separators) ? folder : folder + scan.settings.separators[0];
    std::vector<FolderEntry> entries;
    switch (scan.lister.list(prefix, entries)) {
    case FolderLister::Outcome::Listed:
        break;
    case FolderLister::Outcome::Skip:
        return true;
    case FolderLister::Outcome::Stop:
        return false;
    }
    for (const FolderEntry &entry : entries) {
        if (entry.name == L"." || entry.name == L"..")
            continue;
        if (entry.isFolder) {
            if (!matchesAny(entry.name, scan.exclusions, scan.settings.fold) &&
                !scanInto(scan, prefix + entry.name))
                return false;
            continue;
        }
        ScannedFile file;
        file.path = prefix + entry.name;
        file.name = entry.name;
        file.archiveName = relativeName(scan.top, file.path);
        if (!scan.lister.fileFound(file))
            return false;
        if (!matchesAny(file.name, scan.exclusions, scan.settings.fold))
            scan.files.push_back(file);
    }
    return true;
}

} // namespace

bool scanFolder(const std::wstring &folder, const std::vector<std::wstring> &exclusions,
                const ScanSettings &settings, FolderLister &lister, std::vector<ScannedFile> &files) {
    Scan scan{exclusions, settings, lister, folder, files};
    return scanInto(scan, folder);
}

} // namespace cfcmd
