#include "tools/hostapp/host_window.h"

#include <map>

#include "tools/hostapp/inspect.h"

namespace {

const wchar_t kHostClass[] = L"TbHostAppWindow";
const wchar_t kHostCaption[] = L"Host Application";
const UINT kWmArchiveCreated = WM_APP + 0x65;

struct HostState {
    HWND host = nullptr;
    DWORD startTick = 0;
    std::map<UINT, std::wstring> registeredIds;
    JsonWriter notifications;
    JsonWriter archives;
    JsonWriter enableEvents;
    bool disabledSeen = false;
    bool lastEnabled = true;
};

HostState g_state;

void RecordEnabled(bool enabled) {
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

void OnArchiveCreated(WPARAM wp, LPARAM lp) {
    std::wstring path;
    bool ok = ReadRemoteString(static_cast<DWORD>(wp), static_cast<ULONG_PTR>(lp), path);
    JsonWriter &w = g_state.archives;
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

void OnRegisteredMessage(UINT msg, WPARAM wp, LPARAM lp) {
    JsonWriter &w = g_state.notifications;
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

LRESULT CALLBACK HostWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
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
        return 0; // the host outlives the program it hosts
    case WM_DESTROY:
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

} // namespace

bool CreateHostWindow(HINSTANCE instance, const std::vector<std::wstring> &registeredNames) {
    g_state.startTick = GetTickCount();
    g_state.notifications.beginArray();
    g_state.archives.beginArray();
    g_state.enableEvents.beginArray();
    for (const std::wstring &name : registeredNames) {
        UINT id = RegisterWindowMessageW(name.c_str());
        if (id)
            g_state.registeredIds[id] = name;
    }
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

void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        PumpMessages();
        DWORD spent = GetTickCount() - start;
        if (spent >= ms)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    }
}

HWND HostWindow() {
    return g_state.host;
}

DWORD ElapsedMs() {
    return GetTickCount() - g_state.startTick;
}

void PollHostEnabled() {
    RecordEnabled(IsWindowEnabled(g_state.host) != FALSE);
}

void WriteHostRecords(JsonWriter &w) {
    // Each list was opened as an array when the window was created.
    auto closeArray = [](JsonWriter part) {
        part.endArray();
        return part.text();
    };
    w.key("notifications");
    w.raw(closeArray(g_state.notifications));
    w.key("archiveCreated");
    w.raw(closeArray(g_state.archives));
    w.key("hostDisabledSeen");
    w.boolean(g_state.disabledSeen);
    w.key("hostEnabledAtEnd");
    w.boolean(IsWindowEnabled(g_state.host) != FALSE);
    w.key("enableEvents");
    w.raw(closeArray(g_state.enableEvents));
    w.key("hostRect");
    RECT rc = {};
    GetWindowRect(g_state.host, &rc);
    w.beginArray();
    w.num(rc.left);
    w.num(rc.top);
    w.num(rc.right);
    w.num(rc.bottom);
    w.endArray();
}
