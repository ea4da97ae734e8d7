// hostapp.exe: stands in for the product that hosts the update client and for the authoring
// tool that hosts the archive builder. It shows a top-level window, starts one program with
// that window's handle, records what the program tells the window, answers the program's
// dialogs by rule, and writes a JSON report.
//
// Usage:
//   hostapp.exe [options] -- <program> [args...]
//     Every "{HWND}" inside an argument is replaced by the host window handle (decimal).
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
// controls[], responsive, reason, rule, action, actionResult), hostDisabledSeen, hostEnabledAtEnd,
// enableEvents[] {ms, enabled}, foreground {hwnd, class, caption, pid, isHost}, hostRect.

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "inspect.h"
#include "json_writer.h"

namespace {

const wchar_t kHostClass[] = L"TbHostAppWindow";
const wchar_t kHostCaption[] = L"Host Application";
const UINT kWmArchiveCreated = WM_APP + 0x65;
const DWORD kPollMs = 20;

enum class Action { Press, Close, Command, SetText, SelectItem, Send };

// One thing a rule does to a window, in command-line order.
struct Step {
    Action kind = Action::Press;
    std::wstring text;   // button text (Press) or new text (SetText)
    bool byId = false;   // Press: by control id instead of text
    int id = 0;          // control id (0 in SetText/Send: the window itself)
    long long value = 0; // Command id, SelectItem index
    UINT msg = 0;        // Send
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

struct Rule {
    std::wstring caption;
    std::wstring windowClass;
    std::vector<Step> steps;
    DWORD delayMs = 100;
    int times = -1;
    int fired = 0;
};

struct Options {
    std::vector<Rule> rules;
    bool snapshotAll = false;
    bool anyProcess = false;
    std::vector<std::wstring> registered{L"Tarnbeam_UpdateNotify"};
    bool useRaw = false;
    std::wstring raw;
    std::wstring cwd;
    DWORD timeoutSec = 60;
    DWORD startDelayMs = 0;
    DWORD lingerMs = 200;
    std::wstring reportPath;
    std::wstring program;
    std::vector<std::wstring> args;
};

struct SeenWindow {
    DWORD firstVisibleMs = 0;
    std::set<size_t> firedRules;
    bool snapshotTaken = false;
};

// Process-wide state of the run (one host window, one child).
struct HostState {
    HWND host = nullptr;
    DWORD startTick = 0;
    std::map<UINT, std::wstring> registeredIds;
    JsonWriter notifications;
    JsonWriter archives;
    JsonWriter enableEvents;
    std::vector<std::string> snapshots;
    bool disabledSeen = false;
    bool lastEnabled = true;
};

HostState g_state;

DWORD ElapsedMs()
{
    return GetTickCount() - g_state.startTick;
}

void RecordEnabled(bool enabled)
{
    if (!enabled)
        g_state.disabledSeen = true;
    if (enabled == g_state.lastEnabled)
        return;
    g_state.lastEnabled = enabled;
    g_state.enableEvents.beginObject();
    g_state.enableEvents.key("ms");
    g_state.enableEvents.num(ElapsedMs());
    g_state.enableEvents.key("enabled");
    g_state.enableEvents.boolean(enabled);
    g_state.enableEvents.endObject();
}

void OnArchiveCreated(WPARAM wp, LPARAM lp)
{
    std::wstring path;
    bool ok = ReadRemoteString(static_cast<DWORD>(wp), static_cast<ULONG_PTR>(lp), path);
    JsonWriter& w = g_state.archives;
    w.beginObject();
    w.key("wParam");
    w.unum(wp);
    w.key("lParam");
    w.num(static_cast<long long>(lp));
    w.key("pid");
    w.num(static_cast<long long>(static_cast<DWORD>(wp)));
    w.key("path");
    w.str(path);
    w.key("readOk");
    w.boolean(ok);
    w.key("ms");
    w.num(ElapsedMs());
    w.endObject();
}

void OnRegisteredMessage(UINT msg, WPARAM wp, LPARAM lp)
{
    JsonWriter& w = g_state.notifications;
    w.beginObject();
    w.key("name");
    w.str(g_state.registeredIds[msg]);
    w.key("message");
    w.unum(msg);
    w.key("wParam");
    w.unum(wp);
    w.key("lParam");
    w.num(static_cast<long long>(lp));
    w.key("ms");
    w.num(ElapsedMs());
    w.endObject();
}

LRESULT CALLBACK HostWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg >= 0xC000 && msg <= 0xFFFF && g_state.registeredIds.count(msg)) {
        OnRegisteredMessage(msg, wp, lp);
        return 0;
    }
    switch (msg) {
    case kWmArchiveCreated:
        // The sender waits in SendMessage, so its string is readable now.
        OnArchiveCreated(wp, lp);
        return 0;
    case WM_ENABLE:
        RecordEnabled(wp != FALSE);
        return 0;
    case WM_CLOSE:
        return 0;  // the host outlives the program it hosts
    case WM_DESTROY:
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

bool CreateHostWindow(HINSTANCE instance)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HostWndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kHostClass;
    if (!RegisterClassExW(&wc))
        return false;
    g_state.host = CreateWindowExW(0, kHostClass, kHostCaption, WS_OVERLAPPEDWINDOW, 100, 100, 640, 480,
                                   nullptr, nullptr, instance, nullptr);
    if (!g_state.host)
        return false;
    ShowWindow(g_state.host, SW_SHOW);
    UpdateWindow(g_state.host);
    SetForegroundWindow(g_state.host);
    return true;
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void PumpFor(DWORD ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        PumpMessages();
        DWORD spent = GetTickCount() - start;
        if (spent >= ms)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
}

// ---- command line -------------------------------------------------------------------

// Writes UTF-8 text to the standard error handle (hostapp is a GUI-subsystem program: no
// console is created, the handles come from whoever started it).
void PrintError(const std::wstring& text)
{
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    if (!h || h == INVALID_HANDLE_VALUE)
        return;
    std::string bytes = JsonWriter::toUtf8(text);
    DWORD n = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

void PrintUsage()
{
    PrintError(
             L"usage: hostapp.exe [--on <caption> [--class C] [--press <text>|id:N] [--close] [--command N]\n"
             L"                    [--set-text id=text] [--select-item id=n] [--send id:msg:wp:lp]\n"
             L"                    [--delay ms] [--times N]]... [--snapshot-all] [--any-process]\n"
             L"                    [--register <name>] [--raw <text>] [--cwd <dir>] [--timeout sec]\n"
             L"                    [--start-delay ms] [--linger ms] [--report file] -- <program> [args...]\n");
}

bool ParseNumber(const std::wstring& text, long long& out)
{
    if (text.empty())
        return false;
    wchar_t* end = nullptr;
    out = wcstoll(text.c_str(), &end, 0);
    return end && *end == L'\0';
}

bool ParseOptions(int argc, wchar_t** argv, Options& o, std::wstring& error)
{
    int i = 1;
    auto needValue = [&](const wchar_t* name, std::wstring& value) {
        if (i + 1 >= argc) {
            error = std::wstring(name) + L" needs a value";
            return false;
        }
        value = argv[++i];
        return true;
    };
    auto needNumber = [&](const wchar_t* name, long long& value) {
        std::wstring text;
        if (!needValue(name, text))
            return false;
        if (!ParseNumber(text, value) || value < 0) {
            error = std::wstring(name) + L": not a number: " + text;
            return false;
        }
        return true;
    };
    auto currentRule = [&](const wchar_t* name) -> Rule* {
        if (o.rules.empty()) {
            error = std::wstring(name) + L" must follow --on";
            return nullptr;
        }
        return &o.rules.back();
    };
    for (; i < argc; ++i) {
        std::wstring a = argv[i];
        long long n = 0;
        std::wstring v;
        if (a == L"--") {
            ++i;
            break;
        } else if (a == L"--on") {
            if (!needValue(L"--on", v))
                return false;
            Rule r;
            r.caption = v;
            o.rules.push_back(r);
        } else if (a == L"--class") {
            Rule* r = currentRule(L"--class");
            if (!r || !needValue(L"--class", r->windowClass))
                return false;
        } else if (a == L"--press") {
            Rule* r = currentRule(L"--press");
            if (!r || !needValue(L"--press", v))
                return false;
            Step step;
            step.kind = Action::Press;
            if (v.compare(0, 3, L"id:") == 0) {
                if (!ParseNumber(v.substr(3), n)) {
                    error = L"--press id: needs a number";
                    return false;
                }
                step.byId = true;
                step.id = static_cast<int>(n);
            } else {
                step.text = v;
            }
            r->steps.push_back(step);
        } else if (a == L"--close") {
            Rule* r = currentRule(L"--close");
            if (!r)
                return false;
            Step step;
            step.kind = Action::Close;
            r->steps.push_back(step);
        } else if (a == L"--command") {
            Rule* r = currentRule(L"--command");
            if (!r || !needNumber(L"--command", n))
                return false;
            Step step;
            step.kind = Action::Command;
            step.value = n;
            r->steps.push_back(step);
        } else if (a == L"--set-text" || a == L"--select-item") {
            Rule* r = currentRule(a.c_str());
            if (!r || !needValue(a.c_str(), v))
                return false;
            size_t eq = v.find(L'=');
            long long id = 0;
            if (eq == std::wstring::npos || !ParseNumber(v.substr(0, eq), id)) {
                error = a + L" needs <id>=<value>";
                return false;
            }
            Step step;
            step.id = static_cast<int>(id);
            if (a == L"--set-text") {
                step.kind = Action::SetText;
                step.text = v.substr(eq + 1);
            } else {
                step.kind = Action::SelectItem;
                if (!ParseNumber(v.substr(eq + 1), step.value)) {
                    error = L"--select-item needs <id>=<index>";
                    return false;
                }
            }
            r->steps.push_back(step);
        } else if (a == L"--send") {
            Rule* r = currentRule(L"--send");
            if (!r || !needValue(L"--send", v))
                return false;
            long long parts[4] = {};
            size_t start = 0;
            int count = 0;
            for (; count < 4; ++count) {
                size_t colon = v.find(L':', start);
                std::wstring part = v.substr(start, colon == std::wstring::npos ? std::wstring::npos : colon - start);
                if (!ParseNumber(part, parts[count]))
                    break;
                if (colon == std::wstring::npos) {
                    ++count;
                    break;
                }
                start = colon + 1;
            }
            if (count != 4) {
                error = L"--send needs <id>:<message>:<wParam>:<lParam> (numbers)";
                return false;
            }
            Step step;
            step.kind = Action::Send;
            step.id = static_cast<int>(parts[0]);
            step.msg = static_cast<UINT>(parts[1]);
            step.wParam = static_cast<WPARAM>(parts[2]);
            step.lParam = static_cast<LPARAM>(parts[3]);
            r->steps.push_back(step);
        } else if (a == L"--delay") {
            Rule* r = currentRule(L"--delay");
            if (!r || !needNumber(L"--delay", n))
                return false;
            r->delayMs = static_cast<DWORD>(n);
        } else if (a == L"--times") {
            Rule* r = currentRule(L"--times");
            if (!r || !needNumber(L"--times", n))
                return false;
            r->times = static_cast<int>(n);
        } else if (a == L"--snapshot-all") {
            o.snapshotAll = true;
        } else if (a == L"--any-process") {
            o.anyProcess = true;
        } else if (a == L"--register") {
            if (!needValue(L"--register", v))
                return false;
            o.registered.push_back(v);
        } else if (a == L"--raw") {
            if (!needValue(L"--raw", o.raw))
                return false;
            o.useRaw = true;
        } else if (a == L"--cwd") {
            if (!needValue(L"--cwd", o.cwd))
                return false;
        } else if (a == L"--timeout") {
            if (!needNumber(L"--timeout", n))
                return false;
            o.timeoutSec = static_cast<DWORD>(n);
        } else if (a == L"--start-delay") {
            if (!needNumber(L"--start-delay", n))
                return false;
            o.startDelayMs = static_cast<DWORD>(n);
        } else if (a == L"--linger") {
            if (!needNumber(L"--linger", n))
                return false;
            o.lingerMs = static_cast<DWORD>(n);
        } else if (a == L"--report") {
            if (!needValue(L"--report", o.reportPath))
                return false;
        } else {
            error = L"unknown option: " + a;
            return false;
        }
    }
    if (i >= argc) {
        error = L"no program given (expected -- <program> [args...])";
        return false;
    }
    o.program = argv[i++];
    for (; i < argc; ++i)
        o.args.push_back(argv[i]);
    return true;
}

std::wstring ReplaceHwnd(std::wstring text, HWND host)
{
    const std::wstring token = L"{HWND}";
    std::wstring value = std::to_wstring(reinterpret_cast<ULONG_PTR>(host));
    for (size_t pos = text.find(token); pos != std::wstring::npos; pos = text.find(token, pos + value.size()))
        text.replace(pos, token.size(), value);
    return text;
}

// Quotes one argument so that the C runtime's splitting gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
            out += L'"';
        } else {
            out.append(backslashes, L'\\');
            out += arg[i];
        }
    }
    out += L'"';
    return out;
}

