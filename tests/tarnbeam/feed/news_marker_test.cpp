// The new-information rule against the registry: the marker LastRSSItemDate under the common key
// is compared with the newest news item and replaced only when it differs.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarnbeam/app/config.h"
#include "tarnbeam/app/portable/decision.h"
#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/feed/new_information.h"
#include "tarnbeam/feed/news_feed.h"

namespace {

const wchar_t kMarker[] = L"LastRSSItemDate";

SYSTEMTIME At(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t = {};
    t.wYear = y;
    t.wMonth = mo;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    return t;
}

// A private common key per test, removed afterwards.
class Marker : public ::testing::Test {
  protected:
    void SetUp() override {
        key = L"Software\\TarnbeamTests\\Marker" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              std::to_wstring(++counter);
        g_config.CommonRegKey = key;
        newsItems.clear();
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        newsItems.clear();
    }

    void AddItem(const SYSTEMTIME &published) {
        NewsItem item;
        item.published = published;
        newsItems.push_back(item);
    }

    // Stores the marker with the given registry type, so a later rewrite (always REG_SZ) shows.
    void Store(const std::wstring &text, DWORD type = REG_SZ) {
        RegKeyHandle h;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, h.put(),
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(h.get(), kMarker, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    struct Stored {
        bool exists = false;
        DWORD type = 0;
        std::wstring text;
    };
    Stored Read() {
        Stored s;
        wchar_t buffer[512] = {};
        DWORD size = sizeof buffer - sizeof(wchar_t);
        if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), kMarker, RRF_RT_ANY | RRF_NOEXPAND, &s.type, buffer,
                         &size) == ERROR_SUCCESS) {
            s.exists = true;
            s.text = buffer;
        }
        return s;
    }
    bool KeyExists() {
        RegKeyHandle h;
        return RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, h.put()) == ERROR_SUCCESS;
    }

    std::wstring key;
    static int counter;
};
int Marker::counter = 0;

} // namespace

TEST(NewsMarkerFormat, ZeroPaddedLocalFields) {
    EXPECT_EQ(FormatNewsMarker(At(2006, 1, 2, 15, 4, 5)), L"2006/01/02 15:04:05");
    EXPECT_EQ(FormatNewsMarker(At(2024, 12, 31, 0, 0, 9)), L"2024/12/31 00:00:09");
    EXPECT_EQ(FormatNewsMarker(SYSTEMTIME{}), L"0000/00/00 00:00:00");
}

