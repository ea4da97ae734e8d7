#include "cabforge/core/cab_builder.h"

#include <shlobj.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "cabforge/core/cab/cab_flow.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

namespace {

const std::size_t kPathChars = 260;
const wchar_t kTempPrefix[] = L"xx";

// The folder temporary files go to: TMP (quotes allowed) when it names a folder, else the root of
// the current drive, else the current folder.
std::wstring TempFolder() {
    wchar_t value[kPathChars * 2] = {};
    const DWORD n =
        GetEnvironmentVariableW(L"TMP", value, static_cast<DWORD>(sizeof value / sizeof value[0]));
    if (n > 0 && n < sizeof value / sizeof value[0]) {
        std::wstring folder(value);
        if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
            folder = folder.substr(1, folder.size() - 2);
        if (!folder.empty() && IsExistingFolder(folder))
            return folder;
    }
    wchar_t current[kPathChars * 2] = {};
    const DWORD c = GetCurrentDirectoryW(static_cast<DWORD>(sizeof current / sizeof current[0]), current);
    if (c == 0 || c >= sizeof current / sizeof current[0])
        return L".";
    const std::wstring currentFolder(current);
    if (currentFolder.size() >= 3 && currentFolder[1] == L':') {
        const std::wstring root = currentFolder.substr(0, 3);
        if (IsExistingFolder(root))
            return root;
    }
    return currentFolder;
}

// A fresh temporary name: the prefix and the first decimal number not yet taken in the folder.
bool MakeTempName(std::wstring &name) {
    std::wstring folder = TempFolder();
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';
    for (unsigned number = 1; number < 0x7FFFFFFF; ++number) {
        std::wstring candidate = folder + kTempPrefix + std::to_wstring(number);
        if (GetFileAttributesW(candidate.c_str()) == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                return false;
            name = candidate;
            return true;
        }
    }
    return false;
}

// The target's full path; false when it does not fit the path buffer, names no file, or its folder
// or name do not fit the 255 bytes the platform's cabinet library takes for each.
bool FullTarget(const std::wstring &target, std::wstring &full) {
    const std::size_t kMaxFieldBytes = 255;
    wchar_t buffer[kPathChars];
    const DWORD n = GetFullPathNameW(target.c_str(), static_cast<DWORD>(kPathChars), buffer, nullptr);
    if (n == 0 || n >= kPathChars)
        return false;
    full = buffer;
    const std::size_t cut = full.find_last_of(L"\\/");
    std::string folder, name;
    return cut != std::wstring::npos && cut + 1 < full.size() &&
           Utf16ToUtf8(full.substr(0, cut + 1), folder) && Utf16ToUtf8(full.substr(cut + 1), name) &&
           folder.size() <= kMaxFieldBytes && name.size() <= kMaxFieldBytes;
}

// A system error of opening a source as the C runtime would number it.
int ErrnoOf(DWORD error) {
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    default:
        return EACCES;
    }
}

std::string ResourceUtf8(UINT id) {
    std::string text;
    Utf16ToUtf8(LoadResourceString(id), text);
    return text;
}

std::string Reason(int err) {
    switch (err) {
    case EBUSY:
        return ResourceUtf8(IDS_REASON_IN_USE);
    case EACCES:
    case EPERM:
    case EROFS:
        return ResourceUtf8(IDS_REASON_ACCESS);
    case ENOENT:
        return ResourceUtf8(IDS_REASON_NOT_FOUND);
    case ENOSPC:
        return ResourceUtf8(IDS_REASON_DISK_FULL);
    default:
        return cabflow::formatText(ResourceUtf8(IDS_REASON_OTHER), {std::to_string(err)});
    }
}

cabflow::FailureTexts WindowsTexts() {
    cabflow::FailureTexts t;
    t.sourceGone = ResourceUtf8(IDS_FAIL_SOURCE_GONE);
    t.sourceUnreadable = ResourceUtf8(IDS_FAIL_SOURCE_UNREADABLE);
    t.tempUnwritable = ResourceUtf8(IDS_FAIL_TEMP);
    t.cabinetUnwritable = ResourceUtf8(IDS_FAIL_CABINET);
    t.outOfMemory = ResourceUtf8(IDS_FAIL_MEMORY);
    t.cabinetTooLarge = ResourceUtf8(IDS_FAIL_CABINET_SIZE);
    t.tooManyFiles = ResourceUtf8(IDS_FAIL_FILES);
    t.folderTooLarge = ResourceUtf8(IDS_FAIL_FOLDER_SIZE);
    t.nameTooLong = ResourceUtf8(IDS_FAIL_NAME_LONG);
    t.nameNotUtf8 = ResourceUtf8(IDS_FAIL_NAME_ENCODING);
    t.nameUnsafe = ResourceUtf8(IDS_FAIL_NAME_UNSAFE);
    t.cancelled = ResourceUtf8(IDS_FAIL_CANCELLED);
    t.nothingToPack = ResourceUtf8(IDS_FAIL_NOTHING);
    t.writerFailed = ResourceUtf8(IDS_FAIL_WRITER);
    t.reason = Reason;
    return t;
}

