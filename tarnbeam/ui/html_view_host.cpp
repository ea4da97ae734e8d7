#include "tarnbeam/ui/html_view_host.h"

#include <new>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/ui/rich_text_view.h"
#include "tarnbeam/ui/web_browser_handler.h"

const wchar_t kHtmlViewHostClass[] = L"AtlAxWin140";

namespace {

// Private messages of the host window.
const UINT kMsgCreateControl = WM_USER + 1;
const UINT kMsgReturnFocus = WM_USER + 2;

LRESULT CALLBACK HtmlViewHostProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// What the hosted control asks of its container: a client site, an in-place site and a frame
// without menus, toolbars or borders of its own. The host window is all it knows of the host,
// and the host forgets it at teardown.
class HostSite final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame {
  public:
    explicit HostSite(HWND host) : m_host(host) {}
    void Disconnect() { m_host = nullptr; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *object = static_cast<IOleClientSite *>(this);
        else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
            *object = static_cast<IOleInPlaceSite *>(this);
        else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
            *object = static_cast<IOleInPlaceFrame *>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker **moniker) override {
        if (moniker)
            *moniker = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer **container) override {
        if (container)
            *container = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow (both the in-place site and the frame)
    STDMETHODIMP GetWindow(HWND *window) override {
        if (!window)
            return E_POINTER;
        *window = m_host;
        return m_host ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return m_host ? S_OK : S_FALSE; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame **frame, IOleInPlaceUIWindow **document, LPRECT position,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
        if (!frame || !document || !position || !clip || !info)
            return E_POINTER;
        *frame = static_cast<IOleInPlaceFrame *>(this);
        AddRef();
        *document = nullptr;
        RECT client = {};
        if (m_host)
            GetClientRect(m_host, &client);
        *position = client;
        *clip = client;
        info->fMDIApp = FALSE;
        info->hwndFrame = m_host ? GetAncestor(m_host, GA_ROOT) : nullptr;
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
    STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
    // The host keeps the control at its client area; WM_SIZE moves it.
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

    // IOleInPlaceUIWindow and IOleInPlaceFrame: no borders, menus or status line.
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject *, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

    HostSite(const HostSite &) = delete;
    HostSite &operator=(const HostSite &) = delete;

  private:
    ~HostSite() = default;

    LONG m_refs = 1;
    HWND m_host;
};

struct HostState {
    HWND hwnd = nullptr;
    ComPtr<HostSite> site;
    ComPtr<IOleObject> control;
    bool createTried = false;
    HRESULT createResult = E_FAIL;
    RichTextView richText;
    HWND focusReturn = nullptr;
};

HostState *StateOf(HWND hwnd) {
    if (!hwnd || !IsWindow(hwnd))
        return nullptr;
    wchar_t name[32] = {};
    GetClassNameW(hwnd, name, 32);
    if (lstrcmpiW(name, kHtmlViewHostClass) != 0)
        return nullptr;
    return reinterpret_cast<HostState *>(GetWindowLongPtrW(hwnd, 0));
}

// The class id named by the window text: "{...}" or a program id.
HRESULT ControlClass(HWND hwnd, CLSID *clsid) {
    wchar_t text[128] = {};
    GetWindowTextW(hwnd, text, 128);
    if (text[0] == L'{')
        return CLSIDFromString(text, clsid);
    return CLSIDFromProgID(text, clsid);
}

void SizeControl(HostState &s) {
    RECT client = {};
    GetClientRect(s.hwnd, &client);
    if (s.control) {
        if (ComPtr<IOleInPlaceObject> inPlace = s.control.as<IOleInPlaceObject>())
            inPlace->SetObjectRects(&client, &client);
    }
    SizeRichText(s.richText, client.right, client.bottom);
}

void ActivateInPlace(HostState &s) {
    if (!s.control)
        return;
    RECT client = {};
    GetClientRect(s.hwnd, &client);
    s.control->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite *>(s.site.get()), 0,
                      s.hwnd, &client);
    SizeControl(s);
}

// Creates the control once; later calls give the first call's result.
HRESULT EnsureControl(HostState &s) {
    if (s.control)
        return S_OK;
    if (s.createTried)
        return s.createResult;
    s.createTried = true;
    CLSID clsid = {};
    HRESULT hr = ControlClass(s.hwnd, &clsid);
    ComPtr<IOleObject> object;
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                              reinterpret_cast<void **>(object.put()));
    if (SUCCEEDED(hr))
        hr = object->SetClientSite(static_cast<IOleClientSite *>(s.site.get()));
    s.createResult = hr;
    if (FAILED(hr))
        return hr;
    s.control = object;
    ActivateInPlace(s);
    return S_OK;
}

// The control is closed while the site still knows the host (it deactivates through it), then
// the site forgets the host before it is released.
void ReleaseControl(HostState &s) {
    if (s.control) {
        s.control->Close(OLECLOSE_NOSAVE);
        s.control->SetClientSite(nullptr);
        s.control.reset();
    }
    if (s.site) {
        s.site->Disconnect();
        s.site.reset();
    }
}

LRESULT OnCreate(HWND hwnd) {
    HostState *s = new (std::nothrow) HostState;
    if (!s)
        return -1;
    s->hwnd = hwnd;
    s->site = ComPtr<HostSite>(new (std::nothrow) HostSite(hwnd));
    if (!s->site) {
        delete s;
        return -1;
    }
    SetWindowLongPtrW(hwnd, 0, reinterpret_cast<LONG_PTR>(s));
    // The control fires events while it loads: it is created once the dialog around the host
    // exists, unless the dialog asks for it earlier.
    PostMessageW(hwnd, kMsgCreateControl, 0, 0);
    return 0;
}

void OnCreateControl(HostState &s) {
    EnsureControl(s);
}

void OnReturnFocus(HostState &s) {
    if (s.focusReturn && IsWindow(s.focusReturn))
        SetFocus(s.focusReturn);
}

void OnDestroy(HWND hwnd, HostState *s) {
    SetWindowLongPtrW(hwnd, 0, 0);
    if (!s)
        return;
    ReleaseControl(*s);
    delete s;
}

} // namespace

