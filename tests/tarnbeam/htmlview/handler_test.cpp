// Browser handler: wrong COM answers (interfaces, reference counting, the download-control
// ambient property, the document-host table), events bound to the wrong handler or read in the
// wrong argument order, Cancel not written back, new windows not sent to the system's handler or
// sent there for addresses that are no web or mail address, navigation in place to anything but
// web pages, the focus not handed back, and OnQuit leaving the connection open.
#include "tarnbeam/ui/web_browser_handler.h"

#include <exdisp.h>
#include <mshtmdid.h>
#include <mshtmhst.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tarnbeam/app/win_handles.h"
#include "tests/tarnbeam/htmlview/view_test_util.h"

namespace {

std::wstring N(long value) {
    return std::to_wstring(value);
}
std::wstring B(bool value) {
    return value ? L"true" : L"false";
}

// Records every event it gets as one line: its name and its arguments.
class RecordingHandler : public KWebBrowserHandler {
  public:
    explicit RecordingHandler(int *destroyed = nullptr) : m_destroyed(destroyed) {}
    ~RecordingHandler() override {
        if (m_destroyed)
            ++*m_destroyed;
    }

    std::vector<std::wstring> calls;
    bool cancelAnswer = false;

    void BeforeNavigate2(IDispatch *, const std::wstring &url, long flags, const std::wstring &frame,
                         const VARIANT &postData, const std::wstring &headers, bool &cancel) override {
        calls.push_back(L"BeforeNavigate2 " + url + L" " + N(flags) + L" " + frame + L" " +
                        N(V_VT(&postData)) + L" " + headers + L" " + B(cancel));
        cancel = cancelAnswer;
    }
    void ClientToHostWindow(long &cx, long &cy) override {
        calls.push_back(L"ClientToHostWindow " + N(cx) + L" " + N(cy));
        cx = 640;
        cy = 480;
    }
    void CommandStateChange(long command, bool enable) override {
        calls.push_back(L"CommandStateChange " + N(command) + L" " + B(enable));
    }
    void DocumentComplete(IDispatch *, const std::wstring &url) override {
        calls.push_back(L"DocumentComplete " + url);
    }
    void DownloadBegin() override { calls.push_back(L"DownloadBegin"); }
    void DownloadComplete() override { calls.push_back(L"DownloadComplete"); }
    void NavigateComplete2(IDispatch *, const std::wstring &url) override {
        calls.push_back(L"NavigateComplete2 " + url);
    }
    void NavigateError(IDispatch *, const std::wstring &url, const std::wstring &frame, long status,
                       bool &cancel) override {
        calls.push_back(L"NavigateError " + url + L" " + frame + L" " + N(status) + L" " + B(cancel));
        cancel = cancelAnswer;
    }
    void NewWindow3(IDispatch **disp, bool &cancel, DWORD flags, const std::wstring &context,
                    const std::wstring &url) override {
        calls.push_back(L"NewWindow3 " + B(disp != nullptr) + L" " + B(cancel) + L" " +
                        N(static_cast<long>(flags)) + L" " + context + L" " + url);
        cancel = cancelAnswer;
    }
    void OnFullScreen(bool on) override { calls.push_back(L"OnFullScreen " + B(on)); }
    void OnMenuBar(bool on) override { calls.push_back(L"OnMenuBar " + B(on)); }
    void OnQuit() override {
        calls.push_back(L"OnQuit");
        KWebBrowserHandler::OnQuit();
    }
    void OnStatusBar(bool on) override { calls.push_back(L"OnStatusBar " + B(on)); }
    void OnTheaterMode(bool on) override { calls.push_back(L"OnTheaterMode " + B(on)); }
    void OnToolBar(bool on) override { calls.push_back(L"OnToolBar " + B(on)); }
    void OnVisible(bool on) override { calls.push_back(L"OnVisible " + B(on)); }
    void PrintTemplateInstantiation(IDispatch *) override { calls.push_back(L"PrintTemplateInstantiation"); }
    void PrintTemplateTeardown(IDispatch *) override { calls.push_back(L"PrintTemplateTeardown"); }
    void PrivacyImpactedStateChange(bool on) override {
        calls.push_back(L"PrivacyImpactedStateChange " + B(on));
    }
    void ProgressChange(long progress, long max) override {
        calls.push_back(L"ProgressChange " + N(progress) + L" " + N(max));
    }
    void PropertyChange(const std::wstring &property) override {
        calls.push_back(L"PropertyChange " + property);
    }
    void SetSecureLockIcon(long icon) override { calls.push_back(L"SetSecureLockIcon " + N(icon)); }
    void StatusTextChange(const std::wstring &text) override { calls.push_back(L"StatusTextChange " + text); }
    void TitleChange(const std::wstring &text) override { calls.push_back(L"TitleChange " + text); }
    void WindowClosing(bool child, bool &cancel) override {
        calls.push_back(L"WindowClosing " + B(child) + L" " + B(cancel));
        cancel = cancelAnswer;
    }
    void WindowSetHeight(long v) override { calls.push_back(L"WindowSetHeight " + N(v)); }
    void WindowSetLeft(long v) override { calls.push_back(L"WindowSetLeft " + N(v)); }
    void WindowSetResizable(bool on) override { calls.push_back(L"WindowSetResizable " + B(on)); }
    void WindowSetTop(long v) override { calls.push_back(L"WindowSetTop " + N(v)); }
    void WindowSetWidth(long v) override { calls.push_back(L"WindowSetWidth " + N(v)); }

