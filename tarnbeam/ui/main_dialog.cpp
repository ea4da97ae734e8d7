#include "tarnbeam/ui/main_dialog.h"

#include <commctrl.h>
#include <exdisp.h>
#include <ole2.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>
#include <vector>

#include "tarnbeam/app/config.h"
#include "tarnbeam/app/module_info.h"
#include "tarnbeam/app/settings.h"
#include "tarnbeam/app/startup.h"
#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/feed/news_feed.h"
#include "tarnbeam/resources/resource.h"
#include "tarnbeam/retrieval/version_check.h"
#include "tarnbeam/ui/options_dialog.h"
#include "tarnbeam/ui/html_view_host.h"
#include "tarnbeam/ui/portable/main_dialog_rules.h"
#include "tarnbeam/ui/update_command.h"
#include "tarnbeam/ui/web_browser_handler.h"
#include "tarnbeam/ui/window_utils.h"

namespace {

struct MainDialogState {
    HWND dialog = nullptr;
    bool autoCheck = false;
    GdiObject<HFONT> boldFont;
    HIMAGELIST updateImages = nullptr;
    HIMAGELIST newsImages = nullptr;
    int rememberedUpdateRow = 0;
    int rememberedNewsRow = 0;
    const void *lastRendered = nullptr;
    bool newsMarkerWritten = false;
    ComPtr<IWebBrowser2> browser;
    KMyWBHandler *handler = nullptr; // kept alive by the browser's references
    WNDPROC previousHostProc = nullptr;
};

HWND g_mainDialog = nullptr;

MainDialogState *StateOf(HWND dialog) {
    return reinterpret_cast<MainDialogState *>(GetWindowLongPtrW(dialog, DWLP_USER));
}

bool AtLeastXp() {
    const OSVERSIONINFOW &v = SystemVersion();
    return v.dwMajorVersion > 5 || (v.dwMajorVersion == 5 && v.dwMinorVersion >= 1);
}

bool AtLeastVista() {
    return SystemVersion().dwMajorVersion >= 6;
}

// The visual-style functions, looked up once in the system's uxtheme.dll.
struct ThemeApi {
    using IsAppThemedFn = BOOL(WINAPI *)();
    using SetWindowThemeFn = HRESULT(WINAPI *)(HWND, LPCWSTR, LPCWSTR);
    using OpenThemeDataFn = HANDLE(WINAPI *)(HWND, LPCWSTR);
    using CloseThemeDataFn = HRESULT(WINAPI *)(HANDLE);
    using DrawThemeBackgroundFn = HRESULT(WINAPI *)(HANDLE, HDC, int, int, const RECT *, const RECT *);
    using IsPartiallyTransparentFn = BOOL(WINAPI *)(HANDLE, int, int);
    using DrawParentBackgroundFn = HRESULT(WINAPI *)(HWND, HDC, const RECT *);
    IsAppThemedFn isAppThemed = nullptr;
    SetWindowThemeFn setWindowTheme = nullptr;
    OpenThemeDataFn openThemeData = nullptr;
    CloseThemeDataFn closeThemeData = nullptr;
    DrawThemeBackgroundFn drawThemeBackground = nullptr;
    IsPartiallyTransparentFn isPartiallyTransparent = nullptr;
    DrawParentBackgroundFn drawParentBackground = nullptr;
};

const ThemeApi &Theme() {
    static ThemeApi api = [] {
        ThemeApi a;
        HMODULE uxtheme = LoadLibraryExW(L"uxtheme.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        a.isAppThemed = LookUpFunction<ThemeApi::IsAppThemedFn>(uxtheme, "IsAppThemed");
        a.setWindowTheme = LookUpFunction<ThemeApi::SetWindowThemeFn>(uxtheme, "SetWindowTheme");
        a.openThemeData = LookUpFunction<ThemeApi::OpenThemeDataFn>(uxtheme, "OpenThemeData");
        a.closeThemeData = LookUpFunction<ThemeApi::CloseThemeDataFn>(uxtheme, "CloseThemeData");
        a.drawThemeBackground =
            LookUpFunction<ThemeApi::DrawThemeBackgroundFn>(uxtheme, "DrawThemeBackground");
        a.isPartiallyTransparent = LookUpFunction<ThemeApi::IsPartiallyTransparentFn>(
            uxtheme, "IsThemeBackgroundPartiallyTransparent");
        a.drawParentBackground =
            LookUpFunction<ThemeApi::DrawParentBackgroundFn>(uxtheme, "DrawThemeParentBackground");
        return a;
    }();
    return api;
}

bool AppThemed() {
    const ThemeApi &t = Theme();
    return t.isAppThemed && t.isAppThemed();
}

// Paints the host's border as a themed edit control's; false when the previous procedure must.
bool PaintThemedBorder(HWND host, WPARAM region) {
    const ThemeApi &t = Theme();
    if (!AppThemed() || !t.openThemeData || !t.closeThemeData || !t.drawThemeBackground)
        return false;
    HDC dc = nullptr;
    if (region != 1)
        dc = GetDCEx(host, reinterpret_cast<HRGN>(region), DCX_WINDOW | DCX_INTERSECTRGN);
    if (!dc)
        dc = GetWindowDC(host);
    if (!dc)
        return false;
    RECT window = {}, client = {};
    GetWindowRect(host, &window);
    GetClientRect(host, &client);
    MapWindowPoints(host, nullptr, reinterpret_cast<POINT *>(&client), 2);
    OffsetRect(&client, -window.left, -window.top);
    OffsetRect(&window, -window.left, -window.top);
    ExcludeClipRect(dc, client.left, client.top, client.right, client.bottom);
    HANDLE theme = t.openThemeData(host, L"Edit");
    if (theme) {
        if (t.isPartiallyTransparent && t.drawParentBackground && t.isPartiallyTransparent(theme, 0, 0))
            t.drawParentBackground(host, dc, &window);
        t.drawThemeBackground(theme, dc, 0, 0, &window, nullptr);
        t.closeThemeData(theme);
    }
    ReleaseDC(host, dc);
    return theme != nullptr;
}

LRESULT CALLBACK HostBorderProc(HWND host, UINT msg, WPARAM wParam, LPARAM lParam) {
    MainDialogState *s = StateOf(GetParent(host));
    WNDPROC previous = s ? s->previousHostProc : nullptr;
    if (msg == WM_NCPAINT && PaintThemedBorder(host, wParam))
        return 0;
    return previous ? CallWindowProcW(previous, host, msg, wParam, lParam)
                    : DefWindowProcW(host, msg, wParam, lParam);
}

// --- rendering -------------------------------------------------------------------------------

void Render(MainDialogState &s, const std::wstring &html) {
    ShowHtmlInView(GetDlgItem(s.dialog, IDC_HTML_VIEW), s.handler, s.browser.get(), html);
}

std::wstring InstalledVersionText() {
    return g_updateEntries.empty() ? LoadResourceString(IDS_UNKNOWN)
                                   : g_updateEntries.front().installedVersion;
}

std::wstring CheckErrorText() {
    if (g_updateEntries.empty())
        return LoadResourceString(IDS_UNKNOWN);
    wchar_t number[16];
    swprintf(number, 16, L"%d", g_checkErrorCode);
    return number;
}

void RenderSelectedRow(MainDialogState &s, HWND list) {
    const void *data = nullptr;
    const int row = FirstSelectedRow(list, &data);
    if (row < 0)
        return;
    if (s.handler)
        s.handler->SetFocusReturnWindow(list);
    if (!data || data == s.lastRendered)
        return;
    s.lastRendered = data;
    HWND update = GetDlgItem(s.dialog, IDC_UPDATE);
    const int kind = *static_cast<const int *>(data);
    if (kind == kUpdateEntryKind) {
        const UpdateEntry &entry = *static_cast<const UpdateEntry *>(data);
        s.rememberedUpdateRow = row;
        if (g_checkFailed) {
            Render(s, maindialog::replaceAll(g_config.CheckFailDescription, L"$$CHECKERRORCODE$$",
                                             CheckErrorText()));
            EnableWindow(update, FALSE);
        } else if (entry.newer) {
            Render(s, entry.description);
            EnableWindow(update, TRUE);
        } else {
            Render(s, maindialog::replaceAll(g_config.NoUpdateDescription, L"$$APPVERSION$$",
                                             InstalledVersionText()));
            EnableWindow(update, FALSE);
        }
    } else if (kind == kNewsItemKind) {
        s.rememberedNewsRow = row;
        Render(s, static_cast<const NewsItem *>(data)->description);
        EnableWindow(update, FALSE);
    }
}

// --- lists -----------------------------------------------------------------------------------

void PrepareList(HWND list) {
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    if (AtLeastVista()) {
        const DWORD styles = LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_AUTOSIZECOLUMNS;
        SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, styles, styles);
        if (Theme().setWindowTheme)
            Theme().setWindowTheme(list, L"Explorer", nullptr);
    }
    RECT client = {};
    GetClientRect(list, &client);
    LVCOLUMNW column = {};
    column.mask = LVCF_WIDTH | LVCF_TEXT;
    column.cx = client.right - client.left;
    column.pszText = const_cast<wchar_t *>(L"");
    SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
}

void AppendRow(HWND list, const std::wstring &text, int image, const void *data) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
    item.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    item.pszText = const_cast<wchar_t *>(text.c_str());
    item.iImage = image;
    item.lParam = reinterpret_cast<LPARAM>(data);
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void SelectRow(HWND list, int row) {
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

int RowCount(HWND list) {
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring UpdateRowText(const UpdateEntry &entry) {
    if (g_checkFailed)
        return g_config.CheckFailMessage;
    if (!entry.newer)
        return g_config.NoUpdateMessage;
    wchar_t released[128] = {};
    const std::wstring pattern = LoadResourceString(IDS_RELEASED_ON);
    swprintf(released, 128, pattern.c_str(), entry.releaseDate.wYear, entry.releaseDate.wMonth,
             entry.releaseDate.wDay);
    // The version text follows the word "Version" after a space, whichever of the two brings it.
    std::wstring text = entry.componentName + LoadResourceString(IDS_VERSION_PREFIX);
    if (!text.empty() && !iswspace(text.back()) && !entry.versionString.empty() &&
        !iswspace(entry.versionString[0]))
        text += L' ';
    return text + entry.versionString + released;
}

void FillUpdateList(MainDialogState &s) {
    HWND list = GetDlgItem(s.dialog, IDC_UPDATE_LIST);
    PrepareList(list);
    const int cx = GetSystemMetrics(SM_CXSMICON), cy = GetSystemMetrics(SM_CYSMICON);
    s.updateImages = ImageList_Create(cx, cy, ILC_COLOR32 | ILC_MASK, 1, 1);
    HICON icon = static_cast<HICON>(
        LoadImageW(nullptr, g_checkFailed ? IDI_ERROR : IDI_INFORMATION, IMAGE_ICON, cx, cy, LR_SHARED));
    if (s.updateImages && icon)
        ImageList_AddIcon(s.updateImages, icon);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(s.updateImages));
    for (const UpdateEntry &entry : g_updateEntries)
        AppendRow(list, UpdateRowText(entry), 0, &entry);
    SelectRow(list, 0);
}

const int kNewsPictureWidth = 32, kNewsPictureHeight = 16;

// 32-bit pixels, rows from the top: the layout of maindialog::Picture.
BITMAPINFO PictureFormat(int width, int height) {
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    return format;
}

// The bitmap's pixels as 32-bit rows from the top; no pixels when they cannot be read.
maindialog::Picture ReadPicture(HBITMAP bitmap) {
    maindialog::Picture picture;
    BITMAP size = {};
    if (!GetObjectW(bitmap, sizeof size, &size) || size.bmWidth <= 0 || size.bmHeight <= 0 ||
        size.bmWidth > maindialog::kMaxPictureSide || size.bmHeight > maindialog::kMaxPictureSide)
        return picture;
    BITMAPINFO format = PictureFormat(size.bmWidth, size.bmHeight);
    std::vector<std::uint32_t> pixels(static_cast<size_t>(size.bmWidth) * size.bmHeight);
    HDC screen = GetDC(nullptr);
    const int rows =
        screen ? GetDIBits(screen, bitmap, 0, size.bmHeight, pixels.data(), &format, DIB_RGB_COLORS) : 0;
    if (screen)
        ReleaseDC(nullptr, screen);
    if (rows != size.bmHeight)
        return picture;
    picture.width = size.bmWidth;
    picture.height = size.bmHeight;
    picture.pixels.swap(pixels);
    return picture;
}

// Adds a picture to the news list's image list as exactly one image, fitted into the list's
// picture cell. The image list cuts a bitmap into cell-wide images, so a narrower picture would
// add none and still report an index, and a wider one would add several. The index, or -1.
int AddNewsPicture(HIMAGELIST images, HBITMAP picture) {
    const maindialog::Picture cell =
        maindialog::fitPictureToCell(ReadPicture(picture), kNewsPictureWidth, kNewsPictureHeight);
    if (cell.pixels.empty())
        return -1;
    BITMAPINFO format = PictureFormat(cell.width, cell.height);
    void *bits = nullptr;
    GdiObject<HBITMAP> bitmap(CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits)
        return -1;
    memcpy(bits, cell.pixels.data(), cell.pixels.size() * sizeof cell.pixels[0]);
    GdiFlush();
    const int before = ImageList_GetImageCount(images);
    const int index = ImageList_Add(images, bitmap.get(), nullptr);
    return index == before && ImageList_GetImageCount(images) == before + 1 ? index : -1;
}

void FillNewsList(MainDialogState &s) {
    HWND list = GetDlgItem(s.dialog, IDC_NEWS_LIST);
    PrepareList(list);
    s.newsImages = ImageList_Create(kNewsPictureWidth, kNewsPictureHeight, ILC_COLOR32 | ILC_MASK, 1, 1);
    if (s.newsImages) {
        GdiObject<HBITMAP> standard(
            static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_NEWS_DEFAULT),
                                            IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
        AddNewsPicture(s.newsImages, standard.get());
        for (auto &entry : feedImages) {
            const int index = entry.second.bitmap ? AddNewsPicture(s.newsImages, entry.second.bitmap) : -1;
            entry.second.imageIndex = index < 0 ? 0 : index;
        }
    }
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(s.newsImages));
    for (const NewsItem &item : newsItems) {
        wchar_t date[32];
        swprintf(date, 32, L"[%04d/%02d/%02d] ", item.published.wYear, item.published.wMonth,
                 item.published.wDay);
        AppendRow(list, date + item.title, feedImages[item.category].imageIndex, &item);
    }
    SelectRow(list, 0);
}

// --- tabs ------------------------------------------------------------------------------------

void WriteNewsMarker() {
    if (newsItems.empty())
        return;
    const SYSTEMTIME &t = newsItems.front().published;
    wchar_t text[32];
    swprintf(text, 32, L"%04d/%02d/%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    WriteRegText(g_config.CommonRegKey, L"LastRSSItemDate", text);
}

void ShowTab(MainDialogState &s, int tab) {
    HWND updates = GetDlgItem(s.dialog, IDC_UPDATE_LIST);
    HWND news = GetDlgItem(s.dialog, IDC_NEWS_LIST);
    HWND update = GetDlgItem(s.dialog, IDC_UPDATE);
    if (tab == 0) {
        ShowWindow(update, SW_SHOW);
        ShowWindow(updates, SW_SHOW);
        ShowWindow(news, SW_HIDE);
        SetFocus(updates);
        SelectRow(updates, s.rememberedUpdateRow);
        RenderSelectedRow(s, updates);
        return;
    }
    ShowWindow(update, SW_HIDE);
    ShowWindow(updates, SW_HIDE);
    ShowWindow(news, SW_SHOW);
    SetFocus(news);
    SelectRow(news, s.rememberedNewsRow);
    RenderSelectedRow(s, news);
    if (!s.newsMarkerWritten)
        WriteNewsMarker();
    s.newsMarkerWritten = true;
}

// True refuses the switch away from the current tab.
bool RefuseTabChange(MainDialogState &s) {
    const int current = static_cast<int>(SendDlgItemMessageW(s.dialog, IDC_TABS, TCM_GETCURSEL, 0, 0));
    UINT text = 0;
    if (current == 0 && RowCount(GetDlgItem(s.dialog, IDC_NEWS_LIST)) == 0)
        text = IDS_NO_NEWS_SELECTED;
    else if (current == 1 && RowCount(GetDlgItem(s.dialog, IDC_UPDATE_LIST)) == 0)
        text = IDS_NO_UPDATE_SELECTED;
    if (!text)
        return false;
    MessageBoxW(s.dialog, LoadResourceString(text).c_str(), LoadResourceString(IDS_CAPTION).c_str(),
                MB_OK | MB_ICONWARNING);
    return true;
}

void InsertTab(HWND tabs, int index, UINT text) {
    std::wstring label = LoadResourceString(text);
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = &label[0];
    SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

// --- set-up ----------------------------------------------------------------------------------

void MakeUpdateButtonBold(MainDialogState &s) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(s.dialog, WM_GETFONT, 0, 0));
    LOGFONTW lf = {};
    if (!font || !GetObjectW(font, sizeof lf, &lf))
        return;
    lf.lfWeight = FW_BOLD;
    s.boldFont.reset(CreateFontIndirectW(&lf));
    if (s.boldFont)
        SendDlgItemMessageW(s.dialog, IDC_UPDATE, WM_SETFONT, reinterpret_cast<WPARAM>(s.boldFont.get()),
                            FALSE);
}

// Creates the browser's event handler and attaches it; false when the view cannot be used.
bool AttachBrowser(MainDialogState &s) {
    ComPtr<IUnknown> control;
    if (FAILED(HtmlViewGetControl(GetDlgItem(s.dialog, IDC_HTML_VIEW), control.put())) || !control)
        return false;
    s.browser = control.as<IWebBrowser2>();
    if (!s.browser)
        return false;
    KMyWBHandler *handler = new (std::nothrow) KMyWBHandler();
    if (!handler)
        return false;
    // Our own reference only spans the set-up: afterwards the browser's references keep the
    // handler alive, and when attaching failed this release frees it.
    handler->AddRef();
    const bool attached = SUCCEEDED(handler->Attach(control.get())) &&
                          SUCCEEDED(handler->SetClientSite(kHtmlViewDownloadControl));
    if (attached) {
        handler->SetOwnerWindow(s.dialog);
        s.handler = handler;
    } else {
        handler->Detach();
    }
    handler->Release();
    return attached;
}

void CloseDialog(MainDialogState &s) {
    HWND owner = GetWindow(s.dialog, GW_OWNER);
    if (owner)
        EnableWindow(owner, TRUE);
    DestroyWindow(s.dialog);
}

// --- message handlers ------------------------------------------------------------------------

BOOL OnInitDialog(HWND dialog, LPARAM param) {
    MainDialogState *s = new (std::nothrow) MainDialogState;
    if (!s) {
        DestroyWindow(dialog);
        return FALSE;
    }
    s->dialog = dialog;
    s->autoCheck = param != 0;
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(s));
    g_mainDialog = dialog;

