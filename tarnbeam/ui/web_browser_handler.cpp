#include "tarnbeam/ui/web_browser_handler.h"

#include <exdispid.h>
#include <mshtml.h>
#include <mshtmdid.h>

#include <iterator>

#include "tarnbeam/ui/link_policy.h"

namespace {

// A copy of an argument's value with every reference followed; cleared on scope exit.
class PlainValue {
  public:
    explicit PlainValue(const VARIANT &source) {
        VariantInit(&m_value);
        VariantCopyInd(&m_value, const_cast<VARIANT *>(&source));
    }
    ~PlainValue() { VariantClear(&m_value); }
    PlainValue(const PlainValue &) = delete;
    PlainValue &operator=(const PlainValue &) = delete;

    // The value as type `vt`, or false when it cannot be converted.
    bool As(VARTYPE vt) { return SUCCEEDED(VariantChangeType(&m_value, &m_value, 0, vt)); }
    VARIANT &get() { return m_value; }

  private:
    VARIANT m_value;
};

// The arguments of one event. DISPPARAMS holds them last first; positions here count in the
// order the event declares them.
class EventArgs {
  public:
    explicit EventArgs(const DISPPARAMS &params) : m_params(params) {}

    UINT Count() const { return m_params.cArgs; }

    // The argument itself, or what a VARIANT reference points to.
    const VARIANT &Value(UINT position) const {
        const VARIANT &v = m_params.rgvarg[m_params.cArgs - 1 - position];
        if (V_VT(&v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&v))
            return *V_VARIANTREF(&v);
        return v;
    }
    std::wstring Text(UINT position) const {
        PlainValue value(Value(position));
        if (!value.As(VT_BSTR) || !V_BSTR(&value.get()))
            return std::wstring();
        return std::wstring(V_BSTR(&value.get()), SysStringLen(V_BSTR(&value.get())));
    }
    long Number(UINT position) const {
        PlainValue value(Value(position));
        return value.As(VT_I4) ? V_I4(&value.get()) : 0;
    }
    bool Flag(UINT position) const {
        PlainValue value(Value(position));
        return value.As(VT_BOOL) && V_BOOL(&value.get()) != VARIANT_FALSE;
    }
    IDispatch *Dispatch(UINT position) const {
        const VARIANT &v = Value(position);
        if (V_VT(&v) == VT_DISPATCH)
            return V_DISPATCH(&v);
        if (V_VT(&v) == (VT_BYREF | VT_DISPATCH) && V_DISPATCHREF(&v))
            return *V_DISPATCHREF(&v);
        return nullptr;
    }
    IDispatch **DispatchOut(UINT position) const {
        const VARIANT &v = Value(position);
        return V_VT(&v) == (VT_BYREF | VT_DISPATCH) ? V_DISPATCHREF(&v) : nullptr;
    }
    // Reads an out-parameter flag such as Cancel; false when there is none.
    bool FlagOut(UINT position) const {
        VARIANT_BOOL *out = BoolRef(position);
        return out && *out != VARIANT_FALSE;
    }
    void SetFlagOut(UINT position, bool value) const {
        if (VARIANT_BOOL *out = BoolRef(position))
            *out = value ? VARIANT_TRUE : VARIANT_FALSE;
    }
    long NumberOut(UINT position) const {
        long *out = NumberRef(position);
        return out ? *out : 0;
    }
    void SetNumberOut(UINT position, long value) const {
        if (long *out = NumberRef(position))
            *out = value;
    }

  private:
    VARIANT_BOOL *BoolRef(UINT position) const {
        const VARIANT &v = Value(position);
        return V_VT(&v) == (VT_BYREF | VT_BOOL) ? V_BOOLREF(&v) : nullptr;
    }
    long *NumberRef(UINT position) const {
        const VARIANT &v = Value(position);
        return V_VT(&v) == (VT_BYREF | VT_I4) ? V_I4REF(&v) : nullptr;
    }

