#include "cabforge/ui/splitter.h"

#include <windowsx.h>

#include <algorithm>
#include <memory>

#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_paths.h"

const wchar_t kSplitterClass[] = L"Cabforge_Splitter";

namespace {

using archive_paths::kBarWidth;

struct SplitterState {
    HWND first = nullptr;
    HWND second = nullptr;
    int position = 30;
    int tracking = 0;
    bool dragging = false;
    bool stacked = false;
    HCURSOR sizeWestEast = nullptr;
    HCURSOR sizeNorthSouth = nullptr;
};

SplitterState *StateOf(HWND splitter) {
    return reinterpret_cast<SplitterState *>(GetWindowLongPtrW(splitter, 0));
}

bool BothPanes(const SplitterState *state) {
    return state && state->first && state->second;
}

int ClientExtent(HWND splitter, bool stacked) {
    RECT client = {};
    GetClientRect(splitter, &client);
    return stacked ? client.bottom : client.right;
}

void Layout(HWND splitter, const SplitterState *state) {
    RECT client = {};
    GetClientRect(splitter, &client);
    const int w = client.right;
    const int h = client.bottom;
    const int p = state->position;
    if (state->stacked) {
        if (state->first)
            MoveWindow(state->first, 0, 0, w, p, TRUE);
        if (state->second)
            MoveWindow(state->second, 0, p + kBarWidth, w, h - p - kBarWidth, TRUE);
    } else {
        if (state->first)
            MoveWindow(state->first, 0, 0, p, h, TRUE);
        if (state->second)
            MoveWindow(state->second, p + kBarWidth, 0, w - p - kBarWidth, h, TRUE);
    }
}

// The bar at the tracking position, drawn by inversion in the top-level window's client area:
// drawing it a second time erases it.
void DrawDragBar(HWND splitter, const SplitterState *state) {
    HWND top = GetAncestor(splitter, GA_ROOT);
    RECT client = {};
    GetClientRect(splitter, &client);
    RECT bar = client;
    if (state->stacked) {
        bar.top = state->tracking;
        bar.bottom = state->tracking + kBarWidth;
    } else {
        bar.left = state->tracking;
        bar.right = state->tracking + kBarWidth;
    }
    MapWindowPoints(splitter, top, reinterpret_cast<POINT *>(&bar), 2);
    HDC dc = GetDC(top);
    if (!dc)
        return;
    DrawFocusRect(dc, &bar);
    RECT inner = bar;
    InflateRect(&inner, -1, -1);
    DrawFocusRect(dc, &inner);
    ReleaseDC(top, dc);
}

bool OnCreate(HWND splitter) {
    std::unique_ptr<SplitterState> state(new (std::nothrow) SplitterState());
    if (!state)
        return false;
    state->stacked = (GetWindowLongW(splitter, GWL_STYLE) & 1) != 0;
    state->sizeWestEast = LoadCursorW(nullptr, IDC_SIZEWE);
    state->sizeNorthSouth = LoadCursorW(nullptr, IDC_SIZENS);
    SetWindowLongPtrW(splitter, 0, reinterpret_cast<LONG_PTR>(state.release()));
    SetWindowLongW(splitter, GWL_STYLE, GetWindowLongW(splitter, GWL_STYLE) | WS_CLIPCHILDREN);
    SetWindowLongW(splitter, GWL_EXSTYLE, GetWindowLongW(splitter, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
    return true;
}

void OnDestroy(HWND splitter) {
    std::unique_ptr<SplitterState> state(StateOf(splitter));
    SetWindowLongPtrW(splitter, 0, 0);
}

void OnButtonDown(HWND splitter, SplitterState *state) {
    if (!BothPanes(state))
        return;
    state->dragging = true;
    state->tracking = std::max(0, std::min(state->position, ClientExtent(splitter, state->stacked)));
    DrawDragBar(splitter, state);
    SetCapture(splitter);
}

void OnMouseMove(HWND splitter, SplitterState *state, LPARAM lParam) {
    if (!state || !state->dragging)
        return;
    const int pointer = state->stacked ? GET_Y_LPARAM(lParam) : GET_X_LPARAM(lParam);
    if (pointer == state->tracking)
        return;
    DrawDragBar(splitter, state);
    state->tracking = archive_paths::clampDragPosition(pointer, ClientExtent(splitter, state->stacked));
    DrawDragBar(splitter, state);
}

void OnButtonUp(HWND splitter, SplitterState *state) {
    if (!state || !state->dragging)
        return;
    DrawDragBar(splitter, state);
    state->position = state->tracking;
    Layout(splitter, state);
    ReleaseCapture();
    state->dragging = false;
}

void OnSetCursor(const SplitterState *state) {
    if (!state)
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    else
        SetCursor(state->stacked ? state->sizeNorthSouth : state->sizeWestEast);
}

void OnStyleChanged(HWND splitter, SplitterState *state, WPARAM which, const STYLESTRUCT *style) {
    if (!state || which != static_cast<WPARAM>(GWL_STYLE))
        return;
    state->stacked = (style->styleNew & 1) != 0;
    Layout(splitter, state);
}

LRESULT CALLBACK SplitterProc(HWND splitter, UINT message, WPARAM wParam, LPARAM lParam) {
    SplitterState *state = StateOf(splitter);
    switch (message) {
    case WM_CREATE:
        return OnCreate(splitter) ? 0 : -1;
    case WM_DESTROY:
        OnDestroy(splitter);
        return 0;
    case WM_SIZE:
        if (state)
            Layout(splitter, state);
        return 0;
    case WM_LBUTTONDOWN:
        OnButtonDown(splitter, state);
        return 0;
    case WM_MOUSEMOVE:
        OnMouseMove(splitter, state, lParam);
        return 0;
    case WM_LBUTTONUP:
        OnButtonUp(splitter, state);
        return 0;
    case WM_SETCURSOR:
        if (reinterpret_cast<HWND>(wParam) != splitter)
            break;
        OnSetCursor(state);
        return TRUE;
    case WM_SETFOCUS:
        if (state && state->first)
            SetFocus(state->first);
        return 0;
    case WM_STYLECHANGED:
        OnStyleChanged(splitter, state, wParam, reinterpret_cast<const STYLESTRUCT *>(lParam));
        return 0;
    case WM_GETDLGCODE:
        return DLGC_WANTTAB;
    }
    return DefWindowProcW(splitter, message, wParam, lParam);
}

} // namespace

bool RegisterSplitterClass() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_GLOBALCLASS | CS_OWNDC;
    wc.lpfnWndProc = SplitterProc;
    // The state record's address.
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = g_instance;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kSplitterClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void SplitterSetPanes(HWND splitter, HWND first, HWND second) {
    SplitterState *state = StateOf(splitter);
    if (!state)
        return;
    state->first = first;
    state->second = second;
    Layout(splitter, state);
}

void SplitterSetPosition(HWND splitter, int position) {
    SplitterState *state = StateOf(splitter);
    if (!BothPanes(state))
        return;
    RECT client = {};
    GetClientRect(splitter, &client);
    state->position = archive_paths::clampPanePosition(position, client.right);
    Layout(splitter, state);
}

int SplitterPosition(HWND splitter) {
    const SplitterState *state = StateOf(splitter);
    return BothPanes(state) ? state->position : 0;
}
