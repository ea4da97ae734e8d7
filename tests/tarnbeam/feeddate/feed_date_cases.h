// Feed-date cases shared by the portable matcher test and the Windows parser test.
#pragma once

struct FeedDateCase {
    const char *text;
    bool ok;
    // Expected UTC result when ok: year, month, day of week, day, hour, minute, second.
    int year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// clang-format off
static const FeedDateCase kFeedDateCases[] = {
    // The five layouts.
    {"Mon, 02 Jan 2006 15:04:05 GMT",        true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon, 02-Jan-2006 15:04:05 +0900",      true, 2006, 1, 1, 2, 6, 4, 5},
    {"Mon, 02 Jan 2006 15:04 EST",           true, 2006, 1, 1, 2, 20, 4, 0},
    {"Mon 02 Jan 2006 15:04:05 GMT",         true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon Jan 02 15:04:05 2006 JST",         true, 2006, 1, 1, 2, 6, 4, 5},
    // Zones: every name of the table, numeric offsets with either sign.
    {"Mon, 02 Jan 2006 15:04:05 UT",         true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 EDT",        true, 2006, 1, 1, 2, 19, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 EST",        true, 2006, 1, 1, 2, 20, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 CDT",        true, 2006, 1, 1, 2, 20, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 CST",        true, 2006, 1, 1, 2, 21, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 MDT",        true, 2006, 1, 1, 2, 21, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 MST",        true, 2006, 1, 1, 2, 22, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 PDT",        true, 2006, 1, 1, 2, 22, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 PST",        true, 2006, 1, 1, 2, 23, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 JST",        true, 2006, 1, 1, 2, 6, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 -0330",      true, 2006, 1, 1, 2, 18, 34, 5},
    {"Mon, 02 Jan 2006 15:04:05 +0000",      true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 -0000",      true, 2006, 1, 1, 2, 15, 4, 5},
    // "+09:00": the token stops at the colon, "+09" is nine minutes.
    {"Mon, 02 Jan 2006 15:04:05 +09:00",     true, 2006, 1, 1, 2, 14, 55, 5},
    // Day and year boundaries.
    {"Sat, 31 Dec 2005 22:00:00 EST",        true, 2006, 1, 0, 1, 3, 0, 0},
    {"Sun, 01 Jan 2006 05:00:00 JST",        true, 2005, 12, 6, 31, 20, 0, 0},
    {"Thu, 29 Feb 2004 23:30:00 -0100",      true, 2004, 3, 1, 1, 0, 30, 0},
    {"Tue, 29 Feb 2000 00:00:00 GMT",        true, 2000, 2, 2, 29, 0, 0, 0},
    {"Fri, 31 Dec 30827 23:30:00 -0100",     true, 30828, 1, 6, 1, 0, 30, 0},
    // Short years and the years around them.
    {"Mon, 02 Jan 06 15:04:05 GMT",          true, 2006, 1, 1, 2, 15, 4, 5},
    {"Sat, 02 Jan 99 15:04:05 GMT",          true, 1999, 1, 6, 2, 15, 4, 5},
    {"Thu, 02 Jan 70 15:04:05 GMT",          true, 2070, 1, 4, 2, 15, 4, 5},
    {"Fri, 01 Jan 71 00:00:00 GMT",          true, 1971, 1, 5, 1, 0, 0, 0},
    {"Mon, 01 Jan 1600 00:00:00 GMT",        true, 3500, 1, 1, 1, 0, 0, 0},
    {"Mon, 01 Jan 1899 00:00:00 GMT",        true, 3799, 1, 2, 1, 0, 0, 0},
    {"Mon, 01 Jan 1900 00:00:00 GMT",        true, 1900, 1, 1, 1, 0, 0, 0},
    // The weekday is never checked, and may be absent.
    {"Fri, 02 Jan 2006 15:04:05 GMT",        true, 2006, 1, 1, 2, 15, 4, 5},
    {"Xyzzy, 02 Jan 2006 15:04:05 GMT",      true, 2006, 1, 1, 2, 15, 4, 5},
    {", 02 Jan 2006 15:04:05 GMT",           true, 2006, 1, 1, 2, 15, 4, 5},
    {"02 Jan 2006 15:04:05 GMT",             true, 2006, 1, 1, 2, 15, 4, 5},
    // Case of month and zone names.
    {"Mon, 02 jan 2006 15:04:05 gmt",        true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon, 02 JAN 2006 15:04:05 Jst",        true, 2006, 1, 1, 2, 6, 4, 5},
    // Spaces are optional and may repeat; trailing text is ignored.
    {"Mon,02 Jan 2006 15:04:05GMT",          true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon,   02  Jan   2006   15:04:05   GMT", true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 GMT (Tokyo) and more", true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon, 02 Jan 2006 15:04:05 GMT,extra",  true, 2006, 1, 1, 2, 15, 4, 5},
    {"Mon, 2 Jan 2006 5:4:5 GMT",            true, 2006, 1, 1, 2, 5, 4, 5},
    {"Mon, 0002 Jan 2006 0015:04:05 GMT",    true, 2006, 1, 1, 2, 15, 4, 5},
    // Failing forms.
    {"Mon, 02 January 2006 15:04:05 GMT",    false},
    {"Mon, 02 Ja 2006 15:04:05 GMT",         false},
    {"Mon, 02 Jan 2006 15:04:05 UTC",        false},
    {"Mon, 02 Jan 2006 15:04:05 Z",          false},
    {"Mon, 02 Jan 2006 15:04:05",            false},
    {"Mon, 02 Jan 2006 15:04:05 ",           false},
    {"Mon, 02 Jan 2006 15:04:05 +",          false},
    {"Mon, 02 Jan 2006 15:04:05 +09ab",      false},
    {"Mon, 30 Feb 2006 10:00:00 GMT",        false},
    {"Mon, 29 Feb 2006 10:00:00 GMT",        false},
    {"Mon, 29 Feb 1900 10:00:00 GMT",        false},
    {"Mon, 31 Apr 2006 10:00:00 GMT",        false},
    {"Mon, 02 Jan 2006 24:00:00 GMT",        false},
    {"Mon, 02 Jan 2006 23:60:00 GMT",        false},
    {"Mon, 02 Jan 2006 23:59:60 GMT",        false},
    {"Mon, 00 Jan 2006 10:00:00 GMT",        false},
    {"Mon, Jan 2006 10:00:00 GMT",           false},
    {"Mon, 02 Jan 2006 15.04.05 GMT",        false},
    {"Mon,\t02 Jan 2006 15:04:05 GMT",       false},
    {"Jan 02 15:04:05 2006 GMT",             false},
    {"",                                     false},
    {"   ",                                  false},
    {"garbage",                              false},
    // Absurd numbers fail rather than wrap into a plausible date.
    {"Mon, 65538 Jan 2006 10:00:00 GMT",     false},
    {"Mon, 02 Jan 65536 10:00:00 GMT",       false},
    {"Mon, 02 Jan 99999999999999999999 10:00:00 GMT", false},
    {"Mon, 02 Jan 2006 65536:00:00 GMT",     false},
    {"Mon, 02 Jan 30828 00:00:00 GMT",       false},
    {"Mon, 02 Jan 2006 15:04:05 +99999999999", false},
    {"Mon, 01 Jan 1900 00:00:00 +2147483647", false},
};
// clang-format on