    const DISPPARAMS &m_params;
};

using EventCall = void (*)(KWebBrowserHandler &handler, const EventArgs &args);

struct EventBinding {
    DISPID id;
    UINT argCount;
    EventCall call;
};

// DWebBrowserEvents2, in the order of the handlers.
const EventBinding kEventMap[] = {
    {DISPID_BEFORENAVIGATE2, 7,
     [](KWebBrowserHandler &h, const EventArgs &a) {
         bool cancel = a.FlagOut(6);
         h.BeforeNavigate2(a.Dispatch(0), a.Text(1), a.Number(2), a.Text(3), a.Value(4), a.Text(5), cancel);
         a.SetFlagOut(6, cancel);
     }},
    {DISPID_CLIENTTOHOSTWINDOW, 2,
     [](KWebBrowserHandler &h, const EventArgs &a) {
         long cx = a.NumberOut(0);
         long cy = a.NumberOut(1);
         h.ClientToHostWindow(cx, cy);
         a.SetNumberOut(0, cx);
         a.SetNumberOut(1, cy);
     }},
    {DISPID_COMMANDSTATECHANGE, 2,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.CommandStateChange(a.Number(0), a.Flag(1)); }},
    {DISPID_DOCUMENTCOMPLETE, 2,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.DocumentComplete(a.Dispatch(0), a.Text(1)); }},
    {DISPID_DOWNLOADBEGIN, 0, [](KWebBrowserHandler &h, const EventArgs &) { h.DownloadBegin(); }},
    {DISPID_DOWNLOADCOMPLETE, 0, [](KWebBrowserHandler &h, const EventArgs &) { h.DownloadComplete(); }},
    {DISPID_NAVIGATECOMPLETE2, 2,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.NavigateComplete2(a.Dispatch(0), a.Text(1)); }},
    {DISPID_NAVIGATEERROR, 5,
     [](KWebBrowserHandler &h, const EventArgs &a) {
         bool cancel = a.FlagOut(4);
         h.NavigateError(a.Dispatch(0), a.Text(1), a.Text(2), a.Number(3), cancel);
         a.SetFlagOut(4, cancel);
     }},
    {DISPID_NEWWINDOW3, 5,
     [](KWebBrowserHandler &h, const EventArgs &a) {
         bool cancel = a.FlagOut(1);
         h.NewWindow3(a.DispatchOut(0), cancel, static_cast<DWORD>(a.Number(2)), a.Text(3), a.Text(4));
         a.SetFlagOut(1, cancel);
     }},
    {DISPID_ONFULLSCREEN, 1, [](KWebBrowserHandler &h, const EventArgs &a) { h.OnFullScreen(a.Flag(0)); }},
    {DISPID_ONMENUBAR, 1, [](KWebBrowserHandler &h, const EventArgs &a) { h.OnMenuBar(a.Flag(0)); }},
    {DISPID_ONQUIT, 0, [](KWebBrowserHandler &h, const EventArgs &) { h.OnQuit(); }},
    {DISPID_ONSTATUSBAR, 1, [](KWebBrowserHandler &h, const EventArgs &a) { h.OnStatusBar(a.Flag(0)); }},
    {DISPID_ONTHEATERMODE, 1, [](KWebBrowserHandler &h, const EventArgs &a) { h.OnTheaterMode(a.Flag(0)); }},
    {DISPID_ONTOOLBAR, 1, [](KWebBrowserHandler &h, const EventArgs &a) { h.OnToolBar(a.Flag(0)); }},
    {DISPID_ONVISIBLE, 1, [](KWebBrowserHandler &h, const EventArgs &a) { h.OnVisible(a.Flag(0)); }},
    {DISPID_PRINTTEMPLATEINSTANTIATION, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.PrintTemplateInstantiation(a.Dispatch(0)); }},
    {DISPID_PRINTTEMPLATETEARDOWN, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.PrintTemplateTeardown(a.Dispatch(0)); }},
    {DISPID_PRIVACYIMPACTEDSTATECHANGE, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.PrivacyImpactedStateChange(a.Flag(0)); }},
    {DISPID_PROGRESSCHANGE, 2,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.ProgressChange(a.Number(0), a.Number(1)); }},
    {DISPID_PROPERTYCHANGE, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.PropertyChange(a.Text(0)); }},
    {DISPID_SETSECURELOCKICON, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.SetSecureLockIcon(a.Number(0)); }},
    {DISPID_STATUSTEXTCHANGE, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.StatusTextChange(a.Text(0)); }},
    {DISPID_TITLECHANGE, 1, [](KWebBrowserHandler &h, const EventArgs &a) { h.TitleChange(a.Text(0)); }},
    {DISPID_WINDOWCLOSING, 2,
     [](KWebBrowserHandler &h, const EventArgs &a) {
         bool cancel = a.FlagOut(1);
         h.WindowClosing(a.Flag(0), cancel);
         a.SetFlagOut(1, cancel);
     }},
    {DISPID_WINDOWSETHEIGHT, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.WindowSetHeight(a.Number(0)); }},
    {DISPID_WINDOWSETLEFT, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.WindowSetLeft(a.Number(0)); }},
    {DISPID_WINDOWSETRESIZABLE, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.WindowSetResizable(a.Flag(0)); }},
    {DISPID_WINDOWSETTOP, 1, [](KWebBrowserHandler &h, const EventArgs &a) { h.WindowSetTop(a.Number(0)); }},
    {DISPID_WINDOWSETWIDTH, 1,
     [](KWebBrowserHandler &h, const EventArgs &a) { h.WindowSetWidth(a.Number(0)); }},
};
static_assert(std::size(kEventMap) == 30, "one binding per DWebBrowserEvents2 event");

