// An independent structural reading of a cabinet file: header, folders, entries, data blocks with
// their checksums. Used to check what the reader tools do not report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cabtest {

struct CabEntry {
    std::uint32_t size, offset;
    std::uint16_t folder, date, time, attribs;
    std::string name;
};
struct CabFolder {
    std::uint32_t dataStart;
    std::uint16_t blockCount, type;
    std::uint64_t uncompressed = 0;         // sum of cbUncomp
    std::uint64_t compressed = 0;           // sum of cbData
    std::vector<std::uint16_t> blockUncomp; // cbUncomp per block
};
struct CabInfo {
    std::string problem; // empty when the structure is consistent
    std::uint32_t size = 0;
    std::uint16_t flags = 0, setId = 0, cabinetIndex = 0;
    std::vector<CabFolder> folders;
    std::vector<CabEntry> entries;
};

CabInfo inspectCabinet(const std::string &bytes);

} // namespace cabtest
