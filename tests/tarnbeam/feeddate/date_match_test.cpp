// The portable date matcher: the feed-date layouts over the shared case table, and the
// pattern language itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tarnbeam/feed/portable/date_match.h"
#include "tests/tarnbeam/feeddate/feed_date_cases.h"

namespace {

void ExpectTime(const CalendarTime &t, int year, int month, int dayOfWeek, int day, int hour, int minute,
                int second) {
    EXPECT_EQ(t.year, year);
    EXPECT_EQ(t.month, month);
    EXPECT_EQ(t.dayOfWeek, dayOfWeek);
    EXPECT_EQ(t.day, day);
    EXPECT_EQ(t.hour, hour);
    EXPECT_EQ(t.minute, minute);
    EXPECT_EQ(t.second, second);
    EXPECT_EQ(t.milliseconds, 0);
}

TEST(FeedDateLayouts, CaseTable) {
    for (const FeedDateCase &c : kFeedDateCases) {
        SCOPED_TRACE(c.text);
        CalendarTime t;
        std::memset(&t, 0xAB, sizeof t);
        const CalendarTime before = t;
        bool ok = matchFeedDate(c.text, t);
        ASSERT_EQ(ok, c.ok);
        if (ok)
            ExpectTime(t, c.year, c.month, c.dayOfWeek, c.day, c.hour, c.minute, c.second);
        else
            EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0) << "output changed on failure";
    }
}

// The layouts are tried in order: a text that only the later ones accept still parses, and
// one that fits pattern 1 is not misread by pattern 3 (which would drop the seconds).
TEST(FeedDateLayouts, OrderOfLayouts) {
    ASSERT_EQ(sizeof kFeedDatePatterns / sizeof kFeedDatePatterns[0], 5u);
    EXPECT_STREQ(kFeedDatePatterns[0], "w, d m y h:n:s t");
    EXPECT_STREQ(kFeedDatePatterns[1], "w, d-m-y h:n:s t");
    EXPECT_STREQ(kFeedDatePatterns[2], "w, d m y h:n t");
    EXPECT_STREQ(kFeedDatePatterns[3], "w d m y h:n:s t");
    EXPECT_STREQ(kFeedDatePatterns[4], "w m d h:n:s y t");
}

struct PatternCase {
    const char *pattern;
    const char *text;
    bool ok;
    int year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// clang-format off
const PatternCase kPatternCases[] = {
    // M: month number; 0 fails.
    {"M/d/y h:n:s t",   "1/2/2006 15:04:05 GMT",   true, 2006, 1, 1, 2, 15, 4, 5},
    {"M/d/y h:n:s t",   "0/2/2006 15:04:05 GMT",   false},
    {"M/d/y h:n:s t",   "13/2/2006 15:04:05 GMT",  false},
    // H reads the hour like h.
    {"d m y H:n:s t",   "02 Jan 2006 15:04:05 GMT", true, 2006, 1, 1, 2, 15, 4, 5},
    // y without digits reads 0, that is 2000; h, n and s without digits read 0.
    {"d m y|h:n:s t",   "01 Jan |::GMT",            true, 2000, 1, 6, 1, 0, 0, 0},
    // *: skip up to the next pattern character; at the end of the pattern, to the end.
    {"*|d m y h:n:s t", "any text|02 Jan 2006 15:04:05 GMT", true, 2006, 1, 1, 2, 15, 4, 5},
    {"*|d m y h:n:s t", "no bar 02 Jan 2006 15:04:05 GMT",   false},
    {"d m y h:n:s t*",  "02 Jan 2006 15:04:05 GMT rest",     true, 2006, 1, 1, 2, 15, 4, 5},
    // Literals must match exactly, case included.
    {"dXm y h:n:s t",   "02XJan 2006 15:04:05 GMT", true, 2006, 1, 1, 2, 15, 4, 5},
    {"dXm y h:n:s t",   "02xJan 2006 15:04:05 GMT", false},
    // Without t the zone token stays empty and the pattern fails.
    {"d m y h:n:s",     "02 Jan 2006 15:04:05 GMT", false},
    {"",                "02 Jan 2006 15:04:05 GMT", false},
    // m needs the whole word.
    {"d m y h:n:s t",   "02 Janu 2006 15:04:05 GMT", false},
    {"d m y h:n:s t",   "02 Ja 2006 15:04:05 GMT",   false},
    // Bytes outside ASCII are neither letters nor digits nor spaces.
    {"w, d m y h:n:s t", "\xC5\xEB, 02 Jan 2006 15:04:05 GMT", false},
    {"d m y h:n:s t",   "02 Jan 2006 15:04:05 GMT\xFF", true, 2006, 1, 1, 2, 15, 4, 5},
};
// clang-format on

TEST(DatePatternLanguage, PatternTable) {
    for (const PatternCase &c : kPatternCases) {
        SCOPED_TRACE(std::string(c.pattern) + " | " + c.text);
        CalendarTime t;
        std::memset(&t, 0xAB, sizeof t);
        bool ok = matchDatePattern(c.pattern, c.text, t);
        ASSERT_EQ(ok, c.ok);
        if (ok) {
            ExpectTime(t, c.year, c.month, c.dayOfWeek, c.day, c.hour, c.minute, c.second);
        } else {
            // The matcher zeroes its output before it starts, whatever the result.
            CalendarTime zero;
            std::memset(&zero, 0, sizeof zero);
            EXPECT_EQ(std::memcmp(&t, &zero, sizeof t), 0);
        }
    }
}

// Every day from 1900 to 2100 in one zone-shifted walk: the UTC result and the day of week
// agree with a plain day counter (2006-01-02 was a Monday).
TEST(DatePatternLanguage, DayOfWeekAcrossCenturies) {
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    long dayNumber = 0;         // days since 1900-01-01
    const long kAnchor = 38717; // 2006-01-02, day number from 1900-01-01
    for (int year = 1900; year <= 2100; ++year) {
        bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        for (int month = 1; month <= 12; ++month) {
            int days = kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
            for (int day = 1; day <= days; ++day, ++dayNumber) {
                char text[64];
                std::snprintf(text, sizeof text, "%02d %s %d 12:00:00 GMT", day, kMonths[month - 1], year);
                CalendarTime t;
                ASSERT_TRUE(matchFeedDate(text, t)) << text;
                int expected = static_cast<int>(((dayNumber - kAnchor) % 7 + 7 + 1) % 7);
                ASSERT_EQ(t.dayOfWeek, expected) << text;
                ASSERT_EQ(t.year, year);
                ASSERT_EQ(t.month, month);
                ASSERT_EQ(t.day, day);
            }
            // The day after the last one of the month fails.
            char text[64];
            std::snprintf(text, sizeof text, "%02d %s %d 12:00:00 GMT", days + 1, kMonths[month - 1], year);
            CalendarTime t;
            ASSERT_FALSE(matchFeedDate(text, t)) << text;
        }
    }
}

} // namespace