const DISPID kNewWindow2 = 251; // superseded by NewWindow3, which arrives as well

} // namespace

KWebBrowserHandler::KWebBrowserHandler() = default;
KWebBrowserHandler::~KWebBrowserHandler() = default;

STDMETHODIMP KWebBrowserHandler::QueryInterface(REFIID riid, void **object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOleClientSite)
        *object = static_cast<IOleClientSite *>(this);
    else if (riid == IID_IDispatch || riid == DIID_DWebBrowserEvents2)
        *object = static_cast<IDispatch *>(this);
    else if (riid == IID_IDocHostUIHandler)
        *object = static_cast<IDocHostUIHandler *>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) KWebBrowserHandler::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&m_refs));
}

STDMETHODIMP_(ULONG) KWebBrowserHandler::Release() {
    LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0)
        delete this;
    return static_cast<ULONG>(refs);
}

STDMETHODIMP KWebBrowserHandler::SaveObject() {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::GetMoniker(DWORD, DWORD, IMoniker **) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::GetContainer(IOleContainer **) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::ShowObject() {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::OnShowWindow(BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::RequestNewObjectLayout() {
    return E_NOTIMPL;
}

// Unadvising may drop the browser's last reference to this object: a reference of our own
// keeps it alive until the end, and the final release then frees it.
void KWebBrowserHandler::Detach() {
    AddRef();
    m_downloadControl = 0;
    DisconnectEvents();
    m_browser.reset();
    Release();
}

HRESULT KWebBrowserHandler::Attach(IUnknown *browser) {
    if (!browser)
        return E_POINTER;
    ComPtr<IWebBrowser2> webBrowser;
    HRESULT hr = browser->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void **>(webBrowser.put()));
    if (FAILED(hr))
        return hr;
    // A connection belongs to the browser it was made with: it is closed before another browser
    // is taken, under a reference of our own as in Detach.
    bool wasAdvised = m_advised;
    if (wasAdvised)
        AddRef();
    if (m_browser.get() != webBrowser.get()) {
        DisconnectEvents();
        m_browser = webBrowser;
    }
    hr = ConnectEvents();
    if (wasAdvised)
        Release();
    return hr;
}

HRESULT KWebBrowserHandler::SetClientSite(DWORD downloadControlFlags) {
    if (!m_browser)
        return E_UNEXPECTED;
    ComPtr<IOleObject> object = m_browser.as<IOleObject>();
    if (!object)
        return E_NOINTERFACE;
    HRESULT hr = object->SetClientSite(static_cast<IOleClientSite *>(this));
    ComPtr<IOleControl> control = m_browser.as<IOleControl>();
    if (!control)
        return E_NOINTERFACE;
    m_downloadControl = downloadControlFlags;
    hr = control->OnAmbientPropertyChange(DISPID_AMBIENT_DLCONTROL);
    return hr;
}

HRESULT KWebBrowserHandler::ConnectEvents() {
    if (!m_browser)
        return E_UNEXPECTED;
    // Only a connected object can lose a reference here; a new one (count 0) must not be freed
    // by a failed Advise, since its creator still holds it.
    bool wasAdvised = m_advised;
    if (wasAdvised) {
        AddRef();
        DisconnectEvents();
    }
    HRESULT hr = E_NOINTERFACE;
    ComPtr<IConnectionPoint> point;
    if (ComPtr<IConnectionPointContainer> container = m_browser.as<IConnectionPointContainer>())
        hr = container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.put());
    if (SUCCEEDED(hr)) {
        DWORD cookie = 0;
        hr = point->Advise(static_cast<IDispatch *>(this), &cookie);
        if (SUCCEEDED(hr)) {
            m_advised = true;
            m_cookie = cookie;
        }
    }
    if (wasAdvised)
        Release();
    return hr;
}

HRESULT KWebBrowserHandler::DisconnectEvents() {
    if (!m_advised)
        return S_FALSE;
    DWORD cookie = m_cookie;
    m_advised = false;
    m_cookie = 0;
    HRESULT hr = E_NOINTERFACE;
    ComPtr<IConnectionPoint> point;
    if (ComPtr<IConnectionPointContainer> container = m_browser.as<IConnectionPointContainer>())
        hr = container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.put());
    if (SUCCEEDED(hr))
        hr = point->Unadvise(cookie);
    return hr;
}