    if (AtLeastXp())
        MakeUpdateButtonBold(*s);
    HWND tabs = GetDlgItem(dialog, IDC_TABS);
    InsertTab(tabs, 0, IDS_TAB_UPDATES);
    InsertTab(tabs, 1, IDS_TAB_NEWS);
    if (!AttachBrowser(*s)) {
        DestroyWindow(dialog);
        return FALSE;
    }
    HWND host = GetDlgItem(dialog, IDC_HTML_VIEW);
    s->previousHostProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(host, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(HostBorderProc)));
    NavigateToBlank(s->browser.get());

    FillUpdateList(*s);
    FillNewsList(*s);

    maindialog::InitialTabInputs in;
    in.autoCheck = s->autoCheck;
    in.integrateMode = g_config.IntegrateMode;
    in.showOption = static_cast<int>(g_startupOptions.showOption);
    in.updateListEmpty = RowCount(GetDlgItem(dialog, IDC_UPDATE_LIST)) == 0;
    in.newsListEmpty = RowCount(GetDlgItem(dialog, IDC_NEWS_LIST)) == 0;
    for (const UpdateEntry &entry : g_updateEntries)
        in.anyNewerEntry = in.anyNewerEntry || entry.newer;
    const int tab = maindialog::chooseInitialTab(in);
    if (in.updateListEmpty && in.newsListEmpty)
        Render(*s, LoadResourceString(IDS_NO_SERVER_INFO));
    SendMessageW(tabs, TCM_SETCURSEL, static_cast<WPARAM>(tab), 0);
    ShowTab(*s, static_cast<int>(SendMessageW(tabs, TCM_GETCURSEL, 0, 0)));
    CenterWindow(dialog, GetWindow(dialog, GW_OWNER));
    return TRUE;
}

