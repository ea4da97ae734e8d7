#include "tarnbeam/feed/feed_date.h"

#include "tarnbeam/feed/portable/date_match.h"

namespace {

// The date text is matched in the system's ANSI code page, in a buffer of this many bytes
// (terminator included); a longer text is not a date.
const int kDateTextBytes = 256;

} // namespace

bool parseFeedDate(const wchar_t *text, SYSTEMTIME &utc) {
    if (!text)
        return false;
    char ansi[kDateTextBytes];
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, kDateTextBytes, nullptr, nullptr) == 0)
        return false;

    CalendarTime t;
    if (!matchFeedDate(ansi, t))
        return false;
    utc.wYear = t.year;
    utc.wMonth = t.month;
    utc.wDayOfWeek = t.dayOfWeek;
    utc.wDay = t.day;
    utc.wHour = t.hour;
    utc.wMinute = t.minute;
    utc.wSecond = t.second;
    utc.wMilliseconds = t.milliseconds;
    return true;
}
