// Drives the cabinet writer the way the archive builder does (create, flush folder, add each file,
// flush cabinet with a next-cabinet request, destroy), with callbacks over the C runtime's
// descriptor calls. Shared by the native tests and the Windows test tool.
#pragma once

#include "cabforge/core/cab/cab_writer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cabtest {

struct FileEntry {
    std::string source;          // path on disk
    std::string name;            // name in the cabinet (UTF-8)
    std::uint16_t date = 0x58B1; // 2024-05-17
    std::uint16_t time = 0x6DAF; // 13:45:30
    std::uint16_t attribs = 0xA0;
};

struct BuildResult {
    bool ok = false;
    cabw::ErrorRecord error;
    std::string failedStep;             // which call failed
    int openDescriptors = 0;            // descriptors still open after destroy (must be 0)
    int tempFilesLeft = 0;              // temporary files not deleted after destroy (must be 0)
    unsigned long statusCompressed = 0; // sums over the per-file status reports
    unsigned long statusUncompressed = 0;
};

// Builds `cabinetPath` from `files`, all with `compressionType`. Temporary files go to tempDir.
BuildResult buildCabinet(const std::string &cabinetPath, const std::vector<FileEntry> &files,
                         std::uint16_t compressionType, const cabw::CabinetParams &baseParams,
                         const std::string &tempDir);

// The same with one compression type per file (a change of type starts a new folder).
BuildResult buildCabinetMixed(const std::string &cabinetPath, const std::vector<FileEntry> &files,
                              const std::vector<std::uint16_t> &types, const cabw::CabinetParams &baseParams,
                              const std::string &tempDir);

} // namespace cabtest
