// The update client's command line: switches ("/" or "-" prefix) and positional arguments.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ParsedCommandLine {
    std::wstring arguments;                // everything after the program's own name
    std::vector<std::wstring> switches;    // text after the prefix, up to the next white space
    std::vector<std::wstring> positionals; // quoted texts, bare words, or an existing path
};

// Tells whether a text names an existing file or folder.
using PathExistsFn = std::function<bool(const std::wstring &)>;

// Parses a whole process command line (program name first).
ParsedCommandLine ParseCommandLine(const std::wstring &commandLine, const PathExistsFn &pathExists);

// A flag switch: present when a switch equals `name` exactly (case-sensitive).
bool HasFlagSwitch(const ParsedCommandLine &line, const std::wstring &name);

// A value switch "name:value": the first switch whose start equals name + ":" ignoring case.
// Returns false when none matches.
bool FindValueSwitch(const ParsedCommandLine &line, const std::wstring &name, std::wstring &value);

// The C library's string-to-integer rule with automatic base ("0x" hexadecimal, leading "0"
// octal, else decimal), stopping at the first character that does not fit; no digits give 0.
long long ParseAutoBaseNumber(const std::wstring &text);
