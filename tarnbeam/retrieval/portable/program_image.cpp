#include "tarnbeam/retrieval/portable/program_image.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include "tarnbeam/retrieval/portable/download_rules.h"

namespace download {

namespace {

// ---- Layout of the formats read here ----
// Compound file: the first eight bytes.
const unsigned char kCompoundFileSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
// DOS header: "MZ", and the offset of the PE header at 0x3C.
const std::uint64_t kDosHeaderBytes = 64;
const std::uint64_t kPeOffsetField = 0x3C;
const std::uint16_t kDosMagic = 0x5A4D;
// PE header: "PE\0\0", then the file header (20 bytes), then the optional header.
const std::uint32_t kPeSignature = 0x00004550;
const std::uint64_t kFileHeaderAt = 4;
const std::uint64_t kOptionalHeaderAt = 24;
const std::uint64_t kSectionCountField = 2;  // in the file header
const std::uint64_t kOptionalSizeField = 16; // in the file header
const std::uint64_t kCharacteristicsField = 18;
const std::uint16_t kExecutableImage = 0x0002;
const std::uint16_t kLibraryImage = 0x2000;
const std::uint16_t kMagicPe32 = 0x10B;
const std::uint16_t kMagicPe32Plus = 0x20B;
// In the optional header: the count of data directories and where they begin.
const std::uint64_t kDirectoryCountPe32 = 92;
const std::uint64_t kDirectoriesPe32 = 96;
const std::uint64_t kDirectoryCountPe32Plus = 108;
const std::uint64_t kDirectoriesPe32Plus = 112;
const std::uint32_t kResourceDirectory = 2;
const std::uint32_t kCertificateDirectory = 4; // its address is a file offset, not an RVA
const std::uint64_t kDirectoryBytes = 8;
// Section headers: 40 bytes each.
const std::uint64_t kSectionHeaderBytes = 40;
const std::uint64_t kSectionVirtualSize = 8;
const std::uint64_t kSectionAddress = 12;
const std::uint64_t kSectionRawSize = 16;
const std::uint64_t kSectionRawOffset = 20;
// The certificate table's entry: length (4), revision (2), type (2), then the signature.
const std::uint64_t kCertificateHeaderBytes = 8;
const std::uint64_t kCertificateTypeField = 6;
const std::uint16_t kCertificateTypePkcs7 = 0x0002;
const std::uint64_t kCertificateAlignment = 8;
// The signature is one DER SEQUENCE.
const unsigned char kDerSequence = 0x30;
const unsigned char kDerLongLength = 0x80;
const unsigned kDerMaxLengthBytes = 4;
// Resources: directory (16 bytes; named and numbered entry counts at 12 and 14), entries of 8
// bytes (a name or number, and an offset whose high bit marks a subdirectory), data entries
// (an RVA and a size).
const std::uint64_t kResourceDirectoryBytes = 16;
const std::uint64_t kNamedEntriesField = 12;
const std::uint64_t kNumberedEntriesField = 14;
const std::uint64_t kResourceEntryBytes = 8;
const std::uint64_t kSecondWord = 4; // of a data directory, a resource entry or a data entry
const std::uint32_t kSubdirectoryBit = 0x80000000u;
const std::uint32_t kVersionResourceType = 16;
// The version resource's fixed part begins with this signature, 4-aligned within its first bytes.
const std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
const std::size_t kFixedInfoSearchBytes = 128;
const std::size_t kProductVersionField = 16; // in the fixed part: product version, high then low

std::uint16_t u16(const unsigned char *p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t u32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool readAt(const ImageSource &s, std::uint64_t offset, void *buffer, std::size_t size) {
    return offset <= s.size && size <= s.size - offset && s.read(s.context, offset, buffer, size);
}

bool readU16(const ImageSource &s, std::uint64_t offset, std::uint16_t &value) {
    unsigned char b[2];
    if (!readAt(s, offset, b, sizeof b))
        return false;
    value = u16(b);
    return true;
}
bool readU32(const ImageSource &s, std::uint64_t offset, std::uint32_t &value) {
    unsigned char b[4];
    if (!readAt(s, offset, b, sizeof b))
        return false;
    value = u32(b);
    return true;
}

struct PeLayout {
    std::uint64_t peOffset = 0;
    std::uint16_t characteristics = 0;
    std::uint64_t directories = 0; // file offset of the data directories
    std::uint32_t directoryCount = 0;
    std::uint64_t sections = 0; // file offset of the section headers
    std::uint16_t sectionCount = 0;
};

bool readLayout(const ImageSource &s, PeLayout &pe) {
    std::uint16_t magic = 0;
    std::uint32_t peOffset = 0, signature = 0;
    if (s.size < kDosHeaderBytes || !readU16(s, 0, magic) || magic != kDosMagic ||
        !readU32(s, kPeOffsetField, peOffset) || !readU32(s, peOffset, signature) ||
        signature != kPeSignature)
        return false;
    pe.peOffset = peOffset;
    const std::uint64_t fileHeader = pe.peOffset + kFileHeaderAt;
    const std::uint64_t optional = pe.peOffset + kOptionalHeaderAt;
    std::uint16_t optionalSize = 0, optionalMagic = 0;
    if (!readU16(s, fileHeader + kSectionCountField, pe.sectionCount) ||
        !readU16(s, fileHeader + kOptionalSizeField, optionalSize) ||
        !readU16(s, fileHeader + kCharacteristicsField, pe.characteristics) ||
        !readU16(s, optional, optionalMagic))
        return false;
    std::uint64_t countField = 0, directories = 0;
    if (optionalMagic == kMagicPe32) {
        countField = kDirectoryCountPe32;
        directories = kDirectoriesPe32;
    } else if (optionalMagic == kMagicPe32Plus) {
        countField = kDirectoryCountPe32Plus;
        directories = kDirectoriesPe32Plus;
    } else {
        return false;
    }
    if (!readU32(s, optional + countField, pe.directoryCount))
        return false;
    // Only the directories that fit the optional header count.
    const std::uint64_t fitting =
        optionalSize > directories ? (optionalSize - directories) / kDirectoryBytes : 0;
    pe.directoryCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(pe.directoryCount, fitting));
    pe.directories = optional + directories;
    pe.sections = optional + optionalSize;
    return true;
}

bool readDirectory(const ImageSource &s, const PeLayout &pe, std::uint32_t index, std::uint32_t &address,
                   std::uint32_t &size) {
    address = size = 0;
    if (index >= pe.directoryCount)
        return true; // absent
    return readU32(s, pe.directories + index * kDirectoryBytes, address) &&
           readU32(s, pe.directories + index * kDirectoryBytes + kSecondWord, size);
}

// The certificate table: one PKCS #7 entry whose DER value ends the table but for its padding.
bool certificateTableIsClean(const ImageSource &s, const PeLayout &pe) {
    std::uint32_t offset = 0, tableSize = 0;
    if (!readDirectory(s, pe, kCertificateDirectory, offset, tableSize))
        return false;
    if (tableSize == 0)
        return true; // unsigned: the signature check refuses it
    if (offset > s.size || tableSize > s.size - offset || tableSize < kCertificateHeaderBytes)
        return false;
    unsigned char header[kCertificateHeaderBytes + 2 + kDerMaxLengthBytes] = {};
    const std::size_t headerBytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof header, tableSize));
    if (!readAt(s, offset, header, headerBytes))
        return false;
    const std::uint32_t entryLength = u32(header);
    if (entryLength < kCertificateHeaderBytes || entryLength > tableSize ||
        u16(header + kCertificateTypeField) != kCertificateTypePkcs7 || headerBytes < sizeof header ||
        header[kCertificateHeaderBytes] != kDerSequence)
        return false;
    const unsigned char first = header[kCertificateHeaderBytes + 1];
    std::uint64_t derLength = 0, derHeader = 2;
    if (first < kDerLongLength) {
        derLength = first;
    } else {
        const unsigned count = first - kDerLongLength;
        if (count == 0 || count > kDerMaxLengthBytes)
            return false;
        for (unsigned i = 0; i < count; ++i)
            derLength = (derLength << 8) | header[kCertificateHeaderBytes + 2 + i];
        derHeader += count;
    }
    const std::uint64_t signatureEnd = kCertificateHeaderBytes + derHeader + derLength;
    if (signatureEnd > entryLength || tableSize - signatureEnd >= kCertificateAlignment)
        return false;
    unsigned char padding[kCertificateAlignment] = {};
    const std::size_t paddingBytes = static_cast<std::size_t>(tableSize - signatureEnd);
    if (!readAt(s, offset + signatureEnd, padding, paddingBytes))
        return false;
    return std::all_of(padding, padding + paddingBytes, [](unsigned char b) { return b == 0; });
}

