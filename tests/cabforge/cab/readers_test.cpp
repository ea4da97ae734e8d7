// Round trips through the independent readers: cabinets written by the writer from file sets on
// disk must test clean and extract byte for byte, with the stored names, dates and attributes, in
// cabextract, 7-Zip and gcab. Catches format faults the writer's own code cannot see.
#include "tests/cabforge/cab/cab_inspect.h"
#include "tests/cabforge/cab/crt_driver.h"
#include "tests/cabforge/cab/test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <functional>
#include <map>
#include <sstream>

using namespace cabtest;

namespace {

struct Entry {
    std::string name; // in the cabinet, '\' separated
    std::string bytes;
};

struct Case {
    const char *label;
    std::function<std::vector<Entry>()> make;
};

const char *const kWineDlls = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/";

std::string wineDll(const char *name) {
    std::string bytes;
    readFile(std::string(kWineDlls) + name, &bytes);
    return bytes;
}

std::vector<Case> cases() {
    return {
        {"empty file",
         [] {
             return std::vector<Entry>{{"empty.txt", ""}};
         }},
        {"one byte",
         [] {
             return std::vector<Entry>{{"one.bin", "x"}};
         }},
        {"7 8 9 bytes",
         [] {
             return std::vector<Entry>{
                 {"seven", "1234567"}, {"eight", "\xE8\x01\x02\x03\x04\x05\x06\x07"}, {"nine", "abcdefghi"}};
         }},
        {"block edges",
         [] {
             return std::vector<Entry>{{"a32767", textBytes(32767, 1)},
                                       {"b32768", randomBytes(32768, 2)},
                                       {"c32769", textBytes(32769, 3)}};
         }},
        {"window edges",
         [] {
             std::string half = textBytes(1 << 20, 4);
             return std::vector<Entry>{{"w-1", half + half.substr(0, (1 << 20) - 1)},
                                       {"w+1", half + randomBytes(1 << 20, 5) + "z"}};
         }},
        {"3 x 1 MB random",
         [] {
             return std::vector<Entry>{{"r1", randomBytes(1 << 20, 6)},
                                       {"r2", randomBytes(1 << 20, 7)},
                                       {"r3", randomBytes(1 << 20, 8)}};
         }},
        {"long runs",
         [] {
             return std::vector<Entry>{{"zeros", std::string(3 << 20, '\0')},
                                       {"ones", std::string(100000, '\xFF') + "end"}};
         }},
        {"text and PE files",
         [] {
             return std::vector<Entry>{{"readme.txt", textBytes(300000, 9)},
                                       {"bin\\kernel32.dll", wineDll("kernel32.dll")},
                                       {"bin\\cabinet.dll", wineDll("cabinet.dll")},
                                       {"bin\\extrac32.exe", wineDll("extrac32.exe")},
                                       {"notes.txt", textBytes(5000, 10)}};
         }},
        {"1000 small files",
         [] {
             std::vector<Entry> v;
             for (int i = 0; i < 1000; ++i)
                 v.push_back({"many\\f" + std::to_string(i) + ".txt", textBytes(i % 97, 100 + i)});
             return v;
         }},
        {"non-ASCII and long names",
         [] {
             return std::vector<Entry>{{"Gr\xC3\xBC\xC3\x9F"
                                        "e\\\xE8\xAA\xAD\xE3\x82\x80.txt",
                                        "Hallo"},
                                       {"\xF0\x9F\x93\xA6 box.bin", randomBytes(40000, 11)},
                                       {std::string(251, 'n') + ".txt", "long name"}};
         }},
        {"smaller LZX windows",
         [] {
             std::string dll = wineDll("cabinet.dll").substr(0, 120000);
             return std::vector<Entry>{
                 {"a.txt", textBytes(70000, 12)}, {"b.dll", dll}, {"c.txt", textBytes(70000, 12)}};
         }},
    };
}

// Per-entry date, time and attributes, varied so that a mix-up shows.
void metadataFor(std::size_t i, FileEntry *f) {
    const unsigned year = 1990 + i % 40, month = 1 + i % 12, day = 1 + i % 28;
    const unsigned hour = i % 24, minute = (i * 7) % 60, second2 = (i * 3) % 30;
    f->date = static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
    f->time = static_cast<std::uint16_t>(hour << 11 | minute << 5 | second2);
    static const std::uint16_t kAttribs[] = {0xA0, 0x80, 0x81, 0xA2, 0xA4, 0x20, 0x00};
    f->attribs = kAttribs[i % 7];
}

std::string dateText(const FileEntry &f, bool dayFirst) {
    char buf[32];
    const unsigned y = (f.date >> 9) + 1980, mo = (f.date >> 5) & 15, d = f.date & 31;
    const unsigned h = f.time >> 11, mi = (f.time >> 5) & 63, s = (f.time & 31) * 2;
    if (dayFirst)
        std::snprintf(buf, sizeof buf, "%02u.%02u.%04u %02u:%02u:%02u", d, mo, y, h, mi, s);
    else
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", y, mo, d, h, mi, s);
    return buf;
}

std::string slashes(std::string s) {
    for (char &c : s)
        if (c == '\\')
            c = '/';
    return s;
}

// Extracted tree == the entries, byte for byte.
void expectTree(const std::string &dir, const std::vector<Entry> &entries, const char *reader) {
    SCOPED_TRACE(reader);
    EXPECT_EQ(listFiles(dir).size(), entries.size());
    for (const Entry &e : entries) {
        std::string got;
        if (!readFile(dir + "/" + slashes(e.name), &got)) {
            ADD_FAILURE() << "missing " << e.name;
            continue;
        }
        EXPECT_TRUE(got == e.bytes) << e.name << ": " << got.size() << " bytes, expected " << e.bytes.size();
    }
}

// 7-Zip's attribute letters for the CAB attribute bits it shows.
std::string attribLetters(std::uint16_t a) {
    std::string s;
    if (a & 0x01)
        s += 'R';
    if (a & 0x02)
        s += 'H';
    if (a & 0x04)
        s += 'S';
    if (a & 0x20)
        s += 'A';
    return s;
}

// Key = value blocks of `7z l -slt`, by Path.
std::map<std::string, std::map<std::string, std::string>> sevenZipListing(const std::string &text) {
    std::map<std::string, std::map<std::string, std::string>> items;
    std::istringstream in(
        text.substr(text.find("----------") == std::string::npos ? 0 : text.find("----------")));
    std::string line, path;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find(" = ");
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
        if (key == "Path")
            path = value;
        items[path][key] = value;
    }
    return items;
}

