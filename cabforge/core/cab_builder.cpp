#include "cabforge/core/cab_builder.h"

#include <shlobj.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "cabforge/core/cmdline/command_line.h"
#include "cabforge/core/cmdline/pack_rules.h"
#include "cabforge/core/win_util.h"

namespace {

const std::size_t kPathChars = 260;
const std::uint16_t kSetId = 12345;
const wchar_t kTempPrefix[] = L"xx";
// Attribute bits kept from the source file; the writer adds the UTF-8 name flag.
const DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Copies UTF-8 text into a fixed writer field; false when it does not fit.
bool CopyField(char *field, std::size_t fieldSize, const std::wstring &text) {
    std::string utf8;
    if (!Utf16ToUtf8(text, utf8) || utf8.size() + 1 > fieldSize)
        return false;
    std::memcpy(field, utf8.c_str(), utf8.size() + 1);
    return true;
}

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

// The target's full path, its folder with a trailing backslash, and its file-name part.
bool SplitTarget(const std::wstring &target, std::wstring &full, std::wstring &folder, std::wstring &name) {
    wchar_t buffer[kPathChars];
    const DWORD n = GetFullPathNameW(target.c_str(), static_cast<DWORD>(kPathChars), buffer, nullptr);
    if (n == 0 || n >= kPathChars)
        return false;
    full = buffer;
    const std::size_t cut = full.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut + 1 >= full.size())
        return false;
    folder = full.substr(0, cut) + L'\\';
    name = full.substr(cut + 1);
    return true;
}

} // namespace

void CabBuilder::addFile(const std::wstring &source, const std::wstring &name) {
    m_sources.push_back(source);
    m_names.push_back(name);
}

bool CabBuilder::build(const std::wstring &target, Progress progress, LPARAM user) {
    std::wstring full, folder, name;
    if (!SplitTarget(target, full, folder, name))
        return false;
    m_compressedBytes = 0;
    m_uncompressedBytes = 0;
    m_currentFile.clear();
    m_currentSize = 0;
    m_progress = progress;
    m_user = user;
    m_error = cabw::ErrorRecord();

    cabw::CabinetParams params;
    params.maxCabinetSize = 0xFFFFFFFF;
    params.folderThreshold = 0xFFFFFFFF;
    params.reserveHeader = 0;
    params.reserveFolder = 0;
    params.reserveData = 0;
    params.cabinetNumber = 1;
    params.diskNumber = 0;
    params.failOnIncompressible = false;
    params.setId = kSetId;
    params.diskName[0] = '\0';
    if (!CopyField(params.cabinetName, sizeof params.cabinetName, name) ||
        !CopyField(params.cabinetPath, sizeof params.cabinetPath, folder))
        return false;

    cabw::Callbacks callbacks = {};
    callbacks.alloc = Alloc;
    callbacks.free = Free;
    callbacks.open = Open;
    callbacks.read = Read;
    callbacks.write = Write;
    callbacks.close = Close;
    callbacks.seek = Seek;
    callbacks.deleteFile = Delete;
    callbacks.getTempFile = GetTempFile;
    callbacks.filePlaced = FilePlaced;

    cabw::Handle writer = cabw::create(&m_error, callbacks, params, this);
    if (!writer)
        return false;

    bool ok = true;
    std::size_t added = 0;
    for (std::size_t i = 0; ok && i < m_sources.size(); ++i) {
        if (i == 0 && !cabw::flushFolder(writer, GetNextCabinet, Status)) {
            ok = false;
            break;
        }
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!GetFileAttributesExW(m_sources[i].c_str(), GetFileExInfoStandard, &data)) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                continue; // gone since it was listed: the archive is written without it
        }
        const std::uint64_t size = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        const std::uint16_t type = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                                       ? cabw::kCompressLzx21
                                       : cfcmd::entryCompressionType(m_sources.size(), size);
        std::string source, entryName;
        if (!Utf16ToUtf8(m_sources[i], source) || !Utf16ToUtf8(m_names[i], entryName)) {
            ok = false;
            break;
        }
        ok = cabw::addFile(writer, source.c_str(), entryName.c_str(), false, GetNextCabinet, Status,
                           GetOpenInfo, type);
        if (ok)
            ++added;
    }
    // With nothing added the writer would write no cabinet at all: report that as a failure rather
    // than claim an archive that does not exist.
    if (ok && added == 0)
        ok = false;
    if (ok)
        ok = cabw::flushCabinet(writer, true, GetNextCabinet, Status);
    if (!cabw::destroy(writer))
        ok = false;
    if (!ok)
        return false;
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, full.c_str(), nullptr);
    return true;
}