// The file offset of an RVA, through the section that holds it in the file.
bool offsetOfRva(const ImageSource &s, const PeLayout &pe, std::uint32_t rva, std::uint64_t &offset) {
    for (std::uint16_t i = 0; i < pe.sectionCount; ++i) {
        unsigned char section[kSectionHeaderBytes];
        if (!readAt(s, pe.sections + i * kSectionHeaderBytes, section, sizeof section))
            return false;
        const std::uint32_t address = u32(section + kSectionAddress);
        const std::uint32_t rawSize = u32(section + kSectionRawSize);
        const std::uint32_t extent = std::max(u32(section + kSectionVirtualSize), rawSize);
        if (rva >= address && rva - address < extent) {
            if (rva - address >= rawSize)
                return false; // not in the file
            offset = static_cast<std::uint64_t>(u32(section + kSectionRawOffset)) + (rva - address);
            return offset < s.size;
        }
    }
    return false;
}

// The entry of a resource directory with the number `id`, or its first entry when `id` is 0.
bool resourceEntry(const ImageSource &s, std::uint64_t directory, std::uint32_t id, std::uint32_t &target) {
    unsigned char head[kResourceDirectoryBytes];
    if (!readAt(s, directory, head, sizeof head))
        return false;
    const std::uint32_t named = u16(head + kNamedEntriesField), numbered = u16(head + kNumberedEntriesField);
    const std::uint32_t first = id == 0 ? 0 : named;
    const std::uint32_t last = id == 0 ? std::min<std::uint32_t>(1, named + numbered) : named + numbered;
    for (std::uint32_t i = first; i < last; ++i) {
        unsigned char entry[kResourceEntryBytes];
        if (!readAt(s, directory + kResourceDirectoryBytes + i * kResourceEntryBytes, entry, sizeof entry))
            return false;
        if (id == 0 || u32(entry) == id) {
            target = u32(entry + kSecondWord);
            return true;
        }
    }
    return false;
}

} // namespace