std::wstring BuildCommandLine(const Options& o, HWND host)
{
    std::wstring line = QuoteArgument(o.program);
    if (o.useRaw) {
        line += L" ";
        line += ReplaceHwnd(o.raw, host);
    } else {
        for (const std::wstring& a : o.args) {
            line += L" ";
            line += QuoteArgument(ReplaceHwnd(a, host));
        }
    }
    return line;
}

// ---- watching the program's windows --------------------------------------------------

bool WildcardMatch(const wchar_t* pattern, const wchar_t* text)
{
    if (*pattern == L'\0')
        return *text == L'\0';
    if (*pattern == L'*')
        return WildcardMatch(pattern + 1, text) || (*text && WildcardMatch(pattern, text + 1));
    if (*text && (*pattern == L'?' || *pattern == *text))
        return WildcardMatch(pattern + 1, text + 1);
    return false;
}

bool CaptionMatches(const std::wstring& pattern, const std::wstring& caption)
{
    if (pattern.find_first_of(L"*?") == std::wstring::npos)
        return pattern == caption;
    return WildcardMatch(pattern.c_str(), caption.c_str());
}

std::wstring WithoutAmpersands(const std::wstring& s)
{
    std::wstring out;
    for (wchar_t c : s)
        if (c != L'&')
            out += c;
    return out;
}

