// libFuzzer target for the date matcher. The first byte chooses the mode:
//  even: the input (after that byte) is a date text, tried with the five feed layouts;
//  odd:  the input is "pattern\ntext", matched with matchDatePattern.
// Besides memory errors (ASan/UBSan), it checks what every result must satisfy.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tarnbeam/feed/portable/date_match.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool Leap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

void CheckValid(const CalendarTime &t) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    Check(t.year >= 1601);
    Check(t.month >= 1 && t.month <= 12);
    Check(t.day >= 1 && t.day <= kDays[t.month - 1] + (t.month == 2 && Leap(t.year) ? 1 : 0));
    Check(t.hour <= 23 && t.minute <= 59 && t.second <= 59);
    Check(t.dayOfWeek <= 6);
    Check(t.milliseconds == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const bool patternMode = data[0] & 1;
    std::string input(reinterpret_cast<const char *>(data + 1), size - 1);

    if (!patternMode) {
        CalendarTime t;
        std::memset(&t, 0x5A, sizeof t);
        const CalendarTime before = t;
        if (matchFeedDate(input.c_str(), t))
            CheckValid(t);
        else
            Check(std::memcmp(&t, &before, sizeof t) == 0);
        return 0;
    }

    size_t split = input.find('\n');
    std::string pattern = split == std::string::npos ? input : input.substr(0, split);
    std::string text = split == std::string::npos ? std::string() : input.substr(split + 1);
    CalendarTime t;
    std::memset(&t, 0x5A, sizeof t);
    if (matchDatePattern(pattern.c_str(), text.c_str(), t)) {
        CheckValid(t);
    } else {
        CalendarTime zero;
        std::memset(&zero, 0, sizeof zero);
        Check(std::memcmp(&t, &zero, sizeof t) == 0);
    }
    return 0;
}