std::wstring Wide(const std::string &utf8) {
    std::wstring text;
    Utf8ToUtf16(utf8.c_str(), text);
    return text;
}

// The Windows file system as the cabinet build reaches it: the C runtime's descriptors, opened by
// UTF-16 names.
class WindowsFiles : public cabflow::FileAccess {
  public:
    WindowsFiles(const std::vector<std::wstring> &sources, const std::wstring &target,
                 CabBuilder::Progress report, LPARAM user)
        : m_sources(sources), m_target(target), m_progress(report), m_user(user) {}

    bool probe(std::size_t index, std::uint64_t &size) override {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        size = 0;
        if (!GetFileAttributesExW(m_sources[index].c_str(), GetFileExInfoStandard, &data)) {
            const DWORD error = GetLastError();
            return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        }
        // A folder counts as an entry that cannot be read.
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            size = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        return true;
    }

    // Opened once for its record (shared reading, sequential scan), then again through the C
    // runtime for its bytes.
    std::intptr_t openSource(std::size_t index, cabflow::SourceInfo &info, int *err) override {
        const std::wstring &path = m_sources[index];
        KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file.valid()) {
            *err = ErrnoOf(GetLastError());
            return -1;
        }
        BY_HANDLE_FILE_INFORMATION record = {};
        FILETIME local = {};
        SYSTEMTIME time = {};
        if (GetFileInformationByHandle(file.get(), &record)) {
            if (FileTimeToLocalFileTime(&record.ftLastWriteTime, &local) &&
                FileTimeToSystemTime(&local, &time))
                info.modified = {time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond};
            info.readOnly = (record.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
            info.hidden = (record.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
            info.system = (record.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
            info.archive = (record.dwFileAttributes & FILE_ATTRIBUTE_ARCHIVE) != 0;
        }
        file.reset();
        return OpenWide(path, _O_RDONLY | _O_BINARY, 0, err);
    }

    bool tempName(char *buffer, int bufferSize) override {
        std::wstring name;
        std::string utf8;
        if (bufferSize <= 0 || !MakeTempName(name) || !Utf16ToUtf8(name, utf8) ||
            utf8.size() + 1 > static_cast<std::size_t>(bufferSize))
            return false;
        std::memcpy(buffer, utf8.c_str(), utf8.size() + 1);
        return true;
    }

    std::intptr_t openTemp(const char *name, int oflag, int pmode, int *err) override {
        return OpenWide(Wide(name), oflag, pmode, err);
    }

    int removeTemp(const char *name, int *err) override { return Remove(Wide(name), err); }

    std::intptr_t openCabinet(int oflag, int pmode, int *err) override {
        return OpenWide(m_target, oflag, pmode, err);
    }

    int removeCabinet(int *err) override { return Remove(m_target, err); }

    bool progress(std::size_t index, std::uint64_t done, std::uint64_t fileSize) override {
        if (!m_progress || index >= m_sources.size())
            return true;
        return m_progress(m_sources[index], static_cast<unsigned long>(done & 0xFFFFFFFF),
                          static_cast<unsigned long>(fileSize & 0xFFFFFFFF), m_user);
    }

  private:
    // No sharing denial: the writer and other programs may read what is open.
    static std::intptr_t OpenWide(const std::wstring &path, int oflag, int pmode, int *err) {
        int fd = -1;
        const errno_t e = _wsopen_s(&fd, path.c_str(), oflag, _SH_DENYNO, pmode);
        if (e != 0 || fd == -1) {
            *err = e ? e : errno;
            return -1;
        }
        return fd;
    }

    static int Remove(const std::wstring &path, int *err) {
        const int r = _wremove(path.c_str());
        if (r != 0)
            *err = errno;
        return r;
    }

    const std::vector<std::wstring> &m_sources;
    std::wstring m_target;
    CabBuilder::Progress m_progress;
    LPARAM m_user;
};

} // namespace

void CabBuilder::addFile(const std::wstring &source, const std::wstring &name) {
    m_sources.push_back(source);
    m_names.push_back(name);
}

bool CabBuilder::build(const std::wstring &target, Progress progress, LPARAM user) {
    m_failureLine.clear();
    std::wstring full;
    if (!FullTarget(target, full)) {
        m_failureLine = FormatResource(IDS_FAIL_TARGET, target);
        return false;
    }
    std::vector<cabflow::Entry> entries(m_sources.size());
    for (std::size_t i = 0; i < m_sources.size(); ++i) {
        if (!Utf16ToUtf8(m_sources[i], entries[i].source) || !Utf16ToUtf8(m_names[i], entries[i].name)) {
            m_failureLine = FormatResource(IDS_FAIL_NAME_ENCODING, m_sources[i]);
            return false;
        }
    }
    WindowsFiles files(m_sources, full, progress, user);
    cabflow::Failure failure;
    if (!cabflow::build(entries, cabflow::Settings(), files, failure)) {
        cabflow::FailurePaths paths;
        Utf16ToUtf8(full, paths.cabinet);
        Utf16ToUtf8(TempFolder(), paths.tempFolder);
        m_failureLine = Wide(cabflow::describeFailure(failure, entries, paths, WindowsTexts()));
        return false;
    }
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, full.c_str(), nullptr);
    return true;
}
