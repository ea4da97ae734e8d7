// parseFeedDate under Wine: the shared case table through the wide-text entry point, the
// 256-byte limit of the ANSI conversion, and text outside ASCII.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tarnbeam/feed/feed_date.h"
#include "tests/tarnbeam/feeddate/feed_date_cases.h"

namespace {

std::wstring Widen(const char *text) {
    std::wstring w;
    for (const char *p = text; *p; ++p)
        w += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return w;
}

SYSTEMTIME Filled() {
    SYSTEMTIME t;
    std::memset(&t, 0xCD, sizeof t);
    return t;
}

TEST(ParseFeedDate, CaseTable) {
    for (const FeedDateCase &c : kFeedDateCases) {
        SCOPED_TRACE(c.text);
        SYSTEMTIME t = Filled();
        const SYSTEMTIME before = t;
        bool ok = parseFeedDate(Widen(c.text).c_str(), t);
        ASSERT_EQ(ok, c.ok);
        if (ok) {
            EXPECT_EQ(t.wYear, c.year);
            EXPECT_EQ(t.wMonth, c.month);
            EXPECT_EQ(t.wDayOfWeek, c.dayOfWeek);
            EXPECT_EQ(t.wDay, c.day);
            EXPECT_EQ(t.wHour, c.hour);
            EXPECT_EQ(t.wMinute, c.minute);
            EXPECT_EQ(t.wSecond, c.second);
            EXPECT_EQ(t.wMilliseconds, 0);
        } else {
            EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0) << "output changed on failure";
        }
    }
}

// The result agrees with the platform's own calendar: the day of week the parser fills in is
// the one FileTimeToSystemTime gives for the same instant.
TEST(ParseFeedDate, AgreesWithPlatformCalendar) {
    SYSTEMTIME t{};
    ASSERT_TRUE(parseFeedDate(L"Sat, 31 Dec 2005 22:00:00 EST", t));
    SYSTEMTIME plain = t;
    plain.wDayOfWeek = 0;
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&plain, &ft));
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wDayOfWeek, t.wDayOfWeek);
    EXPECT_EQ(back.wYear, 2006);
    EXPECT_EQ(back.wDay, 1);
}

struct LengthCase {
    size_t trailingSpaces; // spaces appended to a 29-character date
    bool ok;
};

// The ANSI text must fit 256 bytes with its terminator: 255 characters parse, 256 do not.
TEST(ParseFeedDate, AnsiBufferLimit) {
    const std::wstring date = L"Mon, 02 Jan 2006 15:04:05 GMT";
    const LengthCase cases[] = {{0, true}, {255 - 29, true}, {256 - 29, false}, {5000, false}};
    for (const LengthCase &c : cases) {
        std::wstring text = date + std::wstring(c.trailingSpaces, L' ');
        SCOPED_TRACE(text.size());
        SYSTEMTIME t = Filled();
        EXPECT_EQ(parseFeedDate(text.c_str(), t), c.ok);
        if (c.ok) {
            EXPECT_EQ(t.wHour, 15);
        }
    }
}

// Whether full-width digits count depends on the ANSI code page: a code page that maps them
// to ASCII digits by best fit (1252) makes them a day, one that keeps them (932) does not.
bool AnsiMapsToAsciiDigits(const wchar_t *text, const char *digits) {
    char out[16] = {};
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return n > 0 && std::strcmp(out, digits) == 0;
}

TEST(ParseFeedDate, TextOutsideAscii) {
    struct Case {
        const wchar_t *text;
        bool ok;
    };
    const Case cases[] = {
        // Trailing text in another script is ignored.
        {L"Mon, 02 Jan 2006 15:04:05 GMT \x65E5\x672C", true},
        // A weekday in another script is no run of letters: the comma is not where it belongs.
        {L"\x6708, 02 Jan 2006 15:04:05 GMT", false},
        {L"Mon, \xFF10\xFF12 Jan 2006 15:04:05 GMT", AnsiMapsToAsciiDigits(L"\xFF10\xFF12", "02")},
        {nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? static_cast<int>(c.text[0]) : -1);
        SYSTEMTIME t = Filled();
        const SYSTEMTIME before = t;
        EXPECT_EQ(parseFeedDate(c.text, t), c.ok);
        if (c.ok) {
            EXPECT_EQ(t.wHour, 15);
        } else
            EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
    }
}

} // namespace
