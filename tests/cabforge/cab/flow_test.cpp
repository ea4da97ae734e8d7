// Catches names that would let an extracted entry land outside its folder, and a shared cabinet
// build that loses the reason of a failure: the archive's name rule, the build flow's records and
// skip rule over real files, and the failure line each error record becomes.
#include "cabforge/core/cab/archive_names.h"
#include "cabforge/core/cab/cab_flow.h"
#include "tests/cabforge/cab/cab_inspect.h"
#include "tests/cabforge/cab/test_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cabtest;
using cabw::NameProblem;

namespace {

TEST(NameRule, RefusesEveryWayOutOfTheFolder) {
    const struct {
        const char *name;
        NameProblem problem;
    } cases[] = {
        {"docs\\readme.txt", NameProblem::None},
        {"Gr\xC3\xBC\xC3\x9F"
         "e\\\xE8\xAA\xAD.txt",
         NameProblem::None},
        {"console.txt", NameProblem::None},
        {"COM0", NameProblem::None},
        {"a..b", NameProblem::None},
        {"", NameProblem::EmptyComponent},
        {"\\d.txt", NameProblem::EmptyComponent},
        {"a\\\\b", NameProblem::EmptyComponent},
        {"a\\", NameProblem::EmptyComponent},
        {"..\\..\\Windows\\a.txt", NameProblem::DotComponent},
        {"a\\.\\b", NameProblem::DotComponent},
        {"a/b", NameProblem::Separator},
        {"C:\\b.txt", NameProblem::Colon},
        {"a:b", NameProblem::Colon},
        {"tab\there", NameProblem::Control},
        {"del\x7F", NameProblem::Control},
        {"c1\xC2\x85", NameProblem::Control},
        {"x.", NameProblem::TrailingDotOrSpace},
        {"dir \\x", NameProblem::TrailingDotOrSpace},
        {"con", NameProblem::DeviceName},
        {"sub\\CON.txt", NameProblem::DeviceName},
        {"Lpt9.tar.gz", NameProblem::DeviceName},
        {"nul .txt", NameProblem::DeviceName},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cabw::nameProblem(c.name), c.problem);
    }
    // One component may not hold a separator of either kind.
    EXPECT_EQ(cabw::componentProblem("a\\b"), NameProblem::Separator);
    EXPECT_EQ(cabw::componentProblem("readme.txt"), NameProblem::None);
}

// The file system of the build: a folder of real files, the cabinet at `cabinet`.
class TestFiles : public cabflow::FileAccess {
  public:
    explicit TestFiles(const std::string &dir) : m_dir(dir), m_cabinet(dir + "/out.cab") {}

    bool probe(std::size_t index, std::uint64_t &size) override {
        struct stat st;
        if (stat(sources.at(index).c_str(), &st) != 0)
            return false;
        size = static_cast<std::uint64_t>(st.st_size) + sizeOffset;
        return true;
    }
    std::intptr_t openSource(std::size_t index, cabflow::SourceInfo &info, int *err) override {
        if (index == vanishing)
            unlink(sources[index].c_str());
        info.modified = stamp;
        info.readOnly = true;
        info.archive = true;
        return openTemp(sources[index].c_str(), cabw::kOpenReadOnly, 0, err);
    }
    bool tempName(char *buffer, int bufferSize) override {
        const std::string name = m_dir + "/spill" + std::to_string(m_spills++);
        std::snprintf(buffer, static_cast<std::size_t>(bufferSize), "%s", name.c_str());
        return true;
    }
    std::intptr_t openTemp(const char *name, int oflag, int, int *err) override {
        int flags = (oflag & 3) == cabw::kOpenReadWrite ? O_RDWR : O_RDONLY;
        if (oflag & cabw::kOpenCreate)
            flags |= O_CREAT | O_EXCL;
        const int fd = ::open(name, flags, 0600);
        if (fd < 0)
            *err = errno;
        return fd;
    }
    int removeTemp(const char *name, int *err) override {
        const int r = unlink(name);
        if (r != 0)
            *err = errno;
        return r;
    }
    std::intptr_t openCabinet(int, int, int *err) override {
        const int fd = ::open(m_cabinet.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            *err = errno;
        return fd;
    }
    int removeCabinet(int *err) override { return removeTemp(m_cabinet.c_str(), err); }
    bool progress(std::size_t index, std::uint64_t, std::uint64_t) override {
        progressed.push_back(index);
        return true;
    }

    std::vector<std::string> sources;
    std::vector<std::size_t> progressed;
    std::size_t vanishing = cabflow::kNoEntry;
    std::uint64_t sizeOffset = 0;
    cabflow::Stamp stamp{2024, 5, 17, 13, 45, 31};
    const std::string &cabinet() const { return m_cabinet; }

  private:
    std::string m_dir, m_cabinet;
    int m_spills = 0;
};

class Flow : public ::testing::Test {
  protected:
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { removeTree(dir); }

