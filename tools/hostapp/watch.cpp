#include "tools/hostapp/watch.h"

#include <map>
#include <set>
#include <vector>

#include "tools/hostapp/host_window.h"
#include "tools/hostapp/inspect.h"
#include "tools/hostapp/json_writer.h"

namespace {

struct SeenWindow {
    DWORD firstVisibleMs = 0;
    std::set<size_t> firedRules;
    bool snapshotTaken = false;
};

std::vector<std::string> g_snapshots;

bool WildcardMatch(const wchar_t *pattern, const wchar_t *text) {
    if (*pattern == L'\0')
        return *text == L'\0';
    if (*pattern == L'*')
        return WildcardMatch(pattern + 1, text) || (*text && WildcardMatch(pattern, text + 1));
    if (*text && (*pattern == L'?' || *pattern == *text))
        return WildcardMatch(pattern + 1, text + 1);
    return false;
}

bool CaptionMatches(const std::wstring &pattern, const std::wstring &caption) {
    if (pattern.find_first_of(L"*?") == std::wstring::npos)
        return pattern == caption;
    return WildcardMatch(pattern.c_str(), caption.c_str());
}

std::wstring WithoutAmpersands(const std::wstring &s) {
    std::wstring out;
    for (wchar_t c : s)
        if (c != L'&')
            out += c;
    return out;
}

struct FindControl {
    const Step *step;
    bool byText;
    HWND found;
};

BOOL CALLBACK FindControlProc(HWND hwnd, LPARAM lp) {
    FindControl *f = reinterpret_cast<FindControl *>(lp);
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

HWND FindStepControl(HWND top, const Step &step, bool byText) {
    FindControl f = {&step, byText, nullptr};
    EnumChildWindows(top, FindControlProc, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

std::string PerformStep(HWND top, const Step &step) {
    switch (step.kind) {
    case Action::Close:
        return PostMessageW(top, WM_CLOSE, 0, 0) ? "closed" : "post-failed";
    case Action::Command:
        return PostMessageW(top, WM_COMMAND, MAKEWPARAM(static_cast<int>(step.value), 0), 0)
                   ? "command-posted"
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
    case Action::Post: {
        // Into the program's queue, as keyboard input arrives: its message loop sees it.
        HWND target = step.id == -1 ? KeyboardFocus(top) : step.id ? FindStepControl(top, step, false) : top;
        if (!target)
            return "not-found";
        return PostMessageW(target, step.msg, step.wParam, step.lParam) ? "posted" : "post-failed";
    }
    }
    return "none";
}

const char *ActionName(Action a) {
    switch (a) {
    case Action::Press:
        return "press";
    case Action::Close:
        return "close";
    case Action::Command:
        return "command";
    case Action::SetText:
        return "set-text";
    case Action::SelectItem:
        return "select-item";
    case Action::Send:
        return "send";
    case Action::Post:
        return "post";
    }
    return "none";
}

void TakeSnapshot(HWND top, const char *reason, int ruleIndex, const Rule *rule) {
    JsonWriter w;
    w.beginObject();
    WriteWindowSnapshot(w, top, HostWindow(), ElapsedMs());
    w.key("reason");
    w.str(reason);
    w.key("rule");
    w.num(ruleIndex);
    std::string names;
    std::string results;
    if (rule) {
        for (const Step &step : rule->steps) {
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
    g_snapshots.push_back(w.text());
}

struct Watch {
    DWORD childPid = 0;
    bool anyProcess = false;
    std::vector<HWND> visible;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM lp) {
    Watch *watch = reinterpret_cast<Watch *>(lp);
    if (hwnd == HostWindow() || !IsWindowVisible(hwnd))
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

} // namespace

void ScanWindows(Options &o, DWORD childPid) {
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
        SeenWindow &seen = ins.first->second;
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
            Rule &rule = o.rules[r];
            if (seen.firedRules.count(r) || (rule.times >= 0 && rule.fired >= rule.times))
                continue;
            if (!CaptionMatches(rule.caption, caption))
                continue;
            if (!rule.windowClass.empty() && rule.windowClass != cls)
                continue;
            if (t - seen.firstVisibleMs < rule.delayMs)
                continue;
            if (rule.whenEnabled && !IsWindowEnabled(hwnd))
                continue;
            seen.firedRules.insert(r);
            ++rule.fired;
            TakeSnapshot(hwnd, "rule", static_cast<int>(r), &rule);
            if (!IsWindow(hwnd))
                break;
        }
    }
}

void SnapshotRemaining(const Options &o, DWORD childPid) {
    Watch watch;
    watch.childPid = childPid;
    watch.anyProcess = o.anyProcess;
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&watch));
    for (HWND hwnd : watch.visible)
        TakeSnapshot(hwnd, "timeout", -1, nullptr);
}

std::string SnapshotsJson() {
    std::string out = "[";
    for (size_t i = 0; i < g_snapshots.size(); ++i) {
        if (i)
            out += ",";
        out += g_snapshots[i];
    }
    return out + "]";
}