struct FindControl {
    const Step* step;
    bool byText;
    HWND found;
};

BOOL CALLBACK FindControlProc(HWND hwnd, LPARAM lp)
{
    FindControl* f = reinterpret_cast<FindControl*>(lp);
    if (!f->byText) {
        if (static_cast<int>(GetWindowLongPtrW(hwnd, GWLP_ID)) == f->step->id) {
            f->found = hwnd;
            return FALSE;
        }
    } else if (WithoutAmpersands(ControlText(hwnd)) == WithoutAmpersands(f->step->text)) {
        f->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindStepControl(HWND top, const Step& step, bool byText)
{
    FindControl f = {&step, byText, nullptr};
    EnumChildWindows(top, FindControlProc, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

std::string PerformStep(HWND top, const Step& step)
{
    switch (step.kind) {
    case Action::Close:
        return PostMessageW(top, WM_CLOSE, 0, 0) ? "closed" : "post-failed";
    case Action::Command:
        return PostMessageW(top, WM_COMMAND, MAKEWPARAM(static_cast<int>(step.value), 0), 0) ? "command-posted"
                                                                                           : "post-failed";
    case Action::Press: {
        HWND ctrl = FindStepControl(top, step, !step.byId);
        if (ctrl)
            // Posted, not sent: the click may open a modal loop in the program.
            return PostMessageW(ctrl, BM_CLICK, 0, 0) ? "clicked" : "post-failed";
        if (step.byId)
            return PostMessageW(top, WM_COMMAND, MAKEWPARAM(step.id, BN_CLICKED), 0) ? "command-posted"
                                                                                   : "post-failed";
        return "not-found";
    }
    case Action::SetText: {
        HWND target = step.id ? FindStepControl(top, step, false) : top;
        if (!target)
            return "not-found";
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(target, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(step.text.c_str()),
                                   SMTO_ABORTIFHUNG, 5000, &result)
                   ? "text-set"
                   : "no-answer";
    }
    case Action::SelectItem: {
        HWND list = FindStepControl(top, step, false);
        if (!list)
            return "not-found";
        return SelectListViewItem(list, static_cast<int>(step.value)) ? "selected" : "select-failed";
    }
    case Action::Send: {
        HWND target = step.id ? FindStepControl(top, step, false) : top;
        if (!target)
            return "not-found";
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(target, step.msg, step.wParam, step.lParam, SMTO_ABORTIFHUNG, 5000, &result))
            return "no-answer";
        return "sent:" + std::to_string(static_cast<long long>(result));
    }
    }
    return "none";
}

const char* ActionName(Action a)
{
    switch (a) {
    case Action::Press: return "press";
    case Action::Close: return "close";
    case Action::Command: return "command";
    case Action::SetText: return "set-text";
    case Action::SelectItem: return "select-item";
    case Action::Send: return "send";
    }
    return "none";
}

void TakeSnapshot(HWND top, const char* reason, int ruleIndex, const Rule* rule)
{
    JsonWriter w;
    w.beginObject();
    WriteWindowSnapshot(w, top, g_state.host, ElapsedMs());
    w.key("reason");
    w.str(reason);
    w.key("rule");
    w.num(ruleIndex);
    std::string names;
    std::string results;
    if (rule) {
        for (const Step& step : rule->steps) {
            if (!names.empty()) {
                names += "+";
                results += ",";
            }
            names += ActionName(step.kind);
            results += PerformStep(top, step);
        }
    }
    w.key("action");
    w.str(names.empty() ? "none" : names.c_str());
    if (rule) {
        w.key("actionResult");
        w.str(results.empty() ? "none" : results.c_str());
    }
    w.endObject();
    g_state.snapshots.push_back(w.text());
}

struct Watch {
    DWORD childPid = 0;
    bool anyProcess = false;
    std::vector<HWND> visible;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM lp)
{
    Watch* watch = reinterpret_cast<Watch*>(lp);
    if (hwnd == g_state.host || !IsWindowVisible(hwnd))
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == GetCurrentProcessId())
        return TRUE;
    if (watch->anyProcess || pid == watch->childPid)
        watch->visible.push_back(hwnd);
    return TRUE;
}

std::map<HWND, SeenWindow> g_seen;

void ScanWindows(Options& o, DWORD childPid)
{
    Watch watch;
    watch.childPid = childPid;
    watch.anyProcess = o.anyProcess;
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&watch));
    std::set<HWND> now(watch.visible.begin(), watch.visible.end());
    // Forget windows that went away, so a reused handle counts as a new window.
    for (auto it = g_seen.begin(); it != g_seen.end();) {
        if (!now.count(it->first))
            it = g_seen.erase(it);
        else
            ++it;
    }
    DWORD t = ElapsedMs();
    for (HWND hwnd : watch.visible) {
        auto ins = g_seen.insert({hwnd, SeenWindow()});
        SeenWindow& seen = ins.first->second;
        if (ins.second)
            seen.firstVisibleMs = t;
        if (o.snapshotAll && !seen.snapshotTaken) {
            seen.snapshotTaken = true;
            TakeSnapshot(hwnd, "all", -1, nullptr);
        }
        if (o.rules.empty())
            continue;
        std::wstring caption = WindowCaption(hwnd);
        std::wstring cls = WindowClassName(hwnd);
        for (size_t r = 0; r < o.rules.size(); ++r) {
            Rule& rule = o.rules[r];
            if (seen.firedRules.count(r) || (rule.times >= 0 && rule.fired >= rule.times))
                continue;
            if (!CaptionMatches(rule.caption, caption))
                continue;
            if (!rule.windowClass.empty() && rule.windowClass != cls)
                continue;
            if (t - seen.firstVisibleMs < rule.delayMs)
                continue;
            seen.firedRules.insert(r);
            ++rule.fired;
            TakeSnapshot(hwnd, "rule", static_cast<int>(r), &rule);
            if (!IsWindow(hwnd))
                break;
        }
    }
}