ProgramKind programKind(const std::wstring &fileName) {
    // A name that is more than its extension.
    const auto endsWith = [&](const wchar_t *extension) {
        const std::size_t length = std::wcslen(extension);
        return fileName.size() > length &&
               equalsIgnoringCase(fileName.substr(fileName.size() - length), extension);
    };
    if (endsWith(L".exe"))
        return ProgramKind::kExe;
    if (endsWith(L".msi"))
        return ProgramKind::kMsi;
    return ProgramKind::kNone;
}

bool imageMatchesKind(const ImageSource &source, ProgramKind kind) {
    if (kind == ProgramKind::kMsi) {
        unsigned char head[sizeof kCompoundFileSignature];
        return readAt(source, 0, head, sizeof head) &&
               std::equal(head, head + sizeof head, kCompoundFileSignature);
    }
    PeLayout pe;
    return kind == ProgramKind::kExe && readLayout(source, pe) && (pe.characteristics & kExecutableImage) &&
           !(pe.characteristics & kLibraryImage) && certificateTableIsClean(source, pe);
}

bool readProductVersion(const ImageSource &source, ProductVersion &version) {
    PeLayout pe;
    std::uint32_t rva = 0, size = 0;
    std::uint64_t root = 0;
    if (!readLayout(source, pe) || !readDirectory(source, pe, kResourceDirectory, rva, size) || size == 0 ||
        !offsetOfRva(source, pe, rva, root))
        return false;
    // Type, then name, then language: the first of each below the version type.
    std::uint32_t target = 0;
    if (!resourceEntry(source, root, kVersionResourceType, target) || !(target & kSubdirectoryBit))
        return false;
    std::uint32_t next = 0;
    if (!resourceEntry(source, root + (target & ~kSubdirectoryBit), 0, next) || !(next & kSubdirectoryBit))
        return false;
    if (!resourceEntry(source, root + (next & ~kSubdirectoryBit), 0, target) || (target & kSubdirectoryBit))
        return false;
    std::uint32_t dataRva = 0, dataSize = 0;
    std::uint64_t data = 0;
    if (!readU32(source, root + target, dataRva) || !readU32(source, root + target + kSecondWord, dataSize) ||
        !offsetOfRva(source, pe, dataRva, data))
        return false;
    std::vector<unsigned char> bytes(std::min<std::size_t>(dataSize, kFixedInfoSearchBytes));
    if (bytes.size() < kProductVersionField + 8 || !readAt(source, data, bytes.data(), bytes.size()))
        return false;
    for (std::size_t at = 0; at + kProductVersionField + 8 <= bytes.size(); at += 4) {
        if (u32(&bytes[at]) != kFixedInfoSignature)
            continue;
        const std::uint32_t high = u32(&bytes[at + kProductVersionField]);
        const std::uint32_t low = u32(&bytes[at + kProductVersionField + 4]);
        version.major = high >> 16;
        version.minor = high & 0xFFFF;
        version.build = low >> 16;
        return true;
    }
    return false;
}

} // namespace download
