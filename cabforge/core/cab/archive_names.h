// The rule every name inside a cabinet keeps, so that extracting it cannot write outside the folder it
// is extracted into, whatever the reader does with the name: a name is one or more components joined
// by backslashes; every component is non-empty, is neither "." nor "..", holds no '/', ':' or control
// character, does not end in a dot or a space, and is not a device name of Windows (CON, PRN, AUX,
// NUL, COM1-COM9, LPT1-LPT9, with or without an extension). So no name begins with a separator or a
// drive, and none climbs out of its folder.
//
// Applied where a name enters the archive tree (drop, Add file, project load), by cabforge-cli to
// every name it is given, and by the cabinet writer before it writes anything of an entry.
// Portable: no platform header; works on UTF-8 text.
#pragma once

#include <cstddef>
#include <string>

namespace cabw {

enum class NameProblem {
    None,
    EmptyComponent,     // an empty name, a leading, trailing or doubled separator
    DotComponent,       // "." or ".."
    Separator,          // '/' (or, inside one component, '\\')
    Colon,              // ':' (a drive or a stream)
    Control,            // a control character (U+0000-U+001F, U+007F-U+009F)
    TrailingDotOrSpace, // Windows drops them, so the name would open another file
    DeviceName,         // CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension
};

// What is wrong with one component (a folder or file name, no separator allowed inside).
NameProblem componentProblem(const char *utf8, std::size_t length);
inline NameProblem componentProblem(const std::string &utf8) {
    return componentProblem(utf8.data(), utf8.size());
}

// What is wrong with a whole name, its components joined by backslashes.
NameProblem nameProblem(const char *utf8, std::size_t length);
inline NameProblem nameProblem(const std::string &utf8) {
    return nameProblem(utf8.data(), utf8.size());
}

// The problem in words, for messages in English ("a part of it is \"..\"").
const char *describeNameProblem(NameProblem problem);

} // namespace cabw