bool RegisterHtmlViewHost(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    // Global: dialog templates of any module of the process find it.
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = HtmlViewHostProc;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kHtmlViewHostClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HRESULT HtmlViewGetControl(HWND host, IUnknown **control) {
    if (!control)
        return E_POINTER;
    *control = nullptr;
    HostState *s = StateOf(host);
    if (!s)
        return E_INVALIDARG;
    HRESULT hr = EnsureControl(*s);
    if (FAILED(hr))
        return hr;
    return s->control->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(control));
}

bool ShowHtmlInView(HWND host, KMyWBHandler *handler, IWebBrowser2 *browser, const std::wstring &html) {
    HostState *s = StateOf(host);
    if (!s)
        return false;
    if (handler && browser && handler->ShowHtmlText(browser, html)) {
        HideRichText(s->richText);
        return true;
    }
    HWND owner = handler && handler->OwnerWindow() ? handler->OwnerWindow() : GetAncestor(host, GA_ROOT);
    if (!ShowRichText(s->richText, host, html, owner))
        return false;
    // Posted: a dialog that renders while it initialises sets its default focus afterwards.
    s->focusReturn = handler ? handler->FocusReturnWindow() : nullptr;
    if (s->focusReturn)
        PostMessageW(host, kMsgReturnFocus, 0, 0);
    return true;
}

namespace {

LRESULT CALLBACK HtmlViewHostProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    HostState *s = reinterpret_cast<HostState *>(GetWindowLongPtrW(hwnd, 0));
    switch (msg) {
    case WM_CREATE:
        return OnCreate(hwnd);
    case WM_SIZE:
        if (s)
            SizeControl(*s);
        return 0;
    case WM_NOTIFY: {
        LRESULT result = 0;
        if (s && RichTextOnNotify(s->richText, reinterpret_cast<const NMHDR *>(lParam), &result))
            return result;
        break;
    }
    case WM_CONTEXTMENU:
        // The view has no context menu, and none of the dialog's either.
        return 0;
    case WM_DESTROY:
        OnDestroy(hwnd, s);
        return 0;
    default:
        if (msg == kMsgCreateControl && s) {
            OnCreateControl(*s);
            return 0;
        }
        if (msg == kMsgReturnFocus && s) {
            OnReturnFocus(*s);
            return 0;
        }
        break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

} // namespace