  private:
    int *m_destroyed;
};

// A handler of the update client whose destruction is counted.
class CountedHandler : public KMyWBHandler {
  public:
    explicit CountedHandler(int *destroyed) : m_destroyed(destroyed) {}
    ~CountedHandler() override { ++*m_destroyed; }
    int beforeNavigate = 0;
    void BeforeNavigate2(IDispatch *, const std::wstring &, long, const std::wstring &, const VARIANT &,
                         const std::wstring &, bool &) override {
        ++beforeNavigate;
    }

  private:
    int *m_destroyed;
};

// The first reference to a new handler (created with none).
template <class T> ComPtr<T> Hold(T *handler) {
    handler->AddRef();
    return ComPtr<T>(handler);
}

IDispatch *AsDispatch(KWebBrowserHandler *handler) {
    return static_cast<IDispatch *>(handler);
}

ComPtr<IWebBrowser2> NewBrowser() {
    ComPtr<IWebBrowser2> browser;
    CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IWebBrowser2,
                     reinterpret_cast<void **>(browser.put()));
    return browser;
}

void NavigateBlank(IWebBrowser2 *browser) {
    BSTR url = SysAllocString(L"about:blank");
    VARIANT empty;
    VariantInit(&empty);
    browser->Navigate(url, &empty, &empty, &empty, &empty);
    SysFreeString(url);
}

VARIANT AmbientDownloadControl(KWebBrowserHandler *handler) {
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    AsDispatch(handler)->Invoke(DISPID_AMBIENT_DLCONTROL, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                &none, &result, nullptr, nullptr);
    return result;
}

class Handler : public ::testing::Test {
  protected:
    OleSession m_ole;
};

TEST_F(Handler, AnswersItsFiveInterfacesAndNoOther) {
    ComPtr<RecordingHandler> handler = Hold(new RecordingHandler);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(handler->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(identity.put())), S_OK);
    for (const IID *iid :
         {&IID_IOleClientSite, &IID_IDispatch, &IID_IDocHostUIHandler, &DIID_DWebBrowserEvents2}) {
        ComPtr<IUnknown> answer;
        EXPECT_EQ(handler->QueryInterface(*iid, reinterpret_cast<void **>(answer.put())), S_OK);
        ASSERT_TRUE(answer);
        ComPtr<IUnknown> again;
        answer->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(again.put()));
        EXPECT_EQ(again.get(), identity.get());
    }
    for (const IID *iid :
         {&IID_IOleInPlaceSite, &IID_IOleCommandTarget, &IID_IOleWindow, &IID_IServiceProvider}) {
        void *answer = reinterpret_cast<void *>(1);
        EXPECT_EQ(handler->QueryInterface(*iid, &answer), E_NOINTERFACE);
        EXPECT_EQ(answer, nullptr);
    }
}

