#include "tarnbeam/retrieval/download_target.h"

#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "tarnbeam/retrieval/portable/download_rules.h"

namespace {

// Tries for a download folder name nobody has taken; names are random, so a clash means
// somebody is squatting names, and a few tries are enough.
const int kFolderNameTries = 8;
// How long a pin waits for another reader (a scanner, typically) that briefly holds the file.
const int kPinTries = 40;
const DWORD kPinRetryMs = 50;

std::wstring RandomFolderName() {
    GUID guid = {};
    CoCreateGuid(&guid);
    wchar_t name[24];
    swprintf(name, 24, L"dl-%08lx%04x%04x", static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3);
    return name;
}

std::wstring CommonAppDataFolder() {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::wstring();
    return path;
}

// Every folder from the common application data folder down to `target.base` must be a real
// folder: a link or junction there could send the download anywhere.
bool ChainIsPlainFolders(const std::wstring &root, const std::wstring &relative) {
    std::wstring path = root;
    size_t start = 0;
    for (;;) {
        const size_t end = relative.find(L'\\', start);
        path += L'\\';
        path += relative.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return false;
        if (end == std::wstring::npos)
            return true;
        start = end + 1;
    }
}

// The current user's SID as text ("S-1-5-21-...").
std::wstring CurrentUserSid() {
    KernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return std::wstring();
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return std::wstring();
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &text))
        return std::wstring();
    LocalMemory owned(text);
    return text;
}

// A protected DACL (nothing inherited from the parent): full access for the system, the
// administrators and this user, for the folder and everything created in it.
bool CreatePrivateFolder(const std::wstring &path) {
    const std::wstring sid = CurrentUserSid();
    if (sid.empty())
        return false;
    const std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + sid + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    LocalMemory owned(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
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
    target.base = target.root + L'\\' + downloadPath;
    target.folder = target.base + L'\\' + RandomFolderName();
    target.path = target.folder + L'\\' + fileName;
    if (!download::isPlainRelativePath(downloadPath) || !download::isPlainComponent(fileName)) {
        target.path = target.base + L'\\' + fileName;
        return false;
    }
    return !target.root.empty() && target.path.size() <= download::kMaxPathChars;
}

bool CreateDownloadFolder(DownloadTarget &target) {
    SHCreateDirectoryExW(nullptr, target.base.c_str(), nullptr);
    if (!ChainIsPlainFolders(target.root, target.base.substr(target.root.size() + 1)))
        return false;
    const std::wstring fileName = target.path.substr(target.folder.size() + 1);
    for (int i = 0; i < kFolderNameTries; ++i) {
        if (i > 0) {
            target.folder = target.base + L'\\' + RandomFolderName();
            target.path = target.folder + L'\\' + fileName;
        }
        if (CreatePrivateFolder(target.folder))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
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

void RemoveDownload(const DownloadTarget &target) {
    DeleteFileW(target.path.c_str());
    RemoveDirectoryW(target.folder.c_str());
}
