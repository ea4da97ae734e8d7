#include "tarnbeam/retrieval/download_target.h"

#include <objbase.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "tarnbeam/retrieval/folder_security.h"
#include "tarnbeam/retrieval/portable/download_rules.h"

namespace {

// Tries for a download folder name nobody has taken; names are random, so a clash means
// somebody is squatting names, and a few tries are enough.
const int kFolderNameTries = 8;
// How long a pin waits for another reader (a scanner, typically) that briefly holds the file.
const int kPinTries = 40;
const DWORD kPinRetryMs = 50;
// Folders of earlier downloads are left this long (in file-time units of 100 ns: one day), so that
// a program started from one has finished with it.
const unsigned long long kOldDownloadAge = 24ULL * 60 * 60 * 10000000;
const wchar_t kFolderPrefix[] = L"dl-";

std::wstring RandomFolderName() {
    GUID guid = {};
    CoCreateGuid(&guid);
    wchar_t name[24];
    swprintf(name, 24, L"%ls%08lx%04x%04x", kFolderPrefix, static_cast<unsigned long>(guid.Data1), guid.Data2,
             guid.Data3);
    return name;
}

std::wstring CommonAppDataFolder() {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::wstring();
    return path;
}

// Walks the configured chain below the common data folder: each existing folder must be private,
// each missing one is made so.
bool MakePrivateChain(const DownloadTarget &target, PSID user) {
    size_t start = target.root.size() + 1;
    while (start <= target.base.size()) {
        size_t end = target.base.find(L'\\', start);
        if (end == std::wstring::npos)
            end = target.base.size();
        const std::wstring path = target.base.substr(0, end);
        const DWORD created = CreatePrivateFolder(path, user);
        if (created != ERROR_SUCCESS && (created != ERROR_ALREADY_EXISTS || !FolderIsPrivate(path, user)))
            return false;
        start = end + 1;
    }
    return true;
}

unsigned long long AsNumber(const FILETIME &time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Deletes the files of an earlier download's folder and the folder; stops at the first that
// cannot go (a program still running from it, say), leaving the rest.
void RemoveIfUnused(const std::wstring &folder) {
    WIN32_FIND_DATAW found = {};
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (find) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
                !DeleteFileW((folder + L'\\' + name).c_str()))
                return;
        } while (FindNextFileW(find.get(), &found));
    }
    find.reset();
    RemoveDirectoryW(folder.c_str());
}

void RemoveOldDownloads(const std::wstring &base) {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    WIN32_FIND_DATAW found = {};
    FindHandle find(FindFirstFileW((base + L'\\' + kFolderPrefix + L'*').c_str(), &found));
    if (!find)
        return;
    std::vector<std::wstring> old;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            AsNumber(now) > AsNumber(found.ftLastWriteTime) &&
            AsNumber(now) - AsNumber(found.ftLastWriteTime) > kOldDownloadAge)
            old.push_back(base + L'\\' + found.cFileName);
    } while (FindNextFileW(find.get(), &found));
    find.reset();
    for (const std::wstring &folder : old)
        RemoveIfUnused(folder);
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x = {}, y = {};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

} // namespace

bool PlanDownloadTarget(const std::wstring &downloadPath, const std::wstring &fileName,
                        DownloadTarget &target) {
    target.root = CommonAppDataFolder();
    std::vector<std::wstring> components;
    const bool plainPath = download::downloadPathComponents(downloadPath, components);
    target.base = target.root;
    for (const std::wstring &component : components)
        target.base += L'\\' + component;
    target.folder = target.base + L'\\' + RandomFolderName();
    target.path = target.folder + L'\\' + fileName;
    target.kind = download::programKind(fileName);
    if (!plainPath || !download::isPlainComponent(fileName) || target.kind == download::ProgramKind::kNone) {
        target.path = (plainPath ? target.base : target.root + L'\\' + downloadPath) + L'\\' + fileName;
        return false;
    }
    return !target.root.empty() && target.path.size() <= download::kMaxPathChars;
}

bool CreateDownloadFolder(DownloadTarget &target) {
    std::vector<BYTE> user = CurrentUserSid();
    if (user.empty() || !MakePrivateChain(target, user.data()))
        return false;
    RemoveOldDownloads(target.base);
    const std::wstring fileName = target.path.substr(target.folder.size() + 1);
    for (int i = 0; i < kFolderNameTries; ++i) {
        if (i > 0) {
            target.folder = target.base + L'\\' + RandomFolderName();
            target.path = target.folder + L'\\' + fileName;
        }
        const DWORD created = CreatePrivateFolder(target.folder, user.data());
        if (created == ERROR_SUCCESS) {
            // Held without delete sharing: nobody renames or removes it while it is ours.
            target.folderHold.reset(CreateFileW(
                target.folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (target.folderHold)
                return true;
            RemoveDirectoryW(target.folder.c_str());
            return false;
        }
        if (created != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

KernelHandle CreateDownloadFile(const DownloadTarget &target) {
    return KernelHandle(CreateFileW(target.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

KernelHandle PinDownloadFile(const DownloadTarget &target) {
    for (int i = 0;; ++i) {
        KernelHandle pin(CreateFileW(target.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (pin || GetLastError() != ERROR_SHARING_VIOLATION || i + 1 >= kPinTries)
            return pin;
        Sleep(kPinRetryMs);
    }
}

bool PathNamesPinnedFile(const DownloadTarget &target, HANDLE pin) {
    KernelHandle named(CreateFileW(target.path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return named && SameFile(named.get(), pin);
}

void ReleaseDownloadFolder(DownloadTarget &target) {
    target.folderHold.reset();
}

void RemoveDownload(DownloadTarget &target) {
    ReleaseDownloadFolder(target);
    DeleteFileW(target.path.c_str());
    RemoveDirectoryW(target.folder.c_str());
}
