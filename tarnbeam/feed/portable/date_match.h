// Date pattern matcher for feed and release dates (portable, no Windows header).
#pragma once

#include <cstdint>

// A calendar time in the SYSTEMTIME field order: eight unsigned 16-bit fields.
struct CalendarTime {
    uint16_t year;
    uint16_t month;     // 1-12
    uint16_t dayOfWeek; // 0 = Sunday
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

// Matches `text` against `pattern` and, on success, stores the instant in UTC (day of week
// filled in, milliseconds 0). `out` is zeroed first, whatever the result.
//
// Pattern characters: w weekday letters (skipped), d day, m month name, M month number, y year
// (short years: 0-70 -> 2000-2070, 71-1899 -> +1900), h/H hour, n minute, s second, t zone
// token, space = optional run of spaces, * = skip to the next pattern character, anything else
// must appear literally. Text after the last pattern character is ignored.
bool matchDatePattern(const char *pattern, const char *text, CalendarTime &out);

// The five feed-date layouts, in the order they are tried.
extern const char *const kFeedDatePatterns[5];

// Tries the five layouts in order on `text`; the first match gives the result. On failure
// `out` is left unchanged.
bool matchFeedDate(const char *text, CalendarTime &out);