// True when the command was ours; the dialog manager handles the others.
bool OnCommand(MainDialogState &s, int id) {
    switch (id) {
    case IDOK:
    case IDCANCEL:
        CloseDialog(s);
        return true;
    case IDC_UPDATE:
        if (RunUpdateCommand(s.dialog))
            CloseDialog(s);
        return true;
    case IDC_OPTIONS:
        ShowOptionsDialog(s.dialog);
        return true;
    }
    return false;
}

LRESULT OnNotify(MainDialogState &s, const NMHDR *header) {
    if (header->idFrom == IDC_TABS) {
        if (header->code == TCN_SELCHANGING)
            return RefuseTabChange(s) ? TRUE : FALSE;
        if (header->code == TCN_SELCHANGE)
            ShowTab(s, static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0)));
        return 0;
    }
    if ((header->idFrom == IDC_UPDATE_LIST || header->idFrom == IDC_NEWS_LIST) &&
        header->code == LVN_ITEMCHANGED) {
        const NMLISTVIEW *change = reinterpret_cast<const NMLISTVIEW *>(header);
        if ((change->uChanged & LVIF_STATE) && (change->uNewState & LVIS_SELECTED))
            RenderSelectedRow(s, header->hwndFrom);
    }
    return 0;
}

void OnDestroy(HWND dialog) {
    MainDialogState *s = StateOf(dialog);
    if (s) {
        HWND host = GetDlgItem(dialog, IDC_HTML_VIEW);
        if (s->previousHostProc)
            SetWindowLongPtrW(host, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(s->previousHostProc));
        if (s->handler)
            s->handler->Detach();
        s->handler = nullptr;
        s->browser.reset();
        if (s->updateImages)
            ImageList_Destroy(s->updateImages);
        if (s->newsImages)
            ImageList_Destroy(s->newsImages);
        SetWindowLongPtrW(dialog, DWLP_USER, 0);
        delete s;
    }
    g_mainDialog = nullptr;
    PostQuitMessage(0);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG)
        return OnInitDialog(dialog, lParam);
    MainDialogState *s = StateOf(dialog);
    switch (msg) {
    case WM_COMMAND:
        return s && OnCommand(*s, LOWORD(wParam)) ? TRUE : FALSE;
    case WM_NOTIFY:
        if (!s)
            return FALSE;
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, OnNotify(*s, reinterpret_cast<const NMHDR *>(lParam)));
        return TRUE;
    case WM_DESTROY:
        OnDestroy(dialog);
        return TRUE;
    }
    return FALSE;
}

} // namespace

HWND CreateMainDialog(HWND owner, bool autoCheck) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!RegisterHtmlViewHost(instance))
        return nullptr;
    HWND dialog =
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), owner, MainDialogProc, autoCheck ? 1 : 0);
    return dialog && IsWindow(dialog) ? dialog : nullptr;
}

HWND MainDialogWindow() {
    return g_mainDialog;
}