TEST_F(Marker, NoMarkerAndOneItemIsNewAndWritten) {
    AddItem(At(2006, 1, 2, 15, 4, 5));
    EXPECT_TRUE(hasNewInformation());
    Stored s = Read();
    EXPECT_TRUE(s.exists);
    EXPECT_EQ(s.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(s.text, L"2006/01/02 15:04:05");
    // Consumed: the same list is no longer new.
    EXPECT_FALSE(hasNewInformation());
}

TEST_F(Marker, EqualMarkerIsNotNewAndNotRewritten) {
    // Stored as REG_EXPAND_SZ: the reader does not check the type, and a rewrite would make it REG_SZ.
    Store(L"2006/01/02 15:04:05", REG_EXPAND_SZ);
    AddItem(At(2006, 1, 2, 15, 4, 5));
    EXPECT_FALSE(hasNewInformation());
    Stored s = Read();
    EXPECT_EQ(s.type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(s.text, L"2006/01/02 15:04:05");
}

TEST_F(Marker, DifferentNewestItemReplacesMarker) {
    struct Case {
        const char *what;
        const wchar_t *stored;
        std::vector<SYSTEMTIME> items; // newest first, as after the reader
        const wchar_t *expected;
    };
    const Case cases[] = {
        {"older newest item", L"2006/01/02 15:04:05", {At(2006, 1, 1, 10, 0, 0)}, L"2006/01/01 10:00:00"},
        {"newer item", L"2006/01/02 15:04:05", {At(2006, 1, 2, 15, 4, 6)}, L"2006/01/02 15:04:06"},
        {"only the newest counts",
         L"2006/01/01 10:00:00",
         {At(2006, 1, 3, 8, 0, 0), At(2006, 1, 1, 10, 0, 0)},
         L"2006/01/03 08:00:00"},
        {"unpadded marker text", L"2006/1/2 15:04:05", {At(2006, 1, 2, 15, 4, 5)}, L"2006/01/02 15:04:05"},
        {"marker too long to read", nullptr, {At(2006, 1, 2, 15, 4, 5)}, L"2006/01/02 15:04:05"},
    };
    for (const Case &c : cases) {
        newsItems.clear();
        if (c.stored)
            Store(c.stored);
        else
            Store(L"2006/01/02 15:04:05" + std::wstring(100, L' ')); // 100+ characters read as empty
        for (const SYSTEMTIME &t : c.items)
            AddItem(t);
        EXPECT_TRUE(hasNewInformation()) << c.what;
        EXPECT_EQ(Read().text, c.expected) << c.what;
    }
}

TEST_F(Marker, EmptyListIsNeverNewAndTouchesNothing) {
    EXPECT_FALSE(hasNewInformation());
    EXPECT_FALSE(KeyExists());

    Store(L"2006/01/02 15:04:05", REG_EXPAND_SZ);
    EXPECT_FALSE(hasNewInformation());
    Stored s = Read();
    EXPECT_EQ(s.type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(s.text, L"2006/01/02 15:04:05");
}

// The start-up decision with the real rule and registry: which runs open the main dialog, which
// notify the host, and which leave the marker alone because the rule was not asked.
TEST_F(Marker, DecisionAsksTheRuleOnlyWhereTheTableSays) {
    struct Case {
        const char *what;
        bool integrate;
        bool autoCheckUpdate, showOnNewInformation;
        unsigned long showOption;
        bool anyNewer, news, hello, autoCheck;
        bool open, notify, markerWritten;
    };
    const Case cases[] = {
        {"ShowOption 2, news, no update", false, true, true, 2, false, true, false, true, false, false,
         false},
        {"ShowOption 2, update", false, true, true, 2, true, true, false, true, true, false, false},
        {"ShowOption 5 acts as 2", false, true, true, 5, false, true, false, true, false, false, false},
        {"ShowOption 1, news and update", false, true, true, 1, true, true, false, true, true, false, true},
        {"ShowOption 1, update, nothing new", false, true, true, 1, true, false, false, true, true, false,
         false},
        {"ShowOption 1, news only", false, true, true, 1, false, true, false, true, true, false, true},
        {"ShowOption 1, nothing", false, true, true, 1, false, false, false, true, false, false, false},
        {"ShowOption 0, first run", false, true, true, 0, true, true, true, true, true, false, false},
        {"integrated, update, no news", true, true, true, 1, true, false, false, true, false, true, false},
        {"integrated, update and news", true, true, true, 1, true, true, false, true, true, true, true},
        {"integrated, AutoCheckUpdate off", true, false, true, 1, true, true, false, true, true, false, true},
        {"integrated, ShowOnNewInformation off", true, true, false, 1, true, true, false, true, false, true,
         false},
        {"integrated, first run, nothing", true, true, true, 1, false, false, true, true, true, false, false},
        {"manual run", false, true, true, 1, true, true, false, false, true, false, false},
    };
    const SYSTEMTIME newest = At(2006, 1, 3, 0, 4, 5);
    for (const Case &c : cases) {
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        newsItems.clear();
        AddItem(newest);
        AddItem(At(2006, 1, 1, 19, 0, 0));
        if (!c.news)
            Store(L"2006/01/03 00:04:05", REG_EXPAND_SZ);
        DecisionInputs in;
        in.autoCheck = c.autoCheck;
        in.integrateMode = c.integrate;
        in.autoCheckUpdate = c.autoCheckUpdate;
        in.showOnNewInformation = c.showOnNewInformation;
        in.showOption = c.showOption;
        in.helloShown = c.hello;
        in.anyNewer = c.anyNewer;
        const Decision d = DecideMainDialog(in, [] { return hasNewInformation(); });
        EXPECT_EQ(d.openMainDialog, c.open) << c.what;
        EXPECT_EQ(d.notifyHost, c.notify) << c.what;
        const Stored s = Read();
        if (c.markerWritten) {
            EXPECT_EQ(s.type, static_cast<DWORD>(REG_SZ)) << c.what;
            EXPECT_EQ(s.text, L"2006/01/03 00:04:05") << c.what;
        } else if (c.news) {
            EXPECT_FALSE(s.exists) << c.what;
        } else {
            EXPECT_EQ(s.type, static_cast<DWORD>(REG_EXPAND_SZ)) << c.what; // read, not rewritten
        }
    }
}