void SnapshotRemaining(Options& o, DWORD childPid)
{
    Watch watch;
    watch.childPid = childPid;
    watch.anyProcess = o.anyProcess;
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&watch));
    for (HWND hwnd : watch.visible)
        TakeSnapshot(hwnd, "timeout", -1, nullptr);
}

// ---- report ----------------------------------------------------------------------------

void WriteForeground(JsonWriter& w)
{
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
    w.boolean(fg != nullptr && fg == g_state.host);
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

std::string BuildReport(const Options& o, const RunResult& r)
{
    // Each part was opened as an array when the run started.
    auto closeArray = [](JsonWriter part) {
        part.endArray();
        return part.text();
    };
    JsonWriter w;
    w.beginObject();
    w.key("program");
    w.str(o.program);
    w.key("commandLine");
    w.str(r.commandLine);
    w.key("hostHwnd");
    w.unum(reinterpret_cast<ULONG_PTR>(g_state.host));
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
    w.key("notifications");
    w.raw(closeArray(g_state.notifications));
    w.key("archiveCreated");
    w.raw(closeArray(g_state.archives));
    w.key("windows");
    std::string windows = "[";
    for (size_t i = 0; i < g_state.snapshots.size(); ++i) {
        if (i)
            windows += ",";
        windows += g_state.snapshots[i];
    }
    windows += "]";
    w.raw(windows);
    w.key("hostDisabledSeen");
    w.boolean(g_state.disabledSeen);
    w.key("hostEnabledAtEnd");
    w.boolean(IsWindowEnabled(g_state.host) != FALSE);
    w.key("enableEvents");
    w.raw(closeArray(g_state.enableEvents));
    w.key("foreground");
    WriteForeground(w);
    w.key("hostRect");
    RECT rc = {};
    GetWindowRect(g_state.host, &rc);
    w.beginArray();
    w.num(rc.left);
    w.num(rc.top);
    w.num(rc.right);
    w.num(rc.bottom);
    w.endArray();
    w.endObject();
    return w.text();
}

void WriteAll(HANDLE h, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        DWORD n = 0;
        if (!WriteFile(h, data.data() + done, static_cast<DWORD>(data.size() - done), &n, nullptr) || n == 0)
            break;
        done += n;
    }
}

