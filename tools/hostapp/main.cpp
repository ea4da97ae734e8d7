// hostapp.exe: stands in for the product that hosts the update client and for the authoring
// tool that hosts the archive builder. It shows a top-level window, starts one program with
// that window's handle, records what the program tells the window, answers the program's
// dialogs by rule, and writes a JSON report.
//
// Usage:
//   hostapp.exe [options] -- <program> [args...]
//     Every "{HWND}" inside an argument is replaced by the host window handle (decimal), every
//     "{HWNDX}" by the same handle in hexadecimal digits.
// Options:
//   --on <caption>      start a dialog rule: a visible top-level window of the program with
//                       exactly this caption ("*" and "?" act as wildcards when present)
//     --class <class>   ...and this window class ("#32770" for message boxes and dialogs)
//     --press <text>    ...press the child button whose text, '&' removed, equals <text>
//     --press id:N      ...press the child control with id N (posts WM_COMMAND N when absent)
//     --close           ...post WM_CLOSE to the window
//     --command N       ...post WM_COMMAND N to the window (a menu command)
//     --set-text <id>=<text>    ...set a control's text (WM_SETTEXT; id 0: the window)
//     --select-item <id>=<n>    ...select row n of a list view (only that row)
//     --send <id>:<msg>:<wParam>:<lParam>  ...send a message without pointers (id 0: window)
//                       Steps run in command-line order, after the snapshot.
//     --delay <ms>      ...act once the window has been visible this long (default 100)
//     --when-enabled    ...and only while it is enabled (no modal window of its own over it)
//     --times N         ...fire for at most N windows (default: every matching window)
//                       Each firing records a snapshot of the window first.
//   --snapshot-all      record every visible top-level window of the program once
//   --any-process       rules and snapshots also look at windows of other processes
//   --register <name>   also record this registered message (Tarnbeam_UpdateNotify always)
//   --raw <text>        append <text> verbatim to the program's command line instead of args
//   --cwd <dir>         working folder of the program
//   --timeout <sec>     default 60; on expiry the program is terminated (exit code 3)
//   --start-delay <ms>  pump messages this long before starting the program
//   --linger <ms>       keep receiving messages this long after the program ended (200)
//   --report <file>     write the JSON report there (UTF-8); it is also printed to stdout
// Exit codes: 0 the program ran to its end, 2 usage error, 3 timeout, 4 program not started.
// hostapp is a GUI-subsystem program (no console under Wine); the report goes to the
// standard output handle it inherits. Snapshots read button and static texts from the
// system's copy; other texts and items by message, and when the program's thread does not
// answer within 1.5 s the rest of that snapshot is skipped ("responsive": false).
// Report fields: program, commandLine, hostHwnd, childPid, started, startError, exitCode
// (signed 32-bit), timedOut, elapsedMs, notifications[] {name, message, wParam, lParam, ms},
// archiveCreated[] {wParam, lParam, pid, path, readOk, ms}, windows[] (snapshots in order:
// ms, hwnd, pid, class, caption, enabled, visible, owner, ownerIsHost, style, exStyle, rect,
// focus {hwnd, id, class}, controls[], responsive, reason, rule, action, actionResult),
// hostDisabledSeen, hostEnabledAtEnd,

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "tools/hostapp/host_window.h"
#include "tools/hostapp/inspect.h"
#include "tools/hostapp/json_writer.h"
#include "tools/hostapp/options.h"
#include "tools/hostapp/watch.h"

