#include "tarnbeam/feed/portable/date_match.h"

#include <cstddef>
#include <cstring>

namespace {

// Calendar times are carried as seconds since 1601-01-01 00:00:00, the epoch of the platform's
// 64-bit file time (100-nanosecond units). The largest file time the platform turns back into
// a calendar time is 0x7FFFFFFFFFFFFFFF; the latest calendar time it turns into a file time
// lies in the year 30827.
const int64_t kTicksPerSecond = 10000000;
const int64_t kMaxSeconds = INT64_MAX / kTicksPerSecond;
const unsigned kLastYear = 30827;
const unsigned kFirstYear = 1601;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsTokenChar(char c) {
    return IsDigit(c) || IsLetter(c) || c == '+' || c == '-';
}
char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const char *a, size_t length, const char *b) {
    if (std::strlen(b) != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

// Reads a run of zero or more digits as a decimal number (no digits give 0). A run whose value
// exceeds `limit` fails instead of wrapping, so that an absurd day such as 65538 cannot turn
// into a plausible one.
bool ReadNumber(const char *&p, uint32_t limit, uint32_t &value) {
    uint64_t v = 0;
    bool tooLarge = false;
    while (IsDigit(*p)) {
        if (!tooLarge) {
            v = v * 10 + static_cast<unsigned>(*p - '0');
            if (v > limit)
                tooLarge = true;
        }
        ++p;
    }
    value = static_cast<uint32_t>(v);
    return !tooLarge;
}

bool ReadField(const char *&p, uint16_t &field) {
    uint32_t v;
    if (!ReadNumber(p, 0xFFFF, v))
        return false;
    field = static_cast<uint16_t>(v);
    return true;
}

bool ReadMonthName(const char *&p, uint16_t &month) {
    static const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char *start = p;
    while (IsLetter(*p))
        ++p;
    size_t length = static_cast<size_t>(p - start);
    for (int i = 0; i < 12; ++i) {
        if (EqualNoCase(start, length, kMonths[i])) {
            month = static_cast<uint16_t>(i + 1);
            return true;
        }
    }
    return false;
}

// Zone offset in seconds east of UTC from the token collected by 't'.
bool ZoneOffset(const char *token, size_t length, int64_t &seconds) {
    struct Zone {
        const char *name;
        int hhmm;
    };
    static const Zone kZones[] = {
        {"GMT", 0},    {"UT", 0},     {"EDT", -400}, {"EST", -500}, {"CDT", -500}, {"CST", -600},
        {"MDT", -600}, {"MST", -700}, {"PDT", -700}, {"PST", -800}, {"JST", 900},
    };
    if (length == 0)
        return false;
    if (token[0] == '+' || token[0] == '-') {
        if (length < 2)
            return false;
        const char *p = token + 1;
        uint32_t v;
        if (!ReadNumber(p, INT32_MAX, v) || p != token + length)
            return false; // not all digits, or beyond the range of the decimal conversion
        int64_t signedValue = token[0] == '-' ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        // hhmm; C++ division truncates toward zero, so both parts carry the sign.
        seconds = (signedValue / 100) * 3600 + (signedValue % 100) * 60;
        return true;
    }
    for (const Zone &zone : kZones) {
        if (EqualNoCase(token, length, zone.name)) {
            seconds = static_cast<int64_t>(zone.hhmm / 100) * 3600 + (zone.hhmm % 100) * 60;
            return true;
        }
    }
    return false;
}

bool IsLeapYear(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(unsigned y, unsigned m) {
    static const unsigned char kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeapYear(y)) ? 29u : kDays[m - 1];
}

// Days from 1601-01-01 to y-m-d (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t daysFrom1970 = era * 146097 + doe - 719468;
    return daysFrom1970 + 134774; // 1601-01-01 .. 1970-01-01
}

void CivilFromDays(int64_t days1601, CalendarTime &t) {
    const int64_t z = days1601 - 134774 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    t.year = static_cast<uint16_t>(y);
    t.month = static_cast<uint16_t>(m);
    t.day = static_cast<uint16_t>(d);
    t.dayOfWeek = static_cast<uint16_t>((days1601 + 1) % 7); // 1601-01-01 was a Monday
}

bool IsValid(const CalendarTime &t) {
    return t.year >= kFirstYear && t.year <= kLastYear && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= DaysInMonth(t.year, t.month) && t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

} // namespace

bool matchDatePattern(const char *pattern, const char *text, CalendarTime &out) {
    std::memset(&out, 0, sizeof out);
    if (!pattern || !text)
        return false;

    CalendarTime t;
    std::memset(&t, 0, sizeof t);
    const char *zone = nullptr;
    size_t zoneLength = 0;
    const char *p = text;

    for (const char *pc = pattern; *pc; ++pc) {
        switch (*pc) {
        case 'w':
            while (IsLetter(*p))
                ++p;
            break;
        case 'd':
            if (!ReadField(p, t.day) || t.day == 0)
                return false;
            break;
        case 'm':
            if (!ReadMonthName(p, t.month))
                return false;
            break;
        case 'M':
            if (!ReadField(p, t.month) || t.month == 0)
                return false;
            break;
        case 'y':
            if (!ReadField(p, t.year))
                return false;
            if (t.year <= 70)
                t.year = static_cast<uint16_t>(t.year + 2000);
            else if (t.year < 1900)
                t.year = static_cast<uint16_t>(t.year + 1900);
            break;
        case 'h':
        case 'H':
            if (!ReadField(p, t.hour))
                return false;
            break;
        case 'n':
            if (!ReadField(p, t.minute))
                return false;
            break;
        case 's':
            if (!ReadField(p, t.second))
                return false;
            break;
        case 't':
            zone = p;
            while (IsTokenChar(*p))
                ++p;
            zoneLength = static_cast<size_t>(p - zone);
            break;
        case ' ':
            while (*p == ' ')
                ++p;
            break;
        case '*':
            // Up to the next pattern character, or to the end when the pattern ends here.
            while (*p && *p != pc[1])
                ++p;
            break;
        default:
            if (*p != *pc)
                return false;
            ++p;
            break;
        }
    }

    int64_t offsetSeconds = 0;
    if (!ZoneOffset(zone ? zone : "", zoneLength, offsetSeconds))
        return false;
    if (!IsValid(t))
        return false;

    const int64_t local =
        DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    const int64_t utc = local - offsetSeconds;
    if (utc < 0 || utc > kMaxSeconds)
        return false; // outside the range of the platform's file time

    CalendarTime result;
    std::memset(&result, 0, sizeof result);
    CivilFromDays(utc / 86400, result);
    const int64_t secondOfDay = utc % 86400;
    result.hour = static_cast<uint16_t>(secondOfDay / 3600);
    result.minute = static_cast<uint16_t>(secondOfDay / 60 % 60);
    result.second = static_cast<uint16_t>(secondOfDay % 60);
    out = result;
    return true;
}

const char *const kFeedDatePatterns[5] = {
    "w, d m y h:n:s t", "w, d-m-y h:n:s t", "w, d m y h:n t", "w d m y h:n:s t", "w m d h:n:s y t",
};

bool matchFeedDate(const char *text, CalendarTime &out) {
    for (const char *pattern : kFeedDatePatterns) {
        CalendarTime t;
        if (matchDatePattern(pattern, text, t)) {
            out = t;
            return true;
        }
    }
    return false;
}
