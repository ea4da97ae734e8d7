#include "cabforge/core/folder_scan.h"

#include <windows.h>

#include "cabforge/core/cmdline/command_line.h"
#include "cabforge/core/progress_dialog.h"
#include "cabforge/core/win_util.h"

namespace {

const std::size_t kPathChars = 260;

bool EndsWithSeparator(const std::wstring &path) {
    return !path.empty() && (path.back() == L'\\' || path.back() == L'/');
}

bool ScanInto(const std::wstring &folder, const std::vector<std::wstring> &exclusions,
              std::vector<std::wstring> &files) {
    const std::wstring prefix = EndsWithSeparator(folder) ? folder : folder + L'\\';
    const std::wstring pattern = prefix + L"*.*";
    if (pattern.size() >= kPathChars)
        return true;
    WIN32_FIND_DATAW entry = {};
    FindHandle search(FindFirstFileW(pattern.c_str(), &entry));
    if (!search.valid())
        return true;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (cfcmd::matchesAny(name, exclusions, ShellCaseFold))
                continue;
            if (!ScanInto(prefix + name, exclusions, files))
                return false;
        } else {
            files.push_back(prefix + name);
            if (ProgressDialog::handle()) {
                ProgressDialog::setDetail(name);
                ProgressDialog::pump();
                if (ProgressDialog::cancelled())
                    return false;
            }
        }
    } while (FindNextFileW(search.get(), &entry));
    return true;
}

} // namespace

bool ScanFolder(const std::wstring &folder, const std::vector<std::wstring> &exclusions,
                std::vector<std::wstring> &files) {
    return ScanInto(folder, exclusions, files);
}
