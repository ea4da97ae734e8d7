#include "tools/hostapp/options.h"

#include <cwchar>

#include "tools/hostapp/json_writer.h"

// hostapp is a GUI-subsystem program: no console is created, the handles come from whoever
// started it.
void PrintError(const std::wstring &text) {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    if (!h || h == INVALID_HANDLE_VALUE)
        return;
    std::string bytes = JsonWriter::toUtf8(text);
    DWORD n = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

void PrintUsage() {
    PrintError(
        L"usage: hostapp.exe [--on <caption> [--class C] [--press <text>|id:N] [--close] [--command N]\n"
        L"                    [--set-text id=text] [--select-item id=n] [--send id:msg:wp:lp]\n"
        L"                    [--post id:msg:wp:lp (id -1: the window's keyboard focus)]\n"
        L"                    [--delay ms] [--when-enabled] [--times N]]... [--snapshot-all] "
        L"[--any-process]\n"
        L"                    [--register <name>] [--raw <text>] [--cwd <dir>] [--timeout sec]\n"
        L"                    [--start-delay ms] [--linger ms] [--report file] -- <program> [args...]\n");
}

namespace {

bool ParseNumber(const std::wstring &text, long long &out) {
    if (text.empty())
        return false;
    wchar_t *end = nullptr;
    out = wcstoll(text.c_str(), &end, 0);
    return end && *end == L'\0';
}

} // namespace

bool ParseOptions(int argc, wchar_t **argv, Options &o, std::wstring &error) {
    int i = 1;
    auto needValue = [&](const wchar_t *name, std::wstring &value) {
        if (i + 1 >= argc) {
            error = std::wstring(name) + L" needs a value";
            return false;
        }
        value = argv[++i];
        return true;
    };
    auto needNumber = [&](const wchar_t *name, long long &value) {
        std::wstring text;
        if (!needValue(name, text))
            return false;
        if (!ParseNumber(text, value) || value < 0) {
            error = std::wstring(name) + L": not a number: " + text;
            return false;
        }
        return true;
    };
    auto currentRule = [&](const wchar_t *name) -> Rule * {
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
            Rule *r = currentRule(L"--class");
            if (!r || !needValue(L"--class", r->windowClass))
                return false;
        } else if (a == L"--press") {
            Rule *r = currentRule(L"--press");
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
            Rule *r = currentRule(L"--close");
            if (!r)
                return false;
            Step step;
            step.kind = Action::Close;
            r->steps.push_back(step);
        } else if (a == L"--command") {
            Rule *r = currentRule(L"--command");
            if (!r || !needNumber(L"--command", n))
                return false;
            Step step;
            step.kind = Action::Command;
            step.value = n;
            r->steps.push_back(step);
        } else if (a == L"--set-text" || a == L"--select-item") {
            Rule *r = currentRule(a.c_str());
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
        } else if (a == L"--send" || a == L"--post") {
            Rule *r = currentRule(a.c_str());
            if (!r || !needValue(a.c_str(), v))
                return false;
            long long parts[4] = {};
            size_t start = 0;
            int count = 0;
            for (; count < 4; ++count) {
                size_t colon = v.find(L':', start);
                std::wstring part =
                    v.substr(start, colon == std::wstring::npos ? std::wstring::npos : colon - start);
                if (!ParseNumber(part, parts[count]))
                    break;
                if (colon == std::wstring::npos) {
                    ++count;
                    break;
                }
                start = colon + 1;
            }
            if (count != 4) {
                error = a + L" needs <id>:<message>:<wParam>:<lParam> (numbers)";
                return false;
            }
            Step step;
            step.kind = a == L"--send" ? Action::Send : Action::Post;
            step.id = static_cast<int>(parts[0]);
            step.msg = static_cast<UINT>(parts[1]);
            step.wParam = static_cast<WPARAM>(parts[2]);
            step.lParam = static_cast<LPARAM>(parts[3]);
            r->steps.push_back(step);
        } else if (a == L"--delay") {
            Rule *r = currentRule(L"--delay");
            if (!r || !needNumber(L"--delay", n))
                return false;
            r->delayMs = static_cast<DWORD>(n);
        } else if (a == L"--when-enabled") {
            Rule *r = currentRule(L"--when-enabled");
            if (!r)
                return false;
            r->whenEnabled = true;
        } else if (a == L"--times") {
            Rule *r = currentRule(L"--times");
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

namespace {

void ReplaceToken(std::wstring &text, const std::wstring &token, const std::wstring &value) {
    for (size_t pos = text.find(token); pos != std::wstring::npos; pos = text.find(token, pos + value.size()))
        text.replace(pos, token.size(), value);
}

// "{HWND}" becomes the handle in decimal, "{HWNDX}" in hexadecimal digits (upper case, no prefix).
std::wstring ReplaceHwnd(std::wstring text, HWND host) {
    const ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(host);
    wchar_t hex[32];
    swprintf(hex, 32, L"%llX", static_cast<unsigned long long>(handle));
    ReplaceToken(text, L"{HWNDX}", hex);
    ReplaceToken(text, L"{HWND}", std::to_wstring(handle));
    return text;
}

// Quotes one argument so that the C runtime's splitting gives it back unchanged.
std::wstring QuoteArgument(const std::wstring &arg) {
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

} // namespace

std::wstring BuildCommandLine(const Options &o, HWND host) {
    std::wstring line = QuoteArgument(o.program);
    if (o.useRaw) {
        line += L" ";
        line += ReplaceHwnd(o.raw, host);
    } else {
        for (const std::wstring &a : o.args) {
            line += L" ";
            line += QuoteArgument(ReplaceHwnd(a, host));
        }
    }
    return line;
}
