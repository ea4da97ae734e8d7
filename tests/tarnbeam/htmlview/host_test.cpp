// The control host with the real browser control: a control that is not created, activated in
// the host or sized with it; a second control or window from asking twice; the view lost when
// the handler becomes the control's client site; leaks at teardown (handler, control windows);
// the built-in view not taking over where the browser has no document.
#include "tarnbeam/ui/html_view_host.h"

#include <gtest/gtest.h>

#include <string>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/ui/web_browser_handler.h"
#include "tests/tarnbeam/htmlview/view_test_util.h"

namespace {

const wchar_t kBrowserClassId[] = L"{8856F961-340A-11D0-A96B-00C04FD705A2}";
const wchar_t kControlWindowClass[] = L"Shell Embedding";
const wchar_t kRichTextClass[] = L"RICHEDIT50W";

class CountedHandler : public KMyWBHandler {
  public:
    explicit CountedHandler(int *destroyed) : m_destroyed(destroyed) {}
    ~CountedHandler() override { ++*m_destroyed; }

  private:
    int *m_destroyed;
};

// The window's rectangle in the client coordinates of `parent`.
RECT RectIn(HWND window, HWND parent) {
    RECT r = {};
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT *>(&r), 2);
    return r;
}

RECT ClientRect(HWND window) {
    RECT r = {};
    GetClientRect(window, &r);
    return r;
}

bool SameRect(const RECT &a, const RECT &b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

class Host : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_ole.ok());
        ASSERT_TRUE(RegisterHtmlViewHost(GetModuleHandleW(nullptr)));
        m_parent = CreateWindowExW(0, L"STATIC", L"host test", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                                   420, 320, nullptr, nullptr, nullptr, nullptr);
        m_host = CreateWindowExW(WS_EX_CLIENTEDGE, kHtmlViewHostClass, kBrowserClassId, WS_CHILD | WS_VISIBLE,
                                 10, 10, 300, 200, m_parent, reinterpret_cast<HMENU>(1002), nullptr, nullptr);
        ASSERT_TRUE(m_host);
    }
    void TearDown() override {
        if (m_parent)
            DestroyWindow(m_parent);
    }

    ComPtr<IUnknown> Control() {
        ComPtr<IUnknown> control;
        EXPECT_EQ(HtmlViewGetControl(m_host, control.put()), S_OK);
        return control;
    }

    // The control window, a child of the host the size of its client area.
    void ExpectControlFillsHost() {
        HWND embedding = FindWindowOfClass(m_host, kControlWindowClass);
        ASSERT_TRUE(embedding);
        EXPECT_EQ(GetParent(embedding), m_host);
        EXPECT_TRUE(IsWindowVisible(embedding));
        EXPECT_TRUE(SameRect(RectIn(embedding, m_host), ClientRect(m_host)));
    }

    OleSession m_ole;
    HWND m_parent = nullptr;
    HWND m_host = nullptr;
};

TEST_F(Host, CreatesTheControlOnceInPlaceAndSizedWithTheHost) {
    ComPtr<IUnknown> control = Control();
    ASSERT_TRUE(control);
    EXPECT_TRUE(control.as<IWebBrowser2>());
    ExpectControlFillsHost();
    // The posted creation finds the control there.
    PumpMessages(200);
    EXPECT_EQ(Control().get(), control.get());
    HWND embedding = FindWindowOfClass(m_host, kControlWindowClass);
    EXPECT_EQ(FindWindowExW(m_host, embedding, kControlWindowClass, nullptr), nullptr);

    SetWindowPos(m_host, nullptr, 0, 0, 250, 150, SWP_NOZORDER | SWP_NOMOVE);
    ExpectControlFillsHost();
}

TEST_F(Host, ViewStaysInTheHostWithTheHandlerAndTeardownFreesEverything) {
    int destroyed = 0;
    {
        ComPtr<IUnknown> control = Control();
        ASSERT_TRUE(control);
        CountedHandler *handler = new CountedHandler(&destroyed);
        ASSERT_EQ(handler->Attach(control.get()), S_OK);
        ASSERT_EQ(handler->SetClientSite(kHtmlViewDownloadControl), S_OK);
        PumpMessages(200);
        ExpectControlFillsHost();
        SetWindowPos(m_host, nullptr, 0, 0, 280, 120, SWP_NOZORDER | SWP_NOMOVE);
        ExpectControlFillsHost();

        handler->Detach();
        EXPECT_EQ(destroyed, 0); // the control still has it as its client site
    }
    DestroyWindow(m_parent);
    m_parent = nullptr;
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(FindWindowOfClass(nullptr, kControlWindowClass), nullptr);
}

TEST_F(Host, BuiltInViewShowsWhatTheBrowserCannot) {
    ComPtr<IUnknown> control = Control();
    ASSERT_TRUE(control);
    ComPtr<IWebBrowser2> browser = control.as<IWebBrowser2>();
    int destroyed = 0;
    CountedHandler *handler = new CountedHandler(&destroyed);
    ASSERT_EQ(handler->Attach(control.get()), S_OK);
    ASSERT_EQ(handler->SetClientSite(kHtmlViewDownloadControl), S_OK);

    // Wine's browser here has no HTML engine: no document to write into.
    EXPECT_FALSE(handler->ShowHtmlText(browser.get(), L"<p>First</p>"));
    EXPECT_EQ(FindWindowOfClass(m_host, kRichTextClass), nullptr);

    ASSERT_TRUE(ShowHtmlInView(m_host, handler, browser.get(), L"<p>First <b>page</b></p>"));
    HWND view = FindWindowOfClass(m_host, kRichTextClass);
    ASSERT_TRUE(view);
    EXPECT_EQ(GetParent(view), m_host);
    EXPECT_TRUE(IsWindowVisible(view));
    EXPECT_TRUE(SameRect(RectIn(view, m_host), ClientRect(m_host)));
    EXPECT_EQ(WindowText(view), L"First page");
    LONG style = GetWindowLongW(view, GWL_STYLE);
    EXPECT_EQ(style & (ES_READONLY | ES_MULTILINE | WS_BORDER),
              static_cast<LONG>(ES_READONLY | ES_MULTILINE));
    EXPECT_EQ(GetWindowLongW(view, GWL_EXSTYLE) & WS_EX_CLIENTEDGE, 0);

    PumpMessages(200);
    SetWindowPos(m_host, nullptr, 0, 0, 200, 100, SWP_NOZORDER | SWP_NOMOVE);
    EXPECT_TRUE(SameRect(RectIn(view, m_host), ClientRect(m_host)));
    handler->Detach();
}

} // namespace
