// updatepayload.exe: stands in for an update program (product version 4.6.1). Appends one line to
// the file named by the environment variable TB_PAYLOAD_LOG (else C:\payload.log): "path=<its own
// path> md5=<MD5 of its own file> cwd=<its working folder>", UTF-8; exit code 42.

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace {

std::string Md5OfOwnFile(const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "unreadable";
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::string text = "error";
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        BYTE buffer[65536];
        DWORD read = 0;
        bool ok = true;
        while (ok && ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
            ok = CryptHashData(hash, buffer, read, 0) != FALSE;
        BYTE digest[16];
        DWORD size = sizeof digest;
        if (ok && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
            static const char kDigits[] = "0123456789abcdef";
            text.clear();
            for (BYTE b : digest) {
                text += kDigits[b >> 4];
                text += kDigits[b & 15];
            }
        }
    }
    if (hash)
        CryptDestroyHash(hash);
    if (provider)
        CryptReleaseContext(provider, 0);
    CloseHandle(file);
    return text;
}

std::string Utf8(const std::wstring &text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr,
                            nullptr);
    return out;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    const std::string line =
        "path=" + Utf8(self) + " md5=" + Md5OfOwnFile(self) + " cwd=" + Utf8(current) + "\n";
    wchar_t logPath[MAX_PATH] = L"C:\\payload.log";
    const DWORD length = GetEnvironmentVariableW(L"TB_PAYLOAD_LOG", logPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        lstrcpyW(logPath, L"C:\\payload.log");
    HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(log);
    }
    return 42;
}