void checkCabinet(const std::string &cab, const std::vector<Entry> &entries,
                  const std::vector<FileEntry> &wanted, std::uint16_t type, const std::string &work) {
    std::string bytes;
    ASSERT_TRUE(readFile(cab, &bytes));
    const CabInfo info = inspectCabinet(bytes);
    ASSERT_EQ(info.problem, "");
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.setId, 12345);
    ASSERT_EQ(info.folders.size(), 1u);
    EXPECT_EQ(info.folders[0].type, type);
    ASSERT_EQ(info.entries.size(), entries.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const CabEntry &e = info.entries[i];
        EXPECT_EQ(e.name, entries[i].name);
        EXPECT_EQ(e.size, entries[i].bytes.size());
        EXPECT_EQ(e.offset, total);
        EXPECT_EQ(e.date, wanted[i].date);
        EXPECT_EQ(e.time, wanted[i].time);
        const bool high = entries[i].name.find_first_of(std::string("\x80\xff", 1)) != std::string::npos ||
                          std::any_of(entries[i].name.begin(), entries[i].name.end(),
                                      [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
        EXPECT_EQ(e.attribs, wanted[i].attribs | (high ? 0x80 : 0));
        total += entries[i].bytes.size();
    }
    EXPECT_EQ(info.folders[0].uncompressed, total);
    EXPECT_EQ(info.folders[0].blockCount, (total + 32767) / 32768);

    // cabextract: test, list, extract.
    RunResult r = run("cabextract -t " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("failed"), std::string::npos) << r.output;
    r = run("cabextract -l " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string want = dateText(wanted[i], true) + " | " + slashes(entries[i].name);
        EXPECT_NE(r.output.find(want), std::string::npos) << "cabextract -l lacks: " << want;
    }
    const std::string outC = work + "/x-cabextract";
    r = run("cabextract -q -d " + quote(outC) + " " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    run("chmod -R u+rwX " + quote(outC));
    expectTree(outC, entries, "cabextract");

    // 7-Zip: test, list with details, extract.
    r = run("7z t " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Everything is Ok"), std::string::npos) << r.output;
    r = run("7z l -slt " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    auto listing = sevenZipListing(r.output);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::string path = slashes(entries[i].name);
        auto it = listing.find(path);
        if (it == listing.end()) {
            ADD_FAILURE() << "7z l lacks " << path;
            continue;
        }
        EXPECT_EQ(it->second["Modified"], dateText(wanted[i], false)) << path;
        EXPECT_EQ(it->second["Attributes"].substr(0, attribLetters(wanted[i].attribs).size()),
                  attribLetters(wanted[i].attribs))
            << path << " attributes " << it->second["Attributes"];
        EXPECT_EQ(it->second["Size"], std::to_string(entries[i].bytes.size())) << path;
    }
    const std::string out7 = work + "/x-7z";
    r = run("7z x -y -o" + quote(out7) + " " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    expectTree(out7, entries, "7z");

    // gcab (1.5 decodes stored, MSZIP and LZX): extract; it only lists with -t.
    const std::string outG = work + "/x-gcab";
    run("mkdir -p " + quote(outG));
    r = run("gcab -x -C " + quote(outG) + " " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    expectTree(outG, entries, "gcab");
}

struct Param {
    std::size_t caseIndex;
    std::uint16_t type;
    int lzxLevel;
};

class ReaderRoundTrip : public ::testing::TestWithParam<Param> {};

TEST_P(ReaderRoundTrip, AllReadersAgree) {
    const Case c = cases()[GetParam().caseIndex];
    const std::uint16_t type = GetParam().type;
    SCOPED_TRACE(c.label);
    const std::vector<Entry> entries = c.make();
    const std::string work = makeTempDir();
    ASSERT_FALSE(work.empty());
    std::vector<FileEntry> wanted;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        FileEntry f;
        f.source = work + "/src/" + std::to_string(i);
        f.name = entries[i].name;
        metadataFor(i, &f);
        writeFile(f.source, entries[i].bytes);
        wanted.push_back(f);
        total += entries[i].bytes.size();
    }
    run("mkdir -p " + quote(work + "/tmp"));
    cabw::CabinetParams params{};
    params.setId = 12345;
    params.cabinetNumber = 1;
    params.lzxLevel = GetParam().lzxLevel;
    const std::string cab = work + "/out.cab";
    const BuildResult b = buildCabinet(cab, wanted, type, params, work + "/tmp");
    ASSERT_TRUE(b.ok) << b.failedStep << " error " << b.error.code << " errno " << b.error.errnoType;
    EXPECT_EQ(b.openDescriptors, 0);
    EXPECT_EQ(b.tempFilesLeft, 0);
    EXPECT_TRUE(listFiles(work + "/tmp").empty());
    EXPECT_EQ(b.statusUncompressed, total);
    checkCabinet(cab, entries, wanted, type, work);
    if (!HasFailure())
        removeTree(work);
    else
        std::fprintf(stderr, "kept %s\n", work.c_str());
}

std::vector<Param> params() {
    std::vector<Param> v;
    const std::size_t n = cases().size();
    const std::size_t manySmallFiles = 8;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        v.push_back({i, cabw::kCompressMszip, cabw::kLzxLevelDefault});
#ifdef CABTEST_HAVE_LZX
        v.push_back({i, cabw::kCompressLzx21, cabw::kLzxLevelDefault});
        // The maximum level's own parser, on every shape but the one that tests the readers' file tables.
        if (i != manySmallFiles)
            v.push_back({i, cabw::kCompressLzx21, cabw::kLzxLevelMax});
#endif
    }
    // Stored folders for the block-edge and many-file shapes.
    v.push_back({3, cabw::kCompressNone, cabw::kLzxLevelDefault});
    v.push_back({manySmallFiles, cabw::kCompressNone, cabw::kLzxLevelDefault});
#ifdef CABTEST_HAVE_LZX
    // Every LZX window the format allows.
    for (unsigned bits = 15; bits <= 20; ++bits)
        v.push_back({n - 1, cabw::compressLzx(bits), cabw::kLzxLevelDefault});
#endif
    return v;
}

std::string paramName(const ::testing::TestParamInfo<Param> &info) {
    std::string s = cases()[info.param.caseIndex].label;
    for (char &ch : s)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    const std::uint16_t t = info.param.type;
    if (t == cabw::kCompressNone)
        return s + "_stored";
    if (t == cabw::kCompressMszip)
        return s + "_mszip";
    return s + "_lzx" + std::to_string(t >> 8) + (info.param.lzxLevel == cabw::kLzxLevelMax ? "_max" : "");
}

INSTANTIATE_TEST_SUITE_P(Cases, ReaderRoundTrip, ::testing::ValuesIn(params()), paramName);

// A change of compression type starts a new folder; reserve areas are written as zero bytes. Every
// reader must still find each file.
TEST(ReaderRoundTrip, FoldersAndReserveAreas) {
    const std::string work = makeTempDir();
    struct Item {
        Entry entry;
        std::uint16_t type;
    };
    std::vector<Item> items = {{{"one.txt", textBytes(50000, 21)}, cabw::kCompressMszip},
                               {{"two.bin", randomBytes(40000, 22)}, cabw::kCompressNone},
                               {{"three.txt", textBytes(70000, 23)}, cabw::kCompressMszip},
#ifdef CABTEST_HAVE_LZX
                               {{"four.txt", textBytes(90000, 24)}, cabw::kCompressLzx21},
                               {{"five.txt", textBytes(10, 25)}, cabw::compressLzx(16)},
#endif
                               {{"six.txt", textBytes(33000, 26)}, cabw::kCompressMszip}};
    run("mkdir -p " + quote(work + "/tmp"));
    std::vector<Entry> entries;
    const std::string cab = work + "/out.cab";
    std::vector<FileEntry> wanted;
    for (std::size_t i = 0; i < items.size(); ++i) {
        FileEntry f;
        f.source = work + "/src/" + std::to_string(i);
        f.name = items[i].entry.name;
        writeFile(f.source, items[i].entry.bytes);
        wanted.push_back(f);
        entries.push_back(items[i].entry);
    }
    cabw::CabinetParams params{};
    params.setId = 12345;
    params.reserveHeader = 100;
    params.reserveFolder = 10;
    params.reserveData = 20;
    std::vector<std::uint16_t> types;
    for (const Item &it : items)
        types.push_back(it.type);
    const BuildResult b = buildCabinetMixed(cab, wanted, types, params, work + "/tmp");
    ASSERT_TRUE(b.ok) << b.failedStep << " error " << b.error.code;
    std::string bytes;
    ASSERT_TRUE(readFile(cab, &bytes));
    const CabInfo info = inspectCabinet(bytes);
    ASSERT_EQ(info.problem, "");
    EXPECT_EQ(info.folders.size(), items.size());
    RunResult r = run("cabextract -q -d " + quote(work + "/x-cabextract") + " " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    expectTree(work + "/x-cabextract", entries, "cabextract");
    r = run("7z x -y -o" + quote(work + "/x-7z") + " " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    expectTree(work + "/x-7z", entries, "7z");
    run("mkdir -p " + quote(work + "/x-gcab"));
    r = run("gcab -x -C " + quote(work + "/x-gcab") + " " + quote(cab));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    expectTree(work + "/x-gcab", entries, "gcab");
    if (!HasFailure())
        removeTree(work);
}

// The known-good cabinet of one file "a.txt" = "abc", byte for byte.
TEST(GoldenCabinet, MszipAbc) {
    const std::string work = makeTempDir();
    writeFile(work + "/abc", "abc");
    run("mkdir -p " + quote(work + "/tmp"));
    FileEntry f;
    f.source = work + "/abc";
    f.name = "a.txt";
    cabw::CabinetParams params{};
    params.setId = 12345;
    const BuildResult b = buildCabinet(work + "/g.cab", {f}, cabw::kCompressMszip, params, work + "/tmp");
    ASSERT_TRUE(b.ok);
    std::string got;
    ASSERT_TRUE(readFile(work + "/g.cab", &got));
    const unsigned char want[] = {
        0x4D, 0x53, 0x43, 0x46, 0x00, 0x00, 0x00, 0x00, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2C,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x39, 0x30,
        0x00, 0x00, 0x42, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0xB1, 0x58, 0xAF, 0x6D, 0xA0, 0x00, 0x61, 0x2E, 0x74, 0x78, 0x74, 0x00, 0x44, 0x4D,
        0x02, 0x4C, 0x07, 0x00, 0x03, 0x00, 0x43, 0x4B, 0x4B, 0x4C, 0x4A, 0x06, 0x00};
    EXPECT_EQ(got, std::string(reinterpret_cast<const char *>(want), sizeof want));
    removeTree(work);
}

} // namespace
