#include "cabforge/core/folder_scan.h"

#include <windows.h>

#include "cabforge/core/progress_dialog.h"
#include "cabforge/core/win_util.h"

namespace {

const std::size_t kPathChars = 260;

class FindFileLister : public cfcmd::FolderLister {
  public:
    Outcome list(const std::wstring &prefix, std::vector<cfcmd::FolderEntry> &entries) override {
        const std::wstring pattern = prefix + L"*.*";
        if (pattern.size() >= kPathChars)
            return Outcome::Skip;
        WIN32_FIND_DATAW found = {};
        FindHandle search(FindFirstFileW(pattern.c_str(), &found));
        if (!search.valid())
            return Outcome::Skip;
        do {
            entries.push_back({found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        } while (FindNextFileW(search.get(), &found));
        return Outcome::Listed;
    }

    bool fileFound(const cfcmd::ScannedFile &file) override {
        if (!ProgressDialog::handle())
            return true;
        ProgressDialog::setDetail(file.name);
        ProgressDialog::pump();
        return !ProgressDialog::cancelled();
    }
};

} // namespace

bool ScanFolder(const std::wstring &folder, const std::vector<std::wstring> &exclusions,
                std::vector<cfcmd::ScannedFile> &files) {
    FindFileLister lister;
    cfcmd::ScanSettings settings;
    settings.fold = ShellCaseFold;
    return cfcmd::scanFolder(folder, exclusions, settings, lister, files);
}