void KWebBrowserHandler::BeforeNavigate2(IDispatch *, const std::wstring &, long, const std::wstring &,
                                         const VARIANT &, const std::wstring &, bool &) {}
void KWebBrowserHandler::ClientToHostWindow(long &, long &) {}
void KWebBrowserHandler::CommandStateChange(long, bool) {}
void KWebBrowserHandler::DocumentComplete(IDispatch *, const std::wstring &) {}
void KWebBrowserHandler::DownloadBegin() {}
void KWebBrowserHandler::DownloadComplete() {}
void KWebBrowserHandler::NavigateComplete2(IDispatch *, const std::wstring &) {}
void KWebBrowserHandler::NavigateError(IDispatch *, const std::wstring &, const std::wstring &, long,
                                       bool &) {}
void KWebBrowserHandler::NewWindow3(IDispatch **, bool &, DWORD, const std::wstring &, const std::wstring &) {
}
void KWebBrowserHandler::OnFullScreen(bool) {}
void KWebBrowserHandler::OnMenuBar(bool) {}
// The browser is going away: its connection with it.
void KWebBrowserHandler::OnQuit() {
    DisconnectEvents();
}
void KWebBrowserHandler::OnStatusBar(bool) {}
void KWebBrowserHandler::OnTheaterMode(bool) {}
void KWebBrowserHandler::OnToolBar(bool) {}
void KWebBrowserHandler::OnVisible(bool) {}
void KWebBrowserHandler::PrintTemplateInstantiation(IDispatch *) {}
void KWebBrowserHandler::PrintTemplateTeardown(IDispatch *) {}
void KWebBrowserHandler::PrivacyImpactedStateChange(bool) {}
void KWebBrowserHandler::ProgressChange(long, long) {}
void KWebBrowserHandler::PropertyChange(const std::wstring &) {}
void KWebBrowserHandler::SetSecureLockIcon(long) {}
void KWebBrowserHandler::StatusTextChange(const std::wstring &) {}
void KWebBrowserHandler::TitleChange(const std::wstring &) {}
void KWebBrowserHandler::WindowClosing(bool, bool &) {}
void KWebBrowserHandler::WindowSetHeight(long) {}
void KWebBrowserHandler::WindowSetLeft(long) {}
void KWebBrowserHandler::WindowSetResizable(bool) {}
void KWebBrowserHandler::WindowSetTop(long) {}
void KWebBrowserHandler::WindowSetWidth(long) {}

STDMETHODIMP KWebBrowserHandler::GetTypeInfoCount(UINT *count) {
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP KWebBrowserHandler::GetTypeInfo(UINT, LCID, ITypeInfo **) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) {
    return E_NOTIMPL;
}