namespace {

const DWORD kPollMs = 20;

void WriteForeground(JsonWriter &w) {
    HWND fg = GetForegroundWindow();
    DWORD pid = 0;
    if (fg)
        GetWindowThreadProcessId(fg, &pid);
    w.beginObject();
    w.key("hwnd");
    w.unum(reinterpret_cast<ULONG_PTR>(fg));
    w.key("class");
    w.str(fg ? WindowClassName(fg) : std::wstring());
    w.key("caption");
    w.str(fg ? WindowCaption(fg) : std::wstring());
    w.key("pid");
    w.num(pid);
    w.key("isHost");
    w.boolean(fg != nullptr && fg == HostWindow());
    w.endObject();
}

struct RunResult {
    bool started = false;
    DWORD startError = 0;
    DWORD pid = 0;
    bool timedOut = false;
    DWORD exitCode = 0;
    std::wstring commandLine;
};

std::string BuildReport(const Options &o, const RunResult &r) {
    JsonWriter w;
    w.beginObject();
    w.key("program");
    w.str(o.program);
    w.key("commandLine");
    w.str(r.commandLine);
    w.key("hostHwnd");
    w.unum(reinterpret_cast<ULONG_PTR>(HostWindow()));
    w.key("childPid");
    w.num(r.pid);
    w.key("started");
    w.boolean(r.started);
    w.key("startError");
    w.num(r.startError);
    w.key("exitCode");
    if (r.started)
        w.num(static_cast<int>(r.exitCode));
    else
        w.null();
    w.key("timedOut");
    w.boolean(r.timedOut);
    w.key("elapsedMs");
    w.num(ElapsedMs());
    w.key("windows");
    w.raw(SnapshotsJson());
    WriteHostRecords(w);
    w.key("foreground");
    WriteForeground(w);
    w.endObject();
    return w.text();
}

void WriteAll(HANDLE h, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        DWORD n = 0;
        if (!WriteFile(h, data.data() + done, static_cast<DWORD>(data.size() - done), &n, nullptr) || n == 0)
            break;
        done += n;
    }
}

void EmitReport(const Options &o, const std::string &report) {
    if (!o.reportPath.empty()) {
        HANDLE f = CreateFileW(o.reportPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            WriteAll(f, report);
            CloseHandle(f);
        } else {
            PrintError(L"hostapp: cannot write report " + o.reportPath + L" (error " +
                       std::to_wstring(GetLastError()) + L")\n");
        }
    }
    WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), report + "\n");
}

HANDLE InheritableCopy(DWORD which) {
    HANDLE h = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (h && h != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return copy;
    return nullptr;
}

RunResult RunChild(Options &o) {
    RunResult r;
    r.commandLine = BuildCommandLine(o, HostWindow());
    std::vector<wchar_t> cmd(r.commandLine.begin(), r.commandLine.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    HANDLE in = InheritableCopy(STD_INPUT_HANDLE);
    HANDLE out = InheritableCopy(STD_OUTPUT_HANDLE);
    HANDLE err = InheritableCopy(STD_ERROR_HANDLE);
    if (out || err) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in;
        si.hStdOutput = out;
        si.hStdError = err;
    }
    PROCESS_INFORMATION pi = {};
    BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             o.cwd.empty() ? nullptr : o.cwd.c_str(), &si, &pi);
    r.startError = ok ? 0 : GetLastError();
    for (HANDLE h : {in, out, err})
        if (h)
            CloseHandle(h);
    if (!ok)
        return r;
    r.started = true;
    r.pid = pi.dwProcessId;
    CloseHandle(pi.hThread);

    DWORD deadline = GetTickCount() + o.timeoutSec * 1000;
    for (;;) {
        PumpMessages();
        PollHostEnabled();
        ScanWindows(o, pi.dwProcessId);
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0)
            break;
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
            r.timedOut = true;
            SnapshotRemaining(o, pi.dwProcessId);
            TerminateProcess(pi.hProcess, WAIT_TIMEOUT);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
        MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, kPollMs, QS_ALLINPUT);
    }
    GetExitCodeProcess(pi.hProcess, &r.exitCode);
    CloseHandle(pi.hProcess);
    PumpFor(o.lingerMs);
    PollHostEnabled();
    return r;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Options o;
    std::wstring error;
    if (!argv || !ParseOptions(argc, argv, o, error)) {
        if (argv)
            LocalFree(argv);
        PrintError(L"hostapp: " + error + L"\n");
        PrintUsage();
        return 2;
    }
    LocalFree(argv);
    if (!CreateHostWindow(instance, o.registered)) {
        PrintError(L"hostapp: cannot create the host window (error " + std::to_wstring(GetLastError()) +
                   L")\n");
        return 4;
    }
    PumpFor(o.startDelayMs);
    RunResult r = RunChild(o);
    EmitReport(o, BuildReport(o, r));
    int code = r.timedOut ? 3 : 0;
    if (!r.started) {
        PrintError(L"hostapp: cannot start " + o.program + L" (error " + std::to_wstring(r.startError) +
                   L")\n");
        code = 4;
    }
    // Everything is written; ending here skips the window and DLL tear-down, which costs
    // about two seconds under Wine.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}
