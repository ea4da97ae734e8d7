// File names of the native file system as the shared packing rules see them. A POSIX name is a
// byte string, usually UTF-8; the rules work on wide strings. Decoding is lossless: a byte that is
// not part of a valid UTF-8 sequence becomes the code point U+DC00 + byte (a lone low surrogate,
// which valid UTF-8 never yields), and encoding turns it back into that byte.
#pragma once

#include <string>

namespace cfcli {

std::wstring decodeName(const std::string &bytes);
std::string encodeName(const std::wstring &text);

// True when `text` came from valid UTF-8 only (no escaped byte).
bool isValidText(const std::wstring &text);

} // namespace cfcli
