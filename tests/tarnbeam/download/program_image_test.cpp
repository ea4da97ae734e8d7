// Catches a file started as a program that is none by its name or its bytes (a script, a
// cabinet, a library), data hidden in a PE's certificate table after its signature, and a wrong
// or missing product version read from the version resource.
#include "tarnbeam/retrieval/portable/program_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using download::imageMatchesKind;
using download::ImageSource;
using download::ProductVersion;
using download::ProgramKind;
using download::programKind;
using download::readProductVersion;

namespace {

using Bytes = std::vector<unsigned char>;

void Put16(Bytes &b, std::size_t at, unsigned v) {
    b[at] = v & 0xFF;
    b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(Bytes &b, std::size_t at, unsigned v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// A PE32+ image: headers, one section at file offset and RVA 0x200 holding a version resource
// (product version 4.6.1.7), and, when `signature` is not empty, a certificate table at the end
// with one entry holding `signature` followed by `tail`.
const std::size_t kSection = 0x200;
Bytes Image(const Bytes &signature = Bytes(), const Bytes &tail = Bytes(),
            unsigned characteristics = 0x0022) {
    Bytes b(kSection + 0x100, 0);
    b[0] = 'M';
    b[1] = 'Z';
    const std::size_t pe = 0x80, optional = pe + 24;
    Put32(b, 0x3C, pe);
    std::memcpy(&b[pe], "PE\0\0", 4);
    Put16(b, pe + 4 + 2, 1);             // one section
    Put16(b, pe + 4 + 16, 112 + 16 * 8); // optional header with 16 directories
    Put16(b, pe + 4 + 18, characteristics);
    Put16(b, optional, 0x20B);
    Put32(b, optional + 108, 16);
    Put32(b, optional + 112 + 2 * 8, kSection); // resources
    Put32(b, optional + 112 + 2 * 8 + 4, 0x100);
    const std::size_t section = optional + 112 + 16 * 8;
    Put32(b, section + 8, 0x100);
    Put32(b, section + 12, kSection);
    Put32(b, section + 16, 0x100);
    Put32(b, section + 20, kSection);
    // Resource tree: type 16 -> one name -> one language -> data at RVA 0x280.
    const std::size_t r = kSection;
    Put16(b, r + 14, 1);
    Put32(b, r + 16, 16);
    Put32(b, r + 20, 0x80000000u | 0x18);
    Put16(b, r + 0x18 + 14, 1);
    Put32(b, r + 0x18 + 16, 1);
    Put32(b, r + 0x18 + 20, 0x80000000u | 0x30);
    Put16(b, r + 0x30 + 14, 1);
    Put32(b, r + 0x30 + 16, 0x411);
    Put32(b, r + 0x30 + 20, 0x48);
    Put32(b, r + 0x48, kSection + 0x80);
    Put32(b, r + 0x48 + 4, 0x60);
    const std::size_t fixed = kSection + 0x80 + 40; // after the length fields and "VS_VERSION_INFO"
    Put32(b, fixed, 0xFEEF04BD);
    Put32(b, fixed + 16, (4u << 16) | 6u);
    Put32(b, fixed + 20, (1u << 16) | 7u);
    if (!signature.empty()) {
        const std::size_t table = b.size();
        const std::size_t length = 8 + signature.size() + tail.size();
        Put32(b, optional + 112 + 4 * 8, static_cast<unsigned>(table));
        Put32(b, optional + 112 + 4 * 8 + 4, static_cast<unsigned>(length));
        b.resize(table + 8);
        Put32(b, table, static_cast<unsigned>(length));
        Put16(b, table + 4, 0x200);
        Put16(b, table + 6, 2);
        b.insert(b.end(), signature.begin(), signature.end());
        b.insert(b.end(), tail.begin(), tail.end());
    }
    return b;
}

// A DER SEQUENCE of `content` bytes, with a long-form length.
Bytes Signature(std::size_t content) {
    Bytes der = {0x30, 0x82, static_cast<unsigned char>(content >> 8), static_cast<unsigned char>(content)};
    der.resize(der.size() + content, 0x5A);
    return der;
}

bool ReadFrom(void *context, std::uint64_t offset, void *buffer, std::size_t size) {
    const Bytes &b = *static_cast<const Bytes *>(context);
    if (offset > b.size() || size > b.size() - offset)
        return false;
    std::memcpy(buffer, b.data() + offset, size);
    return true;
}

ImageSource Source(const Bytes &b) {
    return ImageSource{ReadFrom, const_cast<Bytes *>(&b), b.size()};
}

bool IsProgram(const Bytes &b, ProgramKind kind = ProgramKind::kExe) {
    return imageMatchesKind(Source(b), kind);
}

} // namespace

TEST(ProgramImage, OnlyProgramNamesArePrograms) {
    for (const wchar_t *name : {L"setup.exe", L"setup.EXE", L"Update 4.7.Exe", L"update.msi", L"x.MSI"})
        EXPECT_NE(programKind(name), ProgramKind::kNone) << name;
    for (const wchar_t *name : {L"setup.cmd", L"setup.bat", L"setup.ps1", L"setup.lnk", L"setup.exe.txt",
                                L"setupexe", L".exe", L"setup.com", L"setup.scr", L"setup.msp"})
        EXPECT_EQ(programKind(name), ProgramKind::kNone) << name;
}

TEST(ProgramImage, BytesMustBeWhatTheNameSays) {
    EXPECT_TRUE(IsProgram(Image()));
    EXPECT_FALSE(IsProgram(Image(), ProgramKind::kMsi));
    EXPECT_FALSE(IsProgram(Image(Bytes(), Bytes(), 0x2022))) << "a library";
    EXPECT_FALSE(IsProgram(Image(Bytes(), Bytes(), 0x0020))) << "not executable";
    const std::string script = "@echo off\r\nformat c:\r\n";
    EXPECT_FALSE(IsProgram(Bytes(script.begin(), script.end())));
    const Bytes cabinet = {'M', 'S', 'C', 'F', 0, 0, 0, 0};
    EXPECT_FALSE(IsProgram(cabinet));
    Bytes truncated = Image();
    truncated.resize(0x90);
    EXPECT_FALSE(IsProgram(truncated));
    const Bytes compound = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0};
    EXPECT_TRUE(IsProgram(compound, ProgramKind::kMsi));
    EXPECT_FALSE(IsProgram(compound));
}

TEST(ProgramImage, NothingMayFollowTheSignatureButItsPadding) {
    EXPECT_TRUE(IsProgram(Image(Signature(0x120))));
    EXPECT_TRUE(IsProgram(Image(Signature(0x121), Bytes(7, 0))));
    EXPECT_FALSE(IsProgram(Image(Signature(0x121), Bytes(8, 0)))) << "a second entry's room";
    EXPECT_FALSE(IsProgram(Image(Signature(0x121), Bytes(3, 0x41)))) << "not padding";
    EXPECT_FALSE(IsProgram(Image(Signature(0x120), Bytes(4096, 0x90)))) << "an appended payload";
    Bytes beyond = Image(Signature(0x120));
    beyond.resize(beyond.size() - 1);
    EXPECT_FALSE(IsProgram(beyond)) << "the table runs past the file";
}

TEST(ProgramImage, ProductVersionComesFromTheVersionResource) {
    ProductVersion v;
    ASSERT_TRUE(readProductVersion(Source(Image()), v));
    EXPECT_EQ(v.major, 4u);
    EXPECT_EQ(v.minor, 6u);
    EXPECT_EQ(v.build, 1u);
    Bytes none = Image();
    Put32(none, kSection + 16, 3); // no version type in the tree
    EXPECT_FALSE(readProductVersion(Source(none), v));
}
