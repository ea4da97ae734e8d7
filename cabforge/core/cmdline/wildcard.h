// Case-insensitive wildcard matching of single names and paths, the way the shell matches path
// patterns: '*' matches any run of characters (separators included), '?' exactly one, a
// pattern text may list several patterns separated by ';' (leading blanks of each pattern are skipped), and
// the pattern "*.*" matches everything, names without a dot included. Portable: no platform header.
#pragma once

#include <string>

namespace cfcmd {

// Maps a character to the form compared for case-insensitive equality.
using CaseFold = wchar_t (*)(wchar_t);

// Upper-cases ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and full-width Latin letters.
wchar_t defaultCaseFold(wchar_t c);

bool matchPattern(const std::wstring &name, const std::wstring &pattern, CaseFold fold = defaultCaseFold);

} // namespace cfcmd