STDMETHODIMP KWebBrowserHandler::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS *params, VARIANT *result,
                                        EXCEPINFO *, UINT *) {
    if (id == DISPID_AMBIENT_DLCONTROL) {
        if (result) {
            VariantInit(result);
            V_VT(result) = VT_I4;
            V_I4(result) = static_cast<LONG>(m_downloadControl);
        }
        return S_OK;
    }
    if (id == kNewWindow2)
        return S_OK;
    for (const EventBinding &binding : kEventMap) {
        if (binding.id != id)
            continue;
        const DISPPARAMS none = {nullptr, nullptr, 0, 0};
        const DISPPARAMS &given = params ? *params : none;
        if (given.cArgs < binding.argCount)
            return DISP_E_BADPARAMCOUNT;
        // A handler may drop the browser's last reference to this object (OnQuit unadvises).
        AddRef();
        binding.call(*this, EventArgs(given));
        Release();
        return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
}

// No context menu of the browser's own.
STDMETHODIMP KWebBrowserHandler::ShowContextMenu(DWORD, POINT *, IUnknown *, IDispatch *) {
    return S_OK;
}

// The dialog paints the frame; the view follows the visual theme.
STDMETHODIMP KWebBrowserHandler::GetHostInfo(DOCHOSTUIINFO *info) {
    if (!info)
        return E_POINTER;
    info->dwFlags |= DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_THEME;
    return S_OK;
}

STDMETHODIMP KWebBrowserHandler::ShowUI(DWORD, IOleInPlaceActiveObject *, IOleCommandTarget *,
                                        IOleInPlaceFrame *, IOleInPlaceUIWindow *) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::HideUI() {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::UpdateUI() {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::EnableModeless(BOOL) {
    return S_OK;
}
STDMETHODIMP KWebBrowserHandler::OnDocWindowActivate(BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::OnFrameWindowActivate(BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::ResizeBorder(LPCRECT, IOleInPlaceUIWindow *, BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::TranslateAccelerator(LPMSG, const GUID *, DWORD) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::GetOptionKeyPath(LPOLESTR *, DWORD) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::GetDropTarget(IDropTarget *, IDropTarget **) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::GetExternal(IDispatch **) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::TranslateUrl(DWORD, LPWSTR, LPWSTR *) {
    return E_NOTIMPL;
}
STDMETHODIMP KWebBrowserHandler::FilterDataObject(IDataObject *, IDataObject **) {
    return E_NOTIMPL;
}

void KMyWBHandler::ReturnFocus() {
    if (m_focusReturn && IsWindow(m_focusReturn))
        SetFocus(m_focusReturn);
}

void KMyWBHandler::DocumentComplete(IDispatch *, const std::wstring &) {
    ReturnFocus();
}
void KMyWBHandler::DownloadComplete() {
    ReturnFocus();
}
void KMyWBHandler::NavigateComplete2(IDispatch *, const std::wstring &) {
    ReturnFocus();
}

// Pages navigate in place only to web pages: a description cannot take the view to a file, a
// share, a script or any other protocol, in the view itself or in one of its frames.
void KMyWBHandler::BeforeNavigate2(IDispatch *, const std::wstring &url, long, const std::wstring &,
                                   const VARIANT &, const std::wstring &, bool &cancel) {
    cancel = !NavigatesInPlace(url);
}

// The view never opens a window of its own: a web or mail address goes to the user's program for
// it, anything else nowhere. A failure there is not reported.
void KMyWBHandler::NewWindow3(IDispatch **, bool &cancel, DWORD, const std::wstring &,
                              const std::wstring &url) {
    OpenLinkOutside(m_owner, url);
    cancel = true;
}

void NavigateToBlank(IWebBrowser2 *browser) {
    BstrHandle blank(SysAllocString(L"about:blank"));
    VARIANT empty;
    VariantInit(&empty);
    if (browser && blank)
        browser->Navigate(blank.get(), &empty, &empty, &empty, &empty);
}

bool KMyWBHandler::ShowHtmlText(IWebBrowser2 *browser, const std::wstring &text) {
    if (!browser)
        return false;
    ComPtr<IDispatch> document;
    browser->get_Document(document.put());
    if (!document) {
        NavigateToBlank(browser);
        browser->get_Document(document.put());
        if (!document)
            return false;
    }
    ComPtr<IHTMLDocument2> html = document.as<IHTMLDocument2>();
    if (!html)
        return false;

    html->close();
    BstrHandle type(SysAllocString(L"text/html"));
    BstrHandle self(SysAllocString(L"_self"));
    VARIANT name;
    VariantInit(&name);
    V_VT(&name) = VT_BSTR;
    V_BSTR(&name) = self.get();
    VARIANT features;
    VariantInit(&features);
    VARIANT replace;
    VariantInit(&replace);
    ComPtr<IDispatch> opened;
    if (SUCCEEDED(html->open(type.get(), name, features, replace, opened.put())))
        browser->Refresh();

    // The array owns the string: destroying it frees both.
    SafeArrayHandle lines(SafeArrayCreateVector(VT_VARIANT, 0, 1));
    if (!lines)
        return false;
    VARIANT *element = nullptr;
    if (FAILED(SafeArrayAccessData(lines.get(), reinterpret_cast<void **>(&element))))
        return false;
    V_VT(element) = VT_BSTR;
    V_BSTR(element) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    SafeArrayUnaccessData(lines.get());
    html->write(lines.get());
    // Left open: the next text closes it first.
    return true;
}