    std::vector<cabflow::Entry> files(TestFiles &fs, std::vector<std::pair<std::string, std::string>> list) {
        std::vector<cabflow::Entry> entries;
        for (auto &f : list) {
            const std::string path = dir + "/" + f.first;
            if (!f.second.empty())
                writeFile(path, f.second);
            fs.sources.push_back(path);
            entries.push_back({path, f.first});
        }
        return entries;
    }

    std::string line(const cabflow::Failure &failure, const std::vector<cabflow::Entry> &entries) {
        return cabflow::describeFailure(failure, entries, {"out.cab", "tmp"}, cabflow::englishFailureTexts());
    }

    std::string dir;
};

TEST_F(Flow, RecordsHeaderDatesAttributesAndSkipsMissingSources) {
    TestFiles fs(dir);
    const auto entries = files(fs, {{"a.txt", "alpha"}, {"gone.txt", ""}, {"b.txt", "12345678"}});
    cabflow::Failure failure;
    ASSERT_TRUE(cabflow::build(entries, cabflow::Settings(), fs, failure));
    std::string bytes;
    ASSERT_TRUE(readFile(fs.cabinet(), &bytes));
    const CabInfo info = inspectCabinet(bytes);
    ASSERT_EQ(info.problem, "");
    EXPECT_EQ(info.setId, cabflow::kSetId);
    EXPECT_EQ(info.cabinetIndex, cabflow::kCabinetNumber);
    ASSERT_EQ(info.entries.size(), 2u);
    EXPECT_EQ(info.entries[1].name, "b.txt");
    // 2024-05-17 13:45:31: the seconds in two-second steps; read-only, archive and UTF-8 name bits.
    EXPECT_EQ(info.entries[0].date, 0x58B1);
    EXPECT_EQ(info.entries[0].time, 0x6DAF);
    EXPECT_EQ(info.entries[0].attribs, cabw::kAttribReadOnly | cabw::kAttribArchive | cabw::kAttribNameIsUtf);
    // Two entries in the list: the 8-byte file is not the lone small entry, so LZX throughout.
    ASSERT_EQ(info.folders.size(), 1u);
    EXPECT_EQ(info.folders[0].type, cabw::kCompressLzx21);
    // Progress comes per data block: the one block of these small files completes with the last.
    EXPECT_EQ(fs.progressed, std::vector<std::size_t>{2});
}

TEST_F(Flow, FailuresNameTheEntryAndTheReason) {
    TestFiles fs(dir);
    auto entries = files(fs, {{"a.txt", "alpha"}, {"b.txt", "beta"}});
    cabflow::Failure failure;
    fs.vanishing = 1;
    EXPECT_FALSE(cabflow::build(entries, cabflow::Settings(), fs, failure));
    EXPECT_EQ(failure.entry, 1u);
    EXPECT_EQ(line(failure, entries),
              dir + "/b.txt: no longer exists (removed while the cabinet was being written)");
    EXPECT_NE(access(fs.cabinet().c_str(), F_OK), 0);

    // With fixed sizes, a source that reads shorter than it was listed fails with its listed size.
    fs.vanishing = cabflow::kNoEntry;
    writeFile(dir + "/b.txt", "beta");
    fs.sizeOffset = 3;
    cabflow::Settings fixed;
    fixed.fixedSizes = true;
    EXPECT_FALSE(cabflow::build(entries, fixed, fs, failure));
    EXPECT_EQ(failure.entry, 0u);
    EXPECT_EQ(line(failure, entries),
              dir + "/a.txt: changed size while the cabinet was being written (listed with 8 bytes)");

    // Every source gone: nothing to pack, and no cabinet.
    fs.sizeOffset = 0;
    unlink((dir + "/a.txt").c_str());
    unlink((dir + "/b.txt").c_str());
    EXPECT_FALSE(cabflow::build(entries, cabflow::Settings(), fs, failure));
    EXPECT_EQ(line(failure, entries), "out.cab: nothing to pack: none of the files exists any longer");
    EXPECT_NE(access(fs.cabinet().c_str(), F_OK), 0);
}

TEST_F(Flow, FoldersCompressedAtOnceGiveTheSameBytes) {
    TestFiles fs(dir);
    std::vector<std::pair<std::string, std::string>> list;
    for (int i = 0; i < 9; ++i)
        list.push_back({"f" + std::to_string(i), randomBytes(30000 + 7000 * i, i) + textBytes(20000, i)});
    const auto entries = files(fs, list);
    cabflow::Settings settings;
    settings.folderSize = 100000;
    std::string first;
    for (unsigned jobs : {1u, 2u, 5u}) {
        SCOPED_TRACE(jobs);
        settings.jobs = jobs;
        cabflow::Failure failure;
        ASSERT_TRUE(cabflow::build(entries, settings, fs, failure));
        std::string bytes;
        ASSERT_TRUE(readFile(fs.cabinet(), &bytes));
        const CabInfo info = inspectCabinet(bytes);
        ASSERT_EQ(info.problem, "");
        EXPECT_EQ(info.folders.size(), 5u);
        EXPECT_EQ(info.entries.back().folder, 4u);
        if (first.empty())
            first = bytes;
        EXPECT_TRUE(bytes == first) << "the cabinet depends on the number of jobs";
    }
    // A source that cannot be opened fails the build with its own name, whichever thread met it,
    // and leaves no cabinet.
    unlink(fs.cabinet().c_str());
    fs.vanishing = 6;
    settings.jobs = 4;
    cabflow::Failure failure;
    EXPECT_FALSE(cabflow::build(entries, settings, fs, failure));
    EXPECT_EQ(failure.entry, 6u);
    EXPECT_EQ(line(failure, entries),
              dir + "/f6: no longer exists (removed while the cabinet was being written)");
    EXPECT_NE(access(fs.cabinet().c_str(), F_OK), 0);
}

TEST(FolderPlan, EntriesInOrderNeverSplitNorOverTheBound) {
    using Plan = std::vector<std::vector<std::size_t>>;
    const std::vector<bool> all(5, true);
    EXPECT_EQ(cabflow::planFolders({10, 10, 10, 5, 30}, all, 20), (Plan{{0, 1}, {2, 3, 4}}));
    EXPECT_EQ(cabflow::planFolders({10, 10, 10, 5, 30}, {true, false, true, true, true}, 20),
              (Plan{{0, 2}, {3, 4}}));
    EXPECT_EQ(cabflow::planFolders({50, 1, 1, 1, 1}, all, 20), (Plan{{0}, {1, 2, 3, 4}}));
    // Two files that only together exceed what a folder holds go into two folders.
    const std::uint64_t half = cabw::kMaxFolderBytes / 2 + 1;
    EXPECT_EQ(cabflow::planFolders({half, half}, {true, true}, cabw::kMaxFolderBytes), (Plan{{0}, {1}}));
    EXPECT_EQ(cabflow::planFolders({1, 2}, {false, false}, 20), Plan{});
}

TEST(FailureLine, EveryRecordSaysWhatFailed) {
    const std::vector<cabflow::Entry> entries = {
        {"src/a", "a"}, {"src/b", "..\\b"}, {"src/c", std::string(256, 'n')}};
    auto describe = [&](int code, int err, std::size_t entry, cabflow::Limit limit = cabflow::Limit::None) {
        cabflow::Failure f;
        f.error.code = code;
        f.error.errnoType = err;
        f.entry = entry;
        f.limit = limit;
        return cabflow::describeFailure(f, entries, {"out.cab", "/tmp"}, cabflow::englishFailureTexts());
    };
    EXPECT_EQ(describe(cabw::kErrOpenSource, EACCES, 0),
              std::string("src/a: cannot read: ") + std::strerror(EACCES));
    EXPECT_EQ(describe(cabw::kErrOpenSource, cabflow::kErrnoReplaced, 0),
              "src/a: is no longer the file that was listed (replaced while the cabinet was being written)");
    EXPECT_EQ(describe(cabw::kErrTempFile, ENOSPC, 0),
              std::string("/tmp: cannot write a temporary file: ") + std::strerror(ENOSPC));
    EXPECT_EQ(describe(cabw::kErrCabinetFile, ENOSPC, cabflow::kNoEntry),
              std::string("out.cab: cannot write: ") + std::strerror(ENOSPC));
    EXPECT_EQ(describe(cabw::kErrFormatLimit, 0, 0, cabflow::Limit::Files),
              "src/a: more than the 65535 files a cabinet can hold");
    EXPECT_EQ(describe(cabw::kErrFormatLimit, 0, 0, cabflow::Limit::FolderBytes),
              "src/a: more than the 2147450880 bytes a cabinet folder can hold");
    EXPECT_EQ(describe(cabw::kErrFormatLimit, 0, cabflow::kNoEntry, cabflow::Limit::CabinetBytes),
              "out.cab: the cabinet would exceed the format's size limit");
    EXPECT_EQ(describe(cabw::kErrBadName, 0, 1),
              "src/b: its name in the cabinet, ..\\b, is not a safe name: a part of it is \".\" or \"..\"");
    EXPECT_EQ(describe(cabw::kErrBadName, 0, 2), "src/c: its name in the cabinet, " + entries[2].name +
                                                     ", is 256 bytes, more than the 255 a cabinet allows");
    EXPECT_EQ(describe(cabw::kErrUserAbort, 0, 0), "src/a: stopped by the user");
    EXPECT_EQ(describe(cabw::kErrCompressor, 0, 0), "out.cab: the cabinet writer failed (error 8)");
    // Placeholders a text lacks drop their values; unknown ones stay as written.
    EXPECT_EQ(cabflow::formatText("%2% then %1%, %3%, 100%", {"a", "b"}), "b then a, %3%, 100%");
}

TEST(EntryRecords, CompressionTypeAndDates) {
    const cabflow::Compression lzx;
    EXPECT_EQ(cabflow::entryCompressionType(lzx, 1, 8), cabw::kCompressMszip);
    EXPECT_EQ(cabflow::entryCompressionType(lzx, 1, 10), cabw::kCompressLzx21);
    EXPECT_EQ(cabflow::entryCompressionType(lzx, 2, 8), cabw::kCompressLzx21);
    cabflow::Compression fast;
    fast.loneSmallEntryMszip = false;
    EXPECT_EQ(cabflow::entryCompressionType(fast, 1, 8), cabw::kCompressLzx21);
    std::uint16_t date = 1, time = 1;
    cabflow::dosDateTime({1979, 12, 31, 23, 59, 59}, date, time);
    EXPECT_EQ(date | time, 0);
    cabflow::dosDateTime({2107, 12, 31, 23, 59, 60}, date, time);
    EXPECT_EQ(date, (127 << 9) | (12 << 5) | 31);
    EXPECT_EQ(time, (23 << 11) | (59 << 5) | 29);
    cabflow::dosDateTime({2108, 1, 1, 0, 0, 0}, date, time);
    EXPECT_EQ(date | time, 0);
}

} // namespace