void EmitReport(const Options& o, const std::string& report)
{
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

HANDLE InheritableCopy(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (h && h != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return copy;
    return nullptr;
}

RunResult RunChild(Options& o)
{
    RunResult r;
    r.commandLine = BuildCommandLine(o, g_state.host);
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
        RecordEnabled(IsWindowEnabled(g_state.host) != FALSE);
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
    RecordEnabled(IsWindowEnabled(g_state.host) != FALSE);
    return r;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Options o;
    std::wstring error;
    if (!argv || !ParseOptions(argc, argv, o, error)) {
        PrintError(L"hostapp: " + error + L"\n");
        PrintUsage();
        return 2;
    }
    LocalFree(argv);
    g_state.startTick = GetTickCount();
    g_state.notifications.beginArray();
    g_state.archives.beginArray();
    g_state.enableEvents.beginArray();
    for (const std::wstring& name : o.registered) {
        UINT id = RegisterWindowMessageW(name.c_str());
        if (id)
            g_state.registeredIds[id] = name;
    }
    if (!CreateHostWindow(instance)) {
        PrintError(L"hostapp: cannot create the host window (error " + std::to_wstring(GetLastError()) + L")\n");
        return 4;
    }
    PumpFor(o.startDelayMs);
    RunResult r = RunChild(o);
    EmitReport(o, BuildReport(o, r));
    int code = r.timedOut ? 3 : 0;
    if (!r.started) {
        PrintError(L"hostapp: cannot start " + o.program + L" (error " + std::to_wstring(r.startError) + L")\n");
        code = 4;
    }
    // Everything is written; ending here skips the window and DLL tear-down, which costs
    // about two seconds under Wine.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}
