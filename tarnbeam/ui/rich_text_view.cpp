#include "tarnbeam/ui/rich_text_view.h"

#include <richedit.h>

#include <cstdlib>
#include <string_view>

#include "tarnbeam/ui/link_policy.h"
#include "tarnbeam/ui/portable/html_rich_text.h"
#include "tarnbeam/ui/window_utils.h"

namespace {

// Not 1 (IDOK): a search of the dialog's windows for its default button must not find the view.
const int kViewId = 0x7F01;
// Room between the text and the host's frame, in pixels.
const int kTextMargin = 6;
const int kFallbackPointSize = 9;

std::wstring AsWide(const std::u16string &text) {
    return std::wstring(reinterpret_cast<const wchar_t *>(text.data()), text.size());
}

// The rich-text control's window class, loaded once from the system folder and kept for the
// life of the process (its windows need it until the end).
bool LoadRichEditClass() {
    static bool loaded = false;
    if (loaded)
        return true;
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    std::wstring path(folder, length);
    path += L"\\msftedit.dll";
    loaded = LoadLibraryW(path.c_str()) != nullptr;
    return loaded;
}

// Face and size of the dialog font the host sits in; the system's message font without one.
htmltext::TextStyle DialogTextStyle(HWND host) {
    LOGFONTW font = {};
    HWND dialog = GetParent(host);
    HFONT handle = dialog ? reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)) : nullptr;
    if (!handle || GetObjectW(handle, sizeof font, &font) != sizeof font) {
        NONCLIENTMETRICSW metrics = {};
        metrics.cbSize = sizeof metrics;
        if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
            font = metrics.lfMessageFont;
    }
    htmltext::TextStyle style;
    style.fontFace = std::u16string(reinterpret_cast<const char16_t *>(font.lfFaceName));
    style.pointSize = kFallbackPointSize;
    if (font.lfHeight != 0) {
        HDC screen = GetDC(nullptr);
        int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
        if (screen)
            ReleaseDC(nullptr, screen);
        style.pointSize = MulDiv(std::abs(font.lfHeight), 72, dpi);
    }
    return style;
}

bool CreateView(RichTextView &view, HWND host) {
    if (view.edit && IsWindow(view.edit))
        return true;
    view.edit = nullptr;
    if (!LoadRichEditClass())
        return false;
    RECT client = {};
    GetClientRect(host, &client);
    view.edit = CreateWindowExW(
        0, MSFTEDIT_CLASS, L"", WS_CHILD | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0,
        client.right, client.bottom, host, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kViewId)),
        reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(host, GWLP_HINSTANCE)), nullptr);
    if (!view.edit)
        return false;
    SendMessageW(view.edit, EM_SETEVENTMASK, 0, ENM_LINK);
    return true;
}

// The text keeps some room from the host's frame; sizing the control resets its text rectangle.
void SetTextRect(HWND edit) {
    RECT text = {};
    GetClientRect(edit, &text);
    InflateRect(&text, -kTextMargin, -kTextMargin / 2);
    SendMessageW(edit, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&text));
}

void SetSelection(HWND edit, LONG first, LONG last) {
    CHARRANGE range = {first, last};
    SendMessageW(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
}

void Fill(RichTextView &view, const htmltext::RichText &text) {
    SendMessageW(view.edit, WM_SETREDRAW, FALSE, 0);
    SETTEXTEX how = {ST_DEFAULT, CP_ACP};
    SendMessageW(view.edit, EM_SETTEXTEX, reinterpret_cast<WPARAM>(&how),
                 reinterpret_cast<LPARAM>(text.rtf.c_str()));
    view.links.clear();
    for (const htmltext::Link &link : text.links) {
        RichTextLink entry;
        entry.first = static_cast<LONG>(link.first);
        entry.last = static_cast<LONG>(link.last);
        entry.address = AsWide(link.address);
        SetSelection(view.edit, entry.first, entry.last);
        CHARFORMAT2W format = {};
        format.cbSize = sizeof format;
        format.dwMask = CFM_LINK;
        format.dwEffects = CFE_LINK;
        SendMessageW(view.edit, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
        view.links.push_back(std::move(entry));
    }
    SetSelection(view.edit, 0, 0);
    SendMessageW(view.edit, WM_VSCROLL, SB_TOP, 0);
    SendMessageW(view.edit, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(view.edit, nullptr, TRUE);
}

const RichTextLink *LinkAt(const RichTextView &view, LONG position) {
    for (const RichTextLink &link : view.links) {
        if (link.first <= position && position < link.last)
            return &link;
    }
    return nullptr;
}

// A click on a link opens its address in the user's browser, if it is one a browser should open.
void OnLinkClicked(const RichTextView &view, const ENLINK &link) {
    // The character under the mouse tells adjacent links apart; the control reports their
    // joined range.
    POINTL point = {static_cast<short>(LOWORD(link.lParam)), static_cast<short>(HIWORD(link.lParam))};
    LONG position =
        static_cast<LONG>(SendMessageW(view.edit, EM_CHARFROMPOS, 0, reinterpret_cast<LPARAM>(&point)));
    const RichTextLink *target = LinkAt(view, position);
    if (!target)
        target = LinkAt(view, link.chrg.cpMin);
    if (target)
        OpenLinkOutside(view.owner, target->address);
}

} // namespace

bool ShowRichText(RichTextView &view, HWND host, const std::wstring &html, HWND owner) {
    if (!CreateView(view, host))
        return false;
    view.owner = owner;
    Fill(view, htmltext::convertHtml(AsUtf16(html), DialogTextStyle(host)));
    RECT client = {};
    GetClientRect(host, &client);
    // Above the browser control's window, which shares the host.
    SetWindowPos(view.edit, HWND_TOP, 0, 0, client.right, client.bottom, SWP_SHOWWINDOW | SWP_NOACTIVATE);
    SetTextRect(view.edit);
    return true;
}

void HideRichText(RichTextView &view) {
    if (view.edit && IsWindow(view.edit))
        ShowWindow(view.edit, SW_HIDE);
}

bool RichTextVisible(const RichTextView &view) {
    return view.edit && IsWindow(view.edit) && IsWindowVisible(view.edit);
}

void SizeRichText(RichTextView &view, int width, int height) {
    if (!view.edit || !IsWindow(view.edit))
        return;
    SetWindowPos(view.edit, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    SetTextRect(view.edit);
}

bool RichTextOnNotify(RichTextView &view, const NMHDR *header, LRESULT *result) {
    if (!header || !view.edit || header->hwndFrom != view.edit || header->code != EN_LINK)
        return false;
    const ENLINK *link = reinterpret_cast<const ENLINK *>(header);
    if (link->msg == WM_LBUTTONUP)
        OnLinkClicked(view, *link);
    // The control goes on handling the mouse as usual.
    *result = 0;
    return true;
}
