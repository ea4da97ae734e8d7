// Microsoft Cabinet container: structure sizes, field constants and the data-block checksum.
// Internal to the cabinet writer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cabw {
namespace format {

constexpr std::size_t kHeaderSize = 36;       // CFHEADER without the optional fields
constexpr std::size_t kReserveFieldsSize = 4; // cbCFHeader u16, cbCFFolder u8, cbCFData u8
constexpr std::size_t kFolderSize = 8;        // CFFOLDER without its reserve
constexpr std::size_t kFileSize = 16;         // CFFILE without its name
constexpr std::size_t kDataHeaderSize = 8;    // CFDATA without its reserve

// CFHEADER fields, by offset. The signature is written last: a half-written file does not pass for a
// cabinet.
constexpr std::size_t kHeaderSignature = 0;          // 4 bytes
constexpr std::size_t kHeaderCabinetSize = 8;        // u32 cbCabinet
constexpr std::size_t kHeaderFilesOffset = 16;       // u32 coffFiles
constexpr std::size_t kHeaderVersionMinor = 24;      // u8
constexpr std::size_t kHeaderVersionMajor = 25;      // u8
constexpr std::size_t kHeaderFolderCount = 26;       // u16 cFolders
constexpr std::size_t kHeaderFileCount = 28;         // u16 cFiles
constexpr std::size_t kHeaderFlags = 30;             // u16
constexpr std::size_t kHeaderSetId = 32;             // u16 setID
constexpr std::size_t kHeaderCabinetIndex = 34;      // u16 iCabinet
constexpr std::size_t kHeaderReserveSize = 36;       // u16 cbCFHeader, with kFlagReservePresent only
constexpr std::size_t kHeaderFolderReserveSize = 38; // u8 cbCFFolder
constexpr std::size_t kHeaderDataReserveSize = 39;   // u8 cbCFData
constexpr char kSignature[] = "MSCF";
constexpr char kUnfinishedSignature[] = "!CAB";
constexpr std::size_t kSignatureSize = 4;

// CFFOLDER fields.
constexpr std::size_t kFolderDataOffset = 0;  // u32 coffCabStart
constexpr std::size_t kFolderBlockCount = 4;  // u16 cCFData
constexpr std::size_t kFolderCompression = 6; // u16 typeCompress

// CFFILE fields; the NUL-terminated name follows at kFileSize.
constexpr std::size_t kFileLength = 0;       // u32 cbFile
constexpr std::size_t kFileFolderOffset = 4; // u32 uoffFolderStart
constexpr std::size_t kFileFolderIndex = 8;  // u16 iFolder
constexpr std::size_t kFileDate = 10;        // u16
constexpr std::size_t kFileTime = 12;        // u16
constexpr std::size_t kFileAttributes = 14;  // u16 attribs

// CFDATA fields.
constexpr std::size_t kDataChecksum = 0;         // u32 csum
constexpr std::size_t kDataCompressedSize = 4;   // u16 cbData
constexpr std::size_t kDataUncompressedSize = 6; // u16 cbUncomp
constexpr std::size_t kDataSizesLength = 4;      // the two sizes, which the checksum covers last

static_assert(kHeaderCabinetIndex + 2 == kHeaderSize &&
                  kHeaderDataReserveSize + 1 == kHeaderSize + kReserveFieldsSize,
              "CFHEADER fields fill its size");
static_assert(kFolderCompression + 2 == kFolderSize, "CFFOLDER fields fill its size");
static_assert(kFileAttributes + 2 == kFileSize, "CFFILE fields fill its size");
static_assert(kDataUncompressedSize + 2 == kDataHeaderSize, "CFDATA fields fill its size");

constexpr std::uint16_t kFlagReservePresent = 0x0004;
constexpr unsigned char kVersionMinor = 3;
constexpr unsigned char kVersionMajor = 1;

constexpr std::uint32_t kBlockSize = 32768; // uncompressed bytes per data block (the last fewer)
// The largest payload the readers accept in one data block (cabextract and gcab refuse more).
constexpr std::uint32_t kMaxBlockPayload = 32768 + 6144;
// MSZIP's own bound for one block: 32 KiB split over two stored deflate blocks.
constexpr std::uint32_t kMaxMszipPayload = 32768 + 12;

inline void put16(unsigned char *p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void put32(unsigned char *p, std::uint32_t v) {
    put16(p, v & 0xFFFF);
    put16(p + 2, v >> 16);
}
inline std::uint32_t get16(const unsigned char *p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8;
}

// The data-block checksum: XOR of little-endian 32-bit words, the 1-3 tail bytes folded in with
// the first byte most significant. csum = checksum(sizes, kDataSizesLength, checksum(payload, n, 0)).
inline std::uint32_t checksum(const unsigned char *p, std::size_t n, std::uint32_t seed) {
    std::uint32_t sum = seed;
    for (; n >= 4; n -= 4, p += 4)
        sum ^= std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
               std::uint32_t(p[3]) << 24;
    std::uint32_t tail = 0;
    if (n == 3)
        tail = std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
    else if (n == 2)
        tail = std::uint32_t(p[0]) << 8 | p[1];
    else if (n == 1)
        tail = p[0];
    return sum ^ tail;
}

} // namespace format
} // namespace cabw
