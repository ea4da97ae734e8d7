// dummychild.exe: runs its arguments as a script, in order, so the harness can check
// hostapp and the web server against known behaviour.
//   /hwnd:N                 the host window (decimal, or 0x hex)
//   --post <name>           post the registered message <name> (wParam 0, lParam 0) to the host
//   --box <caption>|<text>  message box owned by the host, OK button; prints "box=<result>"
//   --yesno <caption>|<text> the same with Yes and No
//   --disable-owner / --enable-owner
//   --dialog <caption>      a window with list view, tabs, check box...; prints "dialog=<id>"
//   --send-archive <path>   send WM_APP+0x65 to the host: wParam our process id, lParam the
//                           address of <path> in our memory
//   --sleep <ms>            wait while pumping messages
//   --wait-foreground <class>  wait (pumping messages, at most 30 s) until the foreground window
//                           is of that class; prints "waited=<0|1>"
//   --ua <text>             user agent for --fetch (default "TbDummy/1.0")
//   --fetch <url>           WinINet GET; prints "fetch status=<n> bytes=<n> body=<first 200 bytes>"
//                           or "fetch error=<n>"
//   --netstate              prints "connected=<0|1>" (InternetGetConnectedState)
//   --hold <path>           opens the file for reading, sharing reading only, and keeps it open
//                           until the process ends; prints "held=<0|1>"
//   --print <text>          prints the text
//   --exit <n>              the exit code at the end (signed)
// Output lines are UTF-8 on the standard output handle.

#include <windows.h>
#include <shellapi.h>
#include <wininet.h>

#include <cwchar>
#include <string>

#include "tools/dummychild/test_window.h"

namespace {

const UINT kWmArchiveCreated = WM_APP + 0x65;

void Print(const std::wstring &line) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE)
        return;
    std::wstring text = line + L"\n";
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], n, nullptr,
                        nullptr);
    DWORD written = 0;
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        DWORD spent = GetTickCount() - start;
        if (spent >= ms)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
}

// Holder for WinINet handles.
class InetHandle {
  public:
    explicit InetHandle(HINTERNET h) : m_h(h) {}
    ~InetHandle() {
        if (m_h)
            InternetCloseHandle(m_h);
    }
    InetHandle(const InetHandle &) = delete;
    InetHandle &operator=(const InetHandle &) = delete;
    HINTERNET get() const { return m_h; }

  private:
    HINTERNET m_h;
};

void Fetch(const std::wstring &agent, const std::wstring &url) {
    InetHandle session(InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session.get()) {
        Print(L"fetch error=" + std::to_wstring(GetLastError()));
        return;
    }
    InetHandle request(InternetOpenUrlW(session.get(), url.c_str(), nullptr, 0,
                                        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
    if (!request.get()) {
        Print(L"fetch error=" + std::to_wstring(GetLastError()));
        return;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    std::string body;
    char buf[4096];
    DWORD got = 0;
    DWORD readError = 0;
    for (;;) {
        if (!InternetReadFile(request.get(), buf, sizeof buf, &got)) {
            readError = GetLastError();
            break;
        }
        if (got == 0)
            break;
        body.append(buf, got);
    }
    std::wstring head;
    for (size_t i = 0; i < body.size() && i < 200; ++i)
        head += (body[i] >= 0x20 && body[i] < 0x7f) ? static_cast<wchar_t>(body[i]) : L'.';
    Print(L"fetch status=" + std::to_wstring(status) + L" bytes=" + std::to_wstring(body.size()) +
          (readError ? L" readerror=" + std::to_wstring(readError) : std::wstring()) + L" body=" + head);
}

void SplitBox(const std::wstring &boxText, std::wstring &caption, std::wstring &text) {
    size_t bar = boxText.find(L'|');
    caption = boxText.substr(0, bar);
    text = bar == std::wstring::npos ? std::wstring() : boxText.substr(bar + 1);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv)
        return 2;
    HWND host = nullptr;
    int exitCode = 0;
    std::wstring agent = L"TbDummy/1.0";
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        bool hasValue = i + 1 < argc;
        if (_wcsnicmp(a.c_str(), L"/hwnd:", 6) == 0) {
            host = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(wcstoull(a.c_str() + 6, nullptr, 0)));
        } else if (a == L"--post" && hasValue) {
            UINT msg = RegisterWindowMessageW(argv[++i]);
            Print(std::wstring(L"post=") + (PostMessageW(host, msg, 0, 0) ? L"1" : L"0"));
        } else if ((a == L"--box" || a == L"--yesno") && hasValue) {
            std::wstring caption, text;
            SplitBox(argv[++i], caption, text);
            UINT type = a == L"--box" ? (MB_OK | MB_ICONINFORMATION) : (MB_YESNO | MB_ICONQUESTION);
            int result = MessageBoxW(host, text.c_str(), caption.c_str(), type);
            Print(L"box=" + std::to_wstring(result));
        } else if (a == L"--disable-owner") {
            EnableWindow(host, FALSE);
        } else if (a == L"--enable-owner") {
            EnableWindow(host, TRUE);
        } else if (a == L"--dialog" && hasValue) {
            Print(L"dialog=" + std::to_wstring(RunTestWindow(instance, host, argv[++i])));
        } else if (a == L"--send-archive" && hasValue) {
            std::wstring path = argv[++i];
            SendMessageW(host, kWmArchiveCreated, GetCurrentProcessId(),
                         reinterpret_cast<LPARAM>(path.c_str()));
        } else if (a == L"--sleep" && hasValue) {
            PumpFor(static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10)));
        } else if (a == L"--wait-foreground" && hasValue) {
            const wchar_t *cls = argv[++i];
            bool found = false;
            for (int tries = 0; tries < 600 && !found; ++tries) {
                wchar_t name[256] = L"";
                HWND fg = GetForegroundWindow();
                found = fg && GetClassNameW(fg, name, 256) > 0 && lstrcmpW(name, cls) == 0;
                if (!found)
                    PumpFor(50);
            }
            Print(std::wstring(L"waited=") + (found ? L"1" : L"0"));
        } else if (a == L"--ua" && hasValue) {
            agent = argv[++i];
        } else if (a == L"--fetch" && hasValue) {
            Fetch(agent, argv[++i]);
        } else if (a == L"--netstate") {
            DWORD flags = 0;
            Print(std::wstring(L"connected=") + (InternetGetConnectedState(&flags, 0) ? L"1" : L"0"));
        } else if (a == L"--hold" && hasValue) {
            const HANDLE held = CreateFileW(argv[++i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr); // closed by the process's end
            Print(std::wstring(L"held=") + (held != INVALID_HANDLE_VALUE ? L"1" : L"0"));
        } else if (a == L"--print" && hasValue) {
            Print(argv[++i]);
        } else if (a == L"--exit" && hasValue) {
            exitCode = static_cast<int>(wcstol(argv[++i], nullptr, 0));
        } else {
            Print(L"unknown argument: " + a);
        }
    }
    LocalFree(argv);
    // Ending here skips the window tear-down at process exit, which costs about two seconds
    // under Wine and would slow every self-check down.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return exitCode;
}
