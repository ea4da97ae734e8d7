// Rules of the update download that need no Windows header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace download {

// Longest path, in characters, that the download may write to (MAX_PATH less the terminator).
const std::size_t kMaxPathChars = 259;

// True when `name` is one plain file-name component that names an ordinary file wherever it is
// joined: not empty, not "." or "..", no separator, drive or stream colon, wildcard, quote,
// angle bracket, bar or control character, no trailing dot or space, and not a reserved device
// name ("CON", "NUL", "COM1", "LPT1.txt", ...).
bool isPlainComponent(const std::wstring &name);

// True when `a` and `b` are the same text, ASCII letters compared without their case.
bool equalsIgnoringCase(const std::wstring &a, const wchar_t *b);

// The components of a configured download folder ("Maker\Downloads"): leading, trailing and
// doubled backslashes are ignored. False when there is none, or one is not a plain component.
bool downloadPathComponents(const std::wstring &path, std::vector<std::wstring> &components);

// True when the digest text `computed` (lower-case hexadecimal) equals the published text,
// without regard to letter case. A published text that is empty, of another length or not
// hexadecimal never matches.
bool digestMatches(const std::wstring &computed, const std::wstring &published);

// The progress bar position for `position` bytes of `total`: (position * 100) / total in a width
// that cannot overflow, held to 0..100; 0 when the total is unknown (0).
int progressPercent(std::uint64_t position, std::uint64_t total);

} // namespace download
