// htmlview_window.exe: the HTML view in a dialog set up as the main dialog sets it up (the
// control obtained while the dialog initialises, the handler attached as its client site, a
// first navigation to about:blank), for the end-to-end test to read from another process.
//
// Usage: htmlview_window.exe page.html [page.html...]
//   Shows the first page (UTF-8 files) with the list box as the focus-return window. Messages
//   the test sends to the dialog (the result is the message's answer):
//   WM_APP+1            show the next page; 1, or 0 after the last
//   WM_APP+2 (index)    click the character at `index` of the built-in view with the left
//                       mouse button; 1, or 0 when the view is not there
// Exit code 0, or 1 when the dialog could not be set up.

#include <windows.h>

#include <richedit.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/ui/html_view_host.h"
#include "tarnbeam/ui/web_browser_handler.h"

namespace {

const int kDialogId = 100;
const int kHostId = 1002;
const int kListId = 1003;
const UINT kMsgShowNext = WM_APP + 1;
const UINT kMsgClickAt = WM_APP + 2;

struct WindowState {
    std::vector<std::wstring> pages;
    size_t shown = 0;
    ComPtr<IWebBrowser2> browser;
    KMyWBHandler *handler = nullptr;
    bool ready = false;
};

std::wstring ReadUtf8File(const std::wstring &path) {
    FileHandle file(_wfopen(path.c_str(), L"rb"));
    if (!file)
        return std::wstring();
    std::string bytes;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file.get())) > 0)
        bytes.append(buffer, got);
    int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return text;
}

void ShowPage(HWND dialog, WindowState &s, size_t index) {
    s.shown = index;
    SendDlgItemMessageW(dialog, kListId, LB_SETCURSEL, index, 0);
    s.handler->SetFocusReturnWindow(GetDlgItem(dialog, kListId));
    ShowHtmlInView(GetDlgItem(dialog, kHostId), s.handler, s.browser.get(), s.pages[index]);
}

BOOL OnInitDialog(HWND dialog, WindowState &s) {
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&s));
    ComPtr<IUnknown> control;
    if (FAILED(HtmlViewGetControl(GetDlgItem(dialog, kHostId), control.put())))
        return TRUE;
    s.browser = control.as<IWebBrowser2>();
    s.handler = new KMyWBHandler;
    if (!s.browser || FAILED(s.handler->Attach(control.get())) ||
        FAILED(s.handler->SetClientSite(kHtmlViewDownloadControl)))
        return TRUE;
    s.handler->SetOwnerWindow(dialog);
    BSTR blank = SysAllocString(L"about:blank");
    VARIANT empty;
    VariantInit(&empty);
    s.browser->Navigate(blank, &empty, &empty, &empty, &empty);
    SysFreeString(blank);
    for (size_t i = 0; i < s.pages.size(); ++i) {
        std::wstring item = L"Page " + std::to_wstring(i + 1);
        SendDlgItemMessageW(dialog, kListId, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    }
    s.ready = true;
    ShowPage(dialog, s, 0);
    return TRUE;
}

LRESULT OnShowNext(HWND dialog, WindowState &s) {
    if (!s.ready || s.shown + 1 >= s.pages.size())
        return 0;
    ShowPage(dialog, s, s.shown + 1);
    return 1;
}

// A click as the user makes it, on the character's left half.
LRESULT OnClickAt(HWND dialog, LONG index) {
    HWND view = FindWindowExW(GetDlgItem(dialog, kHostId), nullptr, MSFTEDIT_CLASS, nullptr);
    if (!view || !IsWindowVisible(view))
        return 0;
    POINTL point = {};
    SendMessageW(view, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&point), index);
    LPARAM at = MAKELPARAM(point.x + 2, point.y + 4);
    SendMessageW(view, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(view, WM_LBUTTONUP, 0, at);
    return 1;
}

void OnDestroy(WindowState &s) {
    if (s.handler)
        s.handler->Detach();
    s.handler = nullptr;
    s.browser.reset();
    PostQuitMessage(0);
}

INT_PTR Answer(HWND dialog, LRESULT result) {
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    WindowState *s = reinterpret_cast<WindowState *>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog, *reinterpret_cast<WindowState *>(lParam));
    case kMsgShowNext:
        return Answer(dialog, s ? OnShowNext(dialog, *s) : 0);
    case kMsgClickAt:
        return Answer(dialog, OnClickAt(dialog, static_cast<LONG>(wParam)));
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK)
            DestroyWindow(dialog);
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(dialog);
        return TRUE;
    case WM_DESTROY:
        if (s)
            OnDestroy(*s);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    OleSession ole;
    if (!ole.ok() || !RegisterHtmlViewHost(instance))
        return 1;
    WindowState state;
    int argc = 0;
    LocalMemory argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    wchar_t **args = static_cast<wchar_t **>(argv.get());
    for (int i = 1; args && i < argc; ++i)
        state.pages.push_back(ReadUtf8File(args[i]));
    if (state.pages.empty())
        return 1;
    HWND dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(kDialogId), nullptr, DialogProc,
                                     reinterpret_cast<LPARAM>(&state));
    if (!dialog || !state.ready) {
        if (dialog)
            DestroyWindow(dialog);
        return 1;
    }
    ShowWindow(dialog, SW_SHOW);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return 0;
}
