#include "cabforge/core/cab/archive_names.h"

#include <cstring>

namespace cabw {

namespace {

const char kSeparator = '\\';
// UTF-8 of the C1 controls U+0080-U+009F: this lead byte and a second byte up to 0x9F.
const unsigned char kC1Lead = 0xC2;
const unsigned char kC1Last = 0x9F;
const unsigned char kLastC0 = 0x1F;
const unsigned char kDelete = 0x7F;

// Names Windows takes as devices in every folder, whatever follows them after a dot.
const char *const kDeviceNames[] = {"CON", "PRN", "AUX", "NUL"};
const char *const kNumberedDevices[] = {"COM", "LPT"};
const std::size_t kDeviceNameLength = 3;

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameUpper(const char *text, const char *name, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (upper(text[i]) != name[i])
            return false;
    }
    return true;
}

// The stem before the first dot, with the spaces Windows ignores before it.
bool isDeviceName(const char *s, std::size_t n) {
    std::size_t stem = 0;
    while (stem < n && s[stem] != '.')
        ++stem;
    while (stem > 0 && s[stem - 1] == ' ')
        --stem;
    for (const char *device : kDeviceNames) {
        if (stem == kDeviceNameLength && sameUpper(s, device, kDeviceNameLength))
            return true;
    }
    for (const char *device : kNumberedDevices) {
        if (stem == kDeviceNameLength + 1 && sameUpper(s, device, kDeviceNameLength) &&
            s[kDeviceNameLength] >= '1' && s[kDeviceNameLength] <= '9')
            return true;
    }
    return false;
}

bool isControlAt(const unsigned char *s, std::size_t n, std::size_t i) {
    const unsigned char c = s[i];
    if (c <= kLastC0 || c == kDelete)
        return true;
    return c == kC1Lead && i + 1 < n && s[i + 1] >= 0x80 && s[i + 1] <= kC1Last;
}

} // namespace

NameProblem componentProblem(const char *utf8, std::size_t n) {
    if (n == 0)
        return NameProblem::EmptyComponent;
    if ((n == 1 && utf8[0] == '.') || (n == 2 && utf8[0] == '.' && utf8[1] == '.'))
        return NameProblem::DotComponent;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(utf8);
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] == '/' || s[i] == kSeparator)
            return NameProblem::Separator;
        if (s[i] == ':')
            return NameProblem::Colon;
        if (isControlAt(s, n, i))
            return NameProblem::Control;
    }
    if (utf8[n - 1] == '.' || utf8[n - 1] == ' ')
        return NameProblem::TrailingDotOrSpace;
    if (isDeviceName(utf8, n))
        return NameProblem::DeviceName;
    return NameProblem::None;
}

NameProblem nameProblem(const char *utf8, std::size_t n) {
    std::size_t start = 0;
    for (;;) {
        const void *found = n > start ? std::memchr(utf8 + start, kSeparator, n - start) : nullptr;
        const std::size_t end = found ? static_cast<std::size_t>(static_cast<const char *>(found) - utf8) : n;
        const NameProblem problem = componentProblem(utf8 + start, end - start);
        if (problem != NameProblem::None || end == n)
            return problem;
        start = end + 1;
    }
}

const char *describeNameProblem(NameProblem problem) {
    switch (problem) {
    case NameProblem::None:
        break;
    case NameProblem::EmptyComponent:
        return "it is empty, or begins or ends with a separator, or holds two in a row";
    case NameProblem::DotComponent:
        return "a part of it is \".\" or \"..\"";
    case NameProblem::Separator:
        return "a part of it holds a slash or backslash";
    case NameProblem::Colon:
        return "it holds a colon";
    case NameProblem::Control:
        return "it holds a control character";
    case NameProblem::TrailingDotOrSpace:
        return "a part of it ends in a dot or a space";
    case NameProblem::DeviceName:
        return "a part of it is a device name of Windows";
    }
    return "it is a safe name";
}

} // namespace cabw