// ---- Writer callbacks ----

void *CabBuilder::Alloc(std::size_t size, void *) {
    return std::calloc(1, size ? size : 1);
}

void CabBuilder::Free(void *block, void *) {
    std::free(block);
}

std::intptr_t CabBuilder::Open(const char *name, int oflag, int pmode, int *err, void *) {
    std::wstring path;
    if (!Utf8ToUtf16(name, path)) {
        *err = EINVAL;
        return -1;
    }
    int fd = -1;
    const errno_t e = _wsopen_s(&fd, path.c_str(), oflag, _SH_DENYNO, pmode);
    if (e != 0 || fd == -1) {
        *err = e ? e : errno;
        return -1;
    }
    return fd;
}

int CabBuilder::Read(std::intptr_t fd, void *buffer, unsigned count, int *err, void *) {
    const int n = _read(static_cast<int>(fd), buffer, count);
    if (n < 0)
        *err = errno;
    return n;
}

int CabBuilder::Write(std::intptr_t fd, const void *buffer, unsigned count, int *err, void *) {
    const int n = _write(static_cast<int>(fd), buffer, count);
    if (n < 0 || static_cast<unsigned>(n) != count)
        *err = n < 0 ? errno : ENOSPC;
    return n;
}

int CabBuilder::Close(std::intptr_t fd, int *err, void *) {
    const int r = _close(static_cast<int>(fd));
    if (r != 0)
        *err = errno;
    return r;
}

long CabBuilder::Seek(std::intptr_t fd, long offset, int origin, int *err, void *) {
    const long r = _lseek(static_cast<int>(fd), offset, origin);
    if (r == -1)
        *err = errno;
    return r;
}

int CabBuilder::Delete(const char *name, int *err, void *) {
    std::wstring path;
    if (!Utf8ToUtf16(name, path)) {
        *err = EINVAL;
        return -1;
    }
    const int r = _wremove(path.c_str());
    if (r != 0)
        *err = errno;
    return r;
}

bool CabBuilder::GetTempFile(char *buffer, int bufferSize, void *) {
    std::wstring name;
    std::string utf8;
    if (bufferSize <= 0 || !MakeTempName(name) || !Utf16ToUtf8(name, utf8) ||
        utf8.size() + 1 > static_cast<std::size_t>(bufferSize))
        return false;
    std::memcpy(buffer, utf8.c_str(), utf8.size() + 1);
    return true;
}

int CabBuilder::FilePlaced(const cabw::CabinetParams *, const char *, long, bool, void *) {
    return 0;
}

bool CabBuilder::GetNextCabinet(cabw::CabinetParams *params, unsigned long, void *context) {
    // Only one cabinet is ever written; the next one would carry the same name.
    (void)context;
    return params != nullptr;
}

long CabBuilder::Status(unsigned typeStatus, unsigned long cb1, unsigned long cb2, void *context) {
    CabBuilder *self = static_cast<CabBuilder *>(context);
    if (typeStatus != cabw::kStatusFile)
        return 0;
    self->m_compressedBytes += static_cast<std::uint32_t>(cb1);
    self->m_uncompressedBytes += static_cast<std::uint32_t>(cb2);
    if (self->m_progress &&
        !self->m_progress(self->m_currentFile, self->m_uncompressedBytes, self->m_currentSize, self->m_user))
        return -1;
    return 0;
}

std::intptr_t CabBuilder::GetOpenInfo(const char *source, std::uint16_t *date, std::uint16_t *time,
                                      std::uint16_t *attribs, int *err, void *context) {
    CabBuilder *self = static_cast<CabBuilder *>(context);
    std::wstring path;
    if (!Utf8ToUtf16(source, path)) {
        *err = EINVAL;
        return -1;
    }
    self->m_currentFile = path;

    KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        *err = EACCES;
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    FILETIME local = {};
    WORD dosDate = 0, dosTime = 0;
    if (GetFileInformationByHandle(file.get(), &info) &&
        FileTimeToLocalFileTime(&info.ftLastWriteTime, &local))
        FileTimeToDosDateTime(&local, &dosDate, &dosTime);
    *date = dosDate;
    *time = dosTime;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    *attribs = static_cast<std::uint16_t>(
        (attributes == INVALID_FILE_ATTRIBUTES ? 0 : (attributes & kKeptAttributes)) |
        cabw::kAttribNameIsUtf);
    self->m_currentSize = info.nFileSizeLow;
    file.reset();

    int fd = -1;
    const errno_t e = _wsopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, 0);
    if (e != 0 || fd == -1) {
        *err = e ? e : errno;
        return -1;
    }
    return fd;
}