TEST_F(Handler, FreedByTheLastRelease) {
    int destroyed = 0;
    RecordingHandler *handler = new RecordingHandler(&destroyed);
    IDocHostUIHandler *host = nullptr;
    ASSERT_EQ(handler->QueryInterface(IID_IDocHostUIHandler, reinterpret_cast<void **>(&host)), S_OK);
    EXPECT_EQ(handler->AddRef(), 2u);
    EXPECT_EQ(handler->Release(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(host->Release(), 0u);
    EXPECT_EQ(destroyed, 1);
}

// The event connection is the only reference: Detach closes it, and that frees the handler.
TEST_F(Handler, DetachFreesAHandlerOnlyTheConnectionHeld) {
    ComPtr<IWebBrowser2> browser = NewBrowser();
    ASSERT_TRUE(browser);
    int destroyed = 0;
    CountedHandler *handler = new CountedHandler(&destroyed);
    ASSERT_EQ(handler->Attach(browser.get()), S_OK);
    EXPECT_EQ(destroyed, 0);
    handler->Detach();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(Handler, AmbientDownloadControlIsTheStoredFlags) {
    ComPtr<IWebBrowser2> browser = NewBrowser();
    ASSERT_TRUE(browser);
    int destroyed = 0;
    ComPtr<CountedHandler> handler = Hold(new CountedHandler(&destroyed));
    VARIANT before = AmbientDownloadControl(handler.get());
    EXPECT_EQ(V_VT(&before), VT_I4);
    EXPECT_EQ(V_I4(&before), 0);

    EXPECT_EQ(handler->SetClientSite(kHtmlViewDownloadControl), E_UNEXPECTED); // no browser yet
    ASSERT_EQ(handler->Attach(browser.get()), S_OK);
    ASSERT_EQ(handler->SetClientSite(kHtmlViewDownloadControl), S_OK);
    VARIANT after = AmbientDownloadControl(handler.get());
    EXPECT_EQ(V_VT(&after), VT_I4);
    EXPECT_EQ(static_cast<DWORD>(V_I4(&after)), 0x6000C790u); // with no client pull and no behaviours
    ComPtr<IOleClientSite> site;
    ASSERT_EQ(browser.as<IOleObject>()->GetClientSite(site.put()), S_OK);
    EXPECT_EQ(site.get(), static_cast<IOleClientSite *>(handler.get()));

    handler->Detach();
    VARIANT detached = AmbientDownloadControl(handler.get());
    EXPECT_EQ(V_I4(&detached), 0);
    browser.as<IOleObject>()->SetClientSite(nullptr);
    site.reset();
    browser.reset();
    EXPECT_EQ(destroyed, 0); // the test still holds it
    handler.reset();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(Handler, DispatchHasNoTypeInformation) {
    ComPtr<RecordingHandler> handler = Hold(new RecordingHandler);
    UINT count = 7;
    EXPECT_EQ(handler->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    ITypeInfo *info = nullptr;
    EXPECT_EQ(handler->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), E_NOTIMPL);
    LPOLESTR name = const_cast<LPOLESTR>(L"Navigate");
    DISPID id = 0;
    EXPECT_EQ(handler->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), E_NOTIMPL);
}

TEST_F(Handler, ClientSiteAndDocumentHostAnswers) {
    ComPtr<RecordingHandler> handler = Hold(new RecordingHandler);
    IOleClientSite *site = handler.get();
    EXPECT_EQ(site->SaveObject(), E_NOTIMPL);
    IMoniker *moniker = nullptr;
    EXPECT_EQ(site->GetMoniker(OLEGETMONIKER_ONLYIFTHERE, OLEWHICHMK_CONTAINER, &moniker), E_NOTIMPL);
    IOleContainer *container = nullptr;
    EXPECT_EQ(site->GetContainer(&container), E_NOTIMPL);
    EXPECT_EQ(site->ShowObject(), E_NOTIMPL);
    EXPECT_EQ(site->OnShowWindow(TRUE), E_NOTIMPL);
    EXPECT_EQ(site->RequestNewObjectLayout(), E_NOTIMPL);

    IDocHostUIHandler *host = handler.get();
    POINT point = {10, 10};
    EXPECT_EQ(host->ShowContextMenu(CONTEXT_MENU_DEFAULT, &point, nullptr, nullptr), S_OK);
    DOCHOSTUIINFO info = {};
    info.cbSize = sizeof info;
    info.dwFlags = DOCHOSTUIFLAG_DIALOG;
    EXPECT_EQ(host->GetHostInfo(&info), S_OK);
    EXPECT_EQ(info.dwFlags,
              static_cast<DWORD>(DOCHOSTUIFLAG_DIALOG | DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_THEME));
    EXPECT_EQ(host->EnableModeless(TRUE), S_OK);
    EXPECT_EQ(host->ShowUI(DOCHOSTUITYPE_BROWSE, nullptr, nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(host->HideUI(), E_NOTIMPL);
    EXPECT_EQ(host->UpdateUI(), E_NOTIMPL);
    EXPECT_EQ(host->OnDocWindowActivate(TRUE), E_NOTIMPL);
    EXPECT_EQ(host->OnFrameWindowActivate(TRUE), E_NOTIMPL);
    RECT border = {};
    EXPECT_EQ(host->ResizeBorder(&border, nullptr, TRUE), E_NOTIMPL);
    MSG msg = {};
    EXPECT_EQ(host->TranslateAccelerator(&msg, nullptr, 0), E_NOTIMPL);
    LPOLESTR key = nullptr;
    EXPECT_EQ(host->GetOptionKeyPath(&key, 0), E_NOTIMPL);
    IDropTarget *drop = nullptr;
    EXPECT_EQ(host->GetDropTarget(nullptr, &drop), E_NOTIMPL);
    IDispatch *external = nullptr;
    EXPECT_EQ(host->GetExternal(&external), E_NOTIMPL);
    LPWSTR translated = nullptr;
    EXPECT_EQ(host->TranslateUrl(0, const_cast<LPWSTR>(L"http://a.test/"), &translated), E_NOTIMPL);
    IDataObject *data = nullptr;
    EXPECT_EQ(host->FilterDataObject(nullptr, &data), E_NOTIMPL);
}

struct EventCase {
    DISPID id;
    void (*build)(EventArgList &args);
    const wchar_t *expected;
};

// Every event of DWebBrowserEvents2 in the handlers' order, with arguments of the types the
// browser sends; VARIANT* arguments come as references.
const EventCase kEvents[] = {
    {250,
     [](EventArgList &a) {
         a.Dispatch(nullptr)
             .TextRef(L"http://a.test/x")
             .NumberRef(4)
             .TextRef(L"frame")
             .TextRef(L"")
             .TextRef(L"Accept: */*")
             .BoolOut(VARIANT_FALSE);
     },
     L"BeforeNavigate2 http://a.test/x 4 frame 8 Accept: */* false"},
    {268, [](EventArgList &a) { a.LongOut(100).LongOut(200); }, L"ClientToHostWindow 100 200"},
    {105, [](EventArgList &a) { a.Number(2).Flag(true); }, L"CommandStateChange 2 true"},
    {259, [](EventArgList &a) { a.Dispatch(nullptr).TextRef(L"about:blank"); },
     L"DocumentComplete about:blank"},
    {106, [](EventArgList &) {}, L"DownloadBegin"},
    {104, [](EventArgList &) {}, L"DownloadComplete"},
    {252, [](EventArgList &a) { a.Dispatch(nullptr).TextRef(L"http://b.test/"); },
     L"NavigateComplete2 http://b.test/"},
    {271,
     [](EventArgList &a) {
         a.Dispatch(nullptr).TextRef(L"http://c.test/").TextRef(L"main").NumberRef(404).BoolOut(VARIANT_TRUE);
     },
     L"NavigateError http://c.test/ main 404 true"},
    {273,
     [](EventArgList &a) {
         a.DispatchOut().BoolOut(VARIANT_FALSE).Number(6).Text(L"http://ctx.test/").Text(L"http://new.test/");
     },
     L"NewWindow3 true false 6 http://ctx.test/ http://new.test/"},
    {258, [](EventArgList &a) { a.Flag(true); }, L"OnFullScreen true"},
    {256, [](EventArgList &a) { a.Flag(false); }, L"OnMenuBar false"},
    {253, [](EventArgList &) {}, L"OnQuit"},
    {257, [](EventArgList &a) { a.Flag(true); }, L"OnStatusBar true"},
    {260, [](EventArgList &a) { a.Flag(false); }, L"OnTheaterMode false"},
    {255, [](EventArgList &a) { a.Flag(true); }, L"OnToolBar true"},
    {254, [](EventArgList &a) { a.Flag(false); }, L"OnVisible false"},
    {225, [](EventArgList &a) { a.Dispatch(nullptr); }, L"PrintTemplateInstantiation"},
    {226, [](EventArgList &a) { a.Dispatch(nullptr); }, L"PrintTemplateTeardown"},
    {272, [](EventArgList &a) { a.Flag(true); }, L"PrivacyImpactedStateChange true"},
    {108, [](EventArgList &a) { a.Number(30).Number(100); }, L"ProgressChange 30 100"},
    {112, [](EventArgList &a) { a.Text(L"prop"); }, L"PropertyChange prop"},
    {269, [](EventArgList &a) { a.Number(3); }, L"SetSecureLockIcon 3"},
    {102, [](EventArgList &a) { a.Text(L"Done"); }, L"StatusTextChange Done"},
    {113, [](EventArgList &a) { a.Text(L"News"); }, L"TitleChange News"},
    {263, [](EventArgList &a) { a.Flag(true).BoolOut(VARIANT_FALSE); }, L"WindowClosing true false"},
    {267, [](EventArgList &a) { a.Number(480); }, L"WindowSetHeight 480"},
    {264, [](EventArgList &a) { a.Number(10); }, L"WindowSetLeft 10"},
    {262, [](EventArgList &a) { a.Flag(false); }, L"WindowSetResizable false"},
    {265, [](EventArgList &a) { a.Number(20); }, L"WindowSetTop 20"},
    {266, [](EventArgList &a) { a.Number(640); }, L"WindowSetWidth 640"},
};

TEST_F(Handler, EveryEventReachesItsHandlerWithItsArguments) {
    ComPtr<RecordingHandler> handler = Hold(new RecordingHandler);
    for (const EventCase &event : kEvents) {
        handler->calls.clear();
        EventArgList args;
        event.build(args);
        EXPECT_EQ(args.InvokeOn(AsDispatch(handler.get()), event.id), S_OK) << event.id;
        ASSERT_EQ(handler->calls.size(), 1u) << event.id;
        EXPECT_EQ(handler->calls[0], event.expected) << event.id;
    }
}

TEST_F(Handler, OutParametersAreWrittenBack) {
    ComPtr<RecordingHandler> handler = Hold(new RecordingHandler);
    for (bool answer : {true, false}) {
        handler->cancelAnswer = answer;
        VARIANT_BOOL expected = answer ? VARIANT_TRUE : VARIANT_FALSE;
        EventArgList navigate;
        navigate.Dispatch(nullptr)
            .TextRef(L"http://a.test/")
            .NumberRef(0)
            .TextRef(L"")
            .TextRef(L"")
            .TextRef(L"")
            .BoolOut(answer ? VARIANT_FALSE : VARIANT_TRUE);
        ASSERT_EQ(navigate.InvokeOn(AsDispatch(handler.get()), 250), S_OK);
        EXPECT_EQ(navigate.BoolAt(6), expected);
        EventArgList closing;
        closing.Flag(false).BoolOut(answer ? VARIANT_FALSE : VARIANT_TRUE);
        ASSERT_EQ(closing.InvokeOn(AsDispatch(handler.get()), 263), S_OK);
        EXPECT_EQ(closing.BoolAt(1), expected);
    }
    EventArgList size;
    size.LongOut(1).LongOut(2);
    ASSERT_EQ(size.InvokeOn(AsDispatch(handler.get()), 268), S_OK);
    EXPECT_EQ(size.LongAt(0), 640);
    EXPECT_EQ(size.LongAt(1), 480);
}

TEST_F(Handler, NewWindow2IsAcceptedAndIgnoredOtherIdsAreUnknown) {
    ComPtr<RecordingHandler> handler = Hold(new RecordingHandler);
    EventArgList newWindow2;
    newWindow2.DispatchOut().BoolOut(VARIANT_FALSE);
    EXPECT_EQ(newWindow2.InvokeOn(AsDispatch(handler.get()), 251), S_OK);
    EXPECT_EQ(newWindow2.BoolAt(1), VARIANT_FALSE);
    EventArgList none;
    EXPECT_EQ(none.InvokeOn(AsDispatch(handler.get()), 9999), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(none.InvokeOn(AsDispatch(handler.get()), -5502 /* ambient Silent */), DISP_E_MEMBERNOTFOUND);
    EventArgList tooFew;
    tooFew.Dispatch(nullptr);
    EXPECT_EQ(tooFew.InvokeOn(AsDispatch(handler.get()), 250), DISP_E_BADPARAMCOUNT);
    EXPECT_TRUE(handler->calls.empty());
}

// Addresses a description may link to, and whether the view lets them leave it (new window) or
// show in place (navigation).
struct LinkCase {
    const wchar_t *url;
    bool leaves;
    bool inPlace;
};
const LinkCase kLinkCases[] = {
    {L"https://example.test/new?x=1", true, true},
    {L"http://example.test/a", true, true},
    {L"mailto:support@example.test", true, false},
    {L"about:blank", false, true},
    {L"file://server/share/x.exe", false, false},
    {L"file:///C:/Windows/System32/calc.exe", false, false},
    {L"C:\\Windows\\System32\\calc.exe", false, false},
    {L"\\\\host\\share", false, false},
    {L"javascript:alert(1)", false, false},
    {L"vbscript:msgbox(1)", false, false},
    {L"res://ieframe.dll/navcancl.htm", false, false},
    {L"ms-settings:windowsupdate", false, false},
    {L"tbrecord://example.test/new", false, false},
    {L"about:config", false, false},
};

// Every new-window request is cancelled; only web and mail addresses reach the system's handler
// (here the recording program, registered for every scheme of the list that can have one).
TEST_F(Handler, NewWindowsLeaveTheViewOnlyForWebAndMailAddresses) {
    RecorderScheme recorder({L"http", L"https", L"mailto", L"ms-settings", L"tbrecord", L"vbscript"});
    ASSERT_TRUE(recorder.ok());
    int destroyed = 0;
    ComPtr<CountedHandler> handler = Hold(new CountedHandler(&destroyed));
    HWND owner =
        CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    handler->SetOwnerWindow(owner);

    std::vector<std::string> expected;
    for (const LinkCase &c : kLinkCases) {
        EventArgList args;
        args.DispatchOut()
            .BoolOut(VARIANT_FALSE)
            .Number(2 /* NWMF_USERINITED */)
            .Text(L"http://context.test/")
            .Text(c.url);
        ASSERT_EQ(args.InvokeOn(AsDispatch(handler.get()), 273), S_OK);
        EXPECT_EQ(args.BoolAt(1), VARIANT_TRUE) << c.url;
        if (c.leaves)
            expected.push_back(std::string(c.url, c.url + wcslen(c.url)));
    }
    std::vector<std::string> lines = recorder.WaitForLines(expected.size() + 1, 8000);
    ASSERT_EQ(lines.size(), expected.size());
    std::vector<std::string> opened;
    for (const std::string &line : lines)
        opened.push_back(line.substr(line.rfind(" \"") + 2, line.size() - line.rfind(" \"") - 3));
    std::sort(opened.begin(), opened.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(opened, expected);
    DestroyWindow(owner);
}

TEST_F(Handler, OnlyWebPagesAndTheBlankPageNavigateInPlace) {
    ComPtr<KMyWBHandler> handler = Hold(new KMyWBHandler);
    for (const LinkCase &c : kLinkCases) {
        EventArgList args;
        args.Dispatch(nullptr).TextRef(c.url).NumberRef(0).TextRef(L"").TextRef(L"").TextRef(L"").BoolOut(
            VARIANT_FALSE);
        ASSERT_EQ(args.InvokeOn(AsDispatch(handler.get()), 250), S_OK);
        EXPECT_EQ(args.BoolAt(6), c.inPlace ? VARIANT_FALSE : VARIANT_TRUE) << c.url;
    }
}

TEST_F(Handler, PageEventsReturnTheFocusToTheNamedWindow) {
    HWND top = CreateWindowExW(0, L"STATIC", L"focus test", WS_POPUP | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                               nullptr, nullptr, nullptr);
    HWND other =
        CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE, 0, 0, 90, 20, top, nullptr, nullptr, nullptr);
    HWND list = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | WS_VISIBLE, 100, 0, 90, 60, top, nullptr,
                                nullptr, nullptr);
    ASSERT_TRUE(top && other && list);
    int destroyed = 0;
    ComPtr<CountedHandler> handler = Hold(new CountedHandler(&destroyed));

    struct Event {
        DISPID id;
        bool returnsFocus;
    } events[] = {{259, true}, {104, true}, {252, true}, {106, false}, {102, false}};
    for (bool named : {false, true}) {
        handler->SetFocusReturnWindow(named ? list : nullptr);
        for (const Event &event : events) {
            SetFocus(other);
            ASSERT_EQ(GetFocus(), other);
            EventArgList args;
            if (event.id == 259 || event.id == 252)
                args.Dispatch(nullptr).TextRef(L"about:blank");
            else if (event.id == 102)
                args.Text(L"Done");
            ASSERT_EQ(args.InvokeOn(AsDispatch(handler.get()), event.id), S_OK);
            EXPECT_EQ(GetFocus(), named && event.returnsFocus ? list : other) << event.id;
        }
    }
    DestroyWindow(top);
}

TEST_F(Handler, OnQuitClosesTheEventConnection) {
    ComPtr<IWebBrowser2> browser = NewBrowser();
    ASSERT_TRUE(browser);
    int destroyed = 0;
    ComPtr<CountedHandler> handler = Hold(new CountedHandler(&destroyed));
    ASSERT_EQ(handler->Attach(browser.get()), S_OK);
    // The browser navigates only with a client site.
    ASSERT_EQ(handler->SetClientSite(kHtmlViewDownloadControl), S_OK);
    NavigateBlank(browser.get());
    EXPECT_GT(handler->beforeNavigate, 0);

    EventArgList none;
    ASSERT_EQ(none.InvokeOn(AsDispatch(handler.get()), 253), S_OK);
    handler->beforeNavigate = 0;
    NavigateBlank(browser.get());
    EXPECT_EQ(handler->beforeNavigate, 0);
    handler->Detach();
    browser.as<IOleObject>()->SetClientSite(nullptr);
}

} // namespace
