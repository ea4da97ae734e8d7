// The browser control's companion object: client site, ambient-property source, document host
// and sink of its DWebBrowserEvents2 events, in one reference-counted COM object.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <exdisp.h>
#include <mshtmdid.h>
#include <mshtmhst.h>

#include <string>

#include "tarnbeam/app/win_handles.h"

// Download-control flags the update client gives the browser: images, no scripts, no Java, no
// ActiveX controls, no cache, no dialogs, no client pull (meta refresh) and no behaviours.
const DWORD kHtmlViewDownloadControl =
    DLCTL_DLIMAGES | DLCTL_NO_SCRIPTS | DLCTL_NO_JAVA | DLCTL_NO_RUNACTIVEXCTLS | DLCTL_NO_DLACTIVEXCTLS |
    DLCTL_PRAGMA_NO_CACHE | DLCTL_SILENT | DLCTL_NO_CLIENTPULL | DLCTL_NO_BEHAVIORS;

class KWebBrowserHandler : public IOleClientSite, public IDispatch, public IDocHostUIHandler {
  public:
    // Created with no reference: the browser's references (as client site and as event sink)
    // keep it alive, and after Detach the last release frees it.
    KWebBrowserHandler();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOleClientSite: nothing to offer.
    STDMETHODIMP SaveObject() override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD whichMoniker, IMoniker **moniker) override;
    STDMETHODIMP GetContainer(IOleContainer **container) override;
    STDMETHODIMP ShowObject() override;
    STDMETHODIMP OnShowWindow(BOOL show) override;
    STDMETHODIMP RequestNewObjectLayout() override;

    virtual void Detach();
    virtual HRESULT Attach(IUnknown *browser);
    // Makes this object the browser's client site and hands it the download-control flags.
    virtual HRESULT SetClientSite(DWORD downloadControlFlags);
    virtual HRESULT ConnectEvents();
    virtual HRESULT DisconnectEvents();

    // DWebBrowserEvents2, one handler per event; the base ignores them all.
    virtual void BeforeNavigate2(IDispatch *disp, const std::wstring &url, long flags,
                                 const std::wstring &targetFrameName, const VARIANT &postData,
                                 const std::wstring &headers, bool &cancel);
    virtual void ClientToHostWindow(long &cx, long &cy);
    virtual void CommandStateChange(long command, bool enable);
    virtual void DocumentComplete(IDispatch *disp, const std::wstring &url);
    virtual void DownloadBegin();
    virtual void DownloadComplete();
    virtual void NavigateComplete2(IDispatch *disp, const std::wstring &url);
    virtual void NavigateError(IDispatch *disp, const std::wstring &url, const std::wstring &targetFrameName,
                               long statusCode, bool &cancel);
    virtual void NewWindow3(IDispatch **disp, bool &cancel, DWORD flags, const std::wstring &urlContext,
                            const std::wstring &url);
    virtual void OnFullScreen(bool fullScreen);
    virtual void OnMenuBar(bool menuBar);
    virtual void OnQuit();
    virtual void OnStatusBar(bool statusBar);
    virtual void OnTheaterMode(bool theaterMode);
    virtual void OnToolBar(bool toolBar);
    virtual void OnVisible(bool visible);
    virtual void PrintTemplateInstantiation(IDispatch *disp);
    virtual void PrintTemplateTeardown(IDispatch *disp);
    virtual void PrivacyImpactedStateChange(bool impacted);
    virtual void ProgressChange(long progress, long progressMax);
    virtual void PropertyChange(const std::wstring &property);
    virtual void SetSecureLockIcon(long secureLockIcon);
    virtual void StatusTextChange(const std::wstring &text);
    virtual void TitleChange(const std::wstring &text);
    virtual void WindowClosing(bool isChildWindow, bool &cancel);
    virtual void WindowSetHeight(long height);
    virtual void WindowSetLeft(long left);
    virtual void WindowSetResizable(bool resizable);
    virtual void WindowSetTop(long top);
    virtual void WindowSetWidth(long width);

    virtual ~KWebBrowserHandler();

    // IDispatch: the download-control ambient property, and the browser's events.
    STDMETHODIMP GetTypeInfoCount(UINT *count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo **info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID lcid, DISPID *ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params, VARIANT *result,
                        EXCEPINFO *exception, UINT *argError) override;

    // IDocHostUIHandler
    STDMETHODIMP ShowContextMenu(DWORD id, POINT *point, IUnknown *target, IDispatch *object) override;
    STDMETHODIMP GetHostInfo(DOCHOSTUIINFO *info) override;
    STDMETHODIMP ShowUI(DWORD id, IOleInPlaceActiveObject *active, IOleCommandTarget *command,
                        IOleInPlaceFrame *frame, IOleInPlaceUIWindow *doc) override;
    STDMETHODIMP HideUI() override;
    STDMETHODIMP UpdateUI() override;
    STDMETHODIMP EnableModeless(BOOL enable) override;
    STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
    STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow *window, BOOL frameWindow) override;
    STDMETHODIMP TranslateAccelerator(LPMSG msg, const GUID *group, DWORD command) override;
    STDMETHODIMP GetOptionKeyPath(LPOLESTR *key, DWORD reserved) override;
    STDMETHODIMP GetDropTarget(IDropTarget *dropTarget, IDropTarget **replacement) override;
    STDMETHODIMP GetExternal(IDispatch **external) override;
    STDMETHODIMP TranslateUrl(DWORD translate, LPWSTR url, LPWSTR *translated) override;
    STDMETHODIMP FilterDataObject(IDataObject *data, IDataObject **replacement) override;

    KWebBrowserHandler(const KWebBrowserHandler &) = delete;
    KWebBrowserHandler &operator=(const KWebBrowserHandler &) = delete;

  protected:
    ComPtr<IWebBrowser2> m_browser;
    DWORD m_downloadControl = 0;
    bool m_advised = false;
    DWORD m_cookie = 0;
    HWND m_focusReturn = nullptr;

  private:
    LONG m_refs = 0;
};

// The update client's handler: keeps the focus on the list the page was chosen from, keeps the
// view on web pages, and sends pages that ask for a new window to the user's browser.
// Navigates the browser to "about:blank".
void NavigateToBlank(IWebBrowser2 *browser);

class KMyWBHandler : public KWebBrowserHandler {
  public:
    void BeforeNavigate2(IDispatch *disp, const std::wstring &url, long flags,
                         const std::wstring &targetFrameName, const VARIANT &postData,
                         const std::wstring &headers, bool &cancel) override;
    void DocumentComplete(IDispatch *disp, const std::wstring &url) override;
    void DownloadComplete() override;
    void NavigateComplete2(IDispatch *disp, const std::wstring &url) override;
    void NewWindow3(IDispatch **disp, bool &cancel, DWORD flags, const std::wstring &urlContext,
                    const std::wstring &url) override;

    void SetFocusReturnWindow(HWND window) { m_focusReturn = window; }
    HWND FocusReturnWindow() const { return m_focusReturn; }
    // The main dialog: owner of what opens links in the user's browser.
    void SetOwnerWindow(HWND window) { m_owner = window; }
    HWND OwnerWindow() const { return m_owner; }

    // Writes `text` into the browser's document, replacing what it showed; false when the
    // browser has no document to write into.
    bool ShowHtmlText(IWebBrowser2 *browser, const std::wstring &text);

  private:
    void ReturnFocus();

    HWND m_owner = nullptr;
};
