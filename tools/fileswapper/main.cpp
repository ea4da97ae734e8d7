// fileswapper.exe <stage folder> <other file>: a second process that tries to change a file
// another program holds. For each stage S of "writing", "pinned" and "verified" (in that order)
// it waits (at most 60 s) for <stage folder>\S.ready, which holds the file's path (UTF-16), then
// five times tries each of:
//   write    open the file for writing and write a byte at its start
//   replace  move a copy of <other file> over it (MoveFileEx, replace existing)
//   rename   rename it to "<path>.moved"
//   delete   delete it
//   folder   rename the folder that holds it to "<folder>.moved"
// appends "S write=N replace=N rename=N delete=N folder=N" (N: how many tries succeeded) to
// <stage folder>\swapper.log, and creates <stage folder>\S.go. Exit code 0, or 1 when a stage
// never came.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring ReadPath(const std::wstring &ready) {
    HANDLE file = CreateFileW(ready.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::wstring();
    wchar_t buffer[1024] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof buffer - sizeof(wchar_t), &read, nullptr);
    CloseHandle(file);
    return std::wstring(buffer, read / sizeof(wchar_t));
}

bool TryWrite(const std::wstring &path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, "X", 1, &written, nullptr);
    CloseHandle(file);
    return ok && written == 1;
}

bool TryReplace(const std::wstring &path, const std::wstring &other, const std::wstring &folder) {
    const std::wstring copy = folder + L"\\swap-copy.bin";
    if (!CopyFileW(other.c_str(), copy.c_str(), FALSE))
        return false;
    const bool moved =
        MoveFileExW(copy.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != FALSE;
    DeleteFileW(copy.c_str());
    return moved;
}

bool TryRename(const std::wstring &path) {
    return MoveFileW(path.c_str(), (path + L".moved").c_str()) != FALSE;
}

bool TryDelete(const std::wstring &path) {
    return DeleteFileW(path.c_str()) != FALSE;
}

bool TryRenameFolder(const std::wstring &path) {
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    return MoveFileW(folder.c_str(), (folder + L".moved").c_str()) != FALSE;
}

void Append(const std::wstring &log, const std::string &line) {
    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

void Touch(const std::wstring &path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 3)
        return 2;
    const std::wstring folder = argv[1], other = argv[2];
    const std::wstring log = folder + L"\\swapper.log";
    for (const wchar_t *stage : {L"writing", L"pinned", L"verified"}) {
        const std::wstring ready = folder + L"\\" + stage + L".ready";
        int waited = 0;
        while (GetFileAttributesW(ready.c_str()) == INVALID_FILE_ATTRIBUTES && waited < 6000) {
            Sleep(10);
            ++waited;
        }
        if (waited >= 6000)
            return 1;
        Sleep(20); // the path is written right after the file is made
        const std::wstring path = ReadPath(ready);
        int write = 0, replace = 0, rename = 0, remove = 0, moveFolder = 0;
        for (int i = 0; i < 5; ++i) {
            write += TryWrite(path);
            replace += TryReplace(path, other, folder);
            rename += TryRename(path);
            remove += TryDelete(path);
            moveFolder += TryRenameFolder(path);
            Sleep(5);
        }
        char line[160];
        std::snprintf(line, sizeof line, "%ls write=%d replace=%d rename=%d delete=%d folder=%d\n", stage, write,
                      replace, rename, remove, moveFolder);
        Append(log, line);
        Touch(folder + L"\\" + stage + L".go");
    }
    return 0;
}
