// urlrecorder.exe: appends its own command line, as UTF-8 and followed by a line feed, to the
// file named by the environment variable TB_URLRECORDER_LOG, or else to urlrecorder.log beside
// the program. Exit code 0 when the line was written, 1 otherwise.

#include <windows.h>

#include <string>

namespace {

std::wstring LogPath() {
    wchar_t named[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"TB_URLRECORDER_LOG", named, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        return named;
    wchar_t self[MAX_PATH] = {};
    length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    std::wstring path(self, length);
    path.erase(path.find_last_of(L'\\') + 1);
    return path + L"urlrecorder.log";
}

std::string Utf8(const std::wstring &text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr,
                            nullptr);
    return out;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    std::wstring path = LogPath();
    if (path.empty())
        return 1;
    std::string line = Utf8(GetCommandLineW()) + "\n";
    // Appends are atomic for each write, so several recorders may share one log.
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == line.size() ? 0 : 1;
}
