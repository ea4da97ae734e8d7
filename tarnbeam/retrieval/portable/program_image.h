// What a downloaded update program must be before it is started: a program by its name (".exe"
// or ".msi") and by its bytes (a PE image, or a compound file), with nothing hidden in a PE's
// certificate table after its signature (the table is outside what the signature covers). And
// the product version its version resource states. The file is read through a callback, so the
// caller decides which handle the bytes come from. Portable: no platform header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace download {

enum class ProgramKind { kNone, kExe, kMsi };

// The kind a file name promises, by its extension in any letter case; kNone for every other name.
ProgramKind programKind(const std::wstring &fileName);

// Reads `size` bytes at `offset` into `buffer`; false unless all of them were read.
using ReadAtFn = bool (*)(void *context, std::uint64_t offset, void *buffer, std::size_t size);

struct ImageSource {
    ReadAtFn read;
    void *context;
    std::uint64_t size; // of the whole file
};

// True when the bytes are the kind: an executable PE image (not a library) whose certificate
// table, when it has one, holds one signature followed by at most seven zero bytes; or a compound
// file (the installer database format).
bool imageMatchesKind(const ImageSource &source, ProgramKind kind);

struct ProductVersion {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
};

// The product version of a PE image's version resource (major, minor and build as the high and
// low words of its first part and the high word of its second); false when it has none.
bool readProductVersion(const ImageSource &source, ProductVersion &version);

} // namespace download
