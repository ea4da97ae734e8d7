// The cabinet build of both archive builders, cabforge.exe and cabforge-cli: one build list in,
// one cabinet out. The flow owns the writer's calling sequence, the cabinet header's values, the
// entries' compression types, date and attribute records, and the failure record; a front end
// gives only its file access (FileAccess) and turns a failure into its own message with
// describeFailure.
//
// The calling sequence is the one the platform's cabinet library asks for: create, flushFolder
// before the first entry, addFile for every entry in list order, flushCabinet with the
// get-next-cabinet request, destroy (also on every failure path).
//
// Portable: no platform header; builds with MSVC, GCC and Clang. No exception leaves it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cabforge/core/cab/archive_names.h"
#include "cabforge/core/cab/cab_writer.h"

namespace cabflow {

// Header values every cabinet of ours carries.
constexpr std::uint16_t kSetId = 12345;
constexpr int kCabinetNumber = 1;

// Error numbers a front end stores for what the C runtime has no number for (its are positive):
// a source whose size differs from the size it was listed with, and a source that is no longer the
// file that was listed (another file, or a link, put in its place).
constexpr int kErrnoSizeChanged = -1000;
constexpr int kErrnoReplaced = -1001;
// A failure that is not any entry's.
constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);

// One entry of the build list: where its bytes come from and its name in the archive, both UTF-8.
struct Entry {
    std::string source;
    std::string name;
};

struct Compression {
    std::uint16_t type = cabw::kCompressLzx21; // cabw::kCompress* or cabw::compressLzx(bits)
    int lzxLevel = cabw::kLzxLevelDefault;
    // The builder's rule for the default compression: a build list of exactly one entry of 7, 8
    // or 9 bytes is packed with MSZIP.
    bool loneSmallEntryMszip = true;
};

struct Settings {
    Compression compression;
    // Set when the sizes a front end reports from probe are the sizes it listed: reading more or
    // fewer bytes then fails the build with kErrnoSizeChanged instead of storing what was read.
    bool fixedSizes = false;
    // 0: every entry in one folder, added in list order on the calling thread (cabforge.exe).
    // Otherwise entries are grouped, in order, into folders of about this many bytes of input (a
    // folder closes once it holds at least that much; an entry is never split), and each folder is
    // compressed on its own: its bytes depend only on its entries, so the cabinet is the same
    // whatever `jobs` is.
    std::uint64_t folderSize = 0;
    // With folders: how many are compressed at the same time, on as many threads (1: on the calling
    // thread). At most `jobs` folders are compressed or wait, compressed, in memory for their turn.
    unsigned jobs = 1;
    // Bytes reserved in the cabinet header (0 to cabw::kMaxHeaderReserve), for a signature.
    std::uint32_t reserveHeader = 0;
};

// A modification time as the front end broke it down (in local time, or in UTC).
struct Stamp {
    int year = 0; // 0: unknown; the entry gets the format's zero date
    int month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// What the flow records of an opened source besides its bytes.
struct SourceInfo {
    Stamp modified;
    bool readOnly = false, hidden = false, system = false, archive = false;
};

// The file system as a front end reaches it. Names are UTF-8; descriptors and error numbers are
// the C runtime's, as the cabinet writer's callbacks hand them on.
class FileAccess {
  public:
    // With Settings::jobs above 1, probe and progress are called on the thread that runs build(),
    // but openSource, and read and close on the descriptors it returned, on the compressing threads
    // too, at the same time for different sources.
    // The size of source `index` now; false when it does not exist, and the entry is left out.
    virtual bool probe(std::size_t index, std::uint64_t &size) = 0;
    // Opens source `index` for reading and describes it; -1 with *err set on failure.
    virtual std::intptr_t openSource(std::size_t index, SourceInfo &info, int *err) = 0;
    // A fresh name for a temporary file that the writer then creates exclusively.
    virtual bool tempName(char *buffer, int bufferSize) = 0;
    virtual std::intptr_t openTemp(const char *name, int oflag, int pmode, int *err) = 0;
    virtual int removeTemp(const char *name, int *err) = 0;
    // The cabinet being written, and its removal when it could not be completed.
    virtual std::intptr_t openCabinet(int oflag, int pmode, int *err) = 0;
    virtual int removeCabinet(int *err) = 0;
    // Descriptor operations, by default the C runtime's: a short write counts as a full disk.
    virtual int read(std::intptr_t fd, void *buffer, unsigned count, int *err);
    virtual int write(std::intptr_t fd, const void *buffer, unsigned count, int *err);
    virtual int close(std::intptr_t fd, int *err);
    virtual long seek(std::intptr_t fd, long offset, int origin, int *err);
    // While entry `index` (`fileSize` bytes) is packed, `done` bytes of the build list so far;
    // false stops the build.
    virtual bool progress(std::size_t index, std::uint64_t done, std::uint64_t fileSize);

  protected:
    ~FileAccess() = default;
};

// Which of the format's limits a kErrFormatLimit failure met.
enum class Limit { None, Files, FolderBytes, CabinetBytes };

// Why a build failed: the writer's error record and the entry at fault (kNoEntry for the cabinet),
// or that no entry was left to pack.
struct Failure {
    cabw::ErrorRecord error;
    std::size_t entry = kNoEntry;
    std::uint64_t entrySize = 0; // the size the entry at fault was listed with
    Limit limit = Limit::None;
    bool nothingToPack = false;
};

// Writes the cabinet of `entries`. False with `failure` filled on any failure (nothing is then left
// under the cabinet: the writer removes what it began).
bool build(const std::vector<Entry> &entries, const Settings &settings, FileAccess &access, Failure &failure);

// The folders of a grouped build: the indices of the present entries, in order, cut into folders
// of at least `folderSize` bytes (the last fewer) and never more than a folder holds, unless one
// entry alone does.
std::vector<std::vector<std::size_t>> planFolders(const std::vector<std::uint64_t> &sizes,
                                                  const std::vector<bool> &present, std::uint64_t folderSize);

// The compression type of an entry of `fileSize` bytes in a build list of `entryCount` entries.
std::uint16_t entryCompressionType(const Compression &compression, std::size_t entryCount,
                                   std::uint64_t fileSize);

// MS-DOS date and time of a stamp; both 0 outside 1980-2107, the years the format can hold.
void dosDateTime(const Stamp &stamp, std::uint16_t &date, std::uint16_t &time);

// The texts of a failure line. %1% is the path at fault; %2%, %3% and %4% are said per text. A
// text with fewer placeholders drops the surplus values.
struct FailureTexts {
    std::string sourceGone;        // vanished since it was listed
    std::string sourceChanged;     // %2%: the size it was listed with
    std::string sourceReplaced;    // another file in its place since it was listed
    std::string sourceUnreadable;  // %2%: the reason
    std::string tempUnwritable;    // %1%: the temporary folder; %2%: the reason
    std::string cabinetUnwritable; // %2%: the reason
    std::string outOfMemory;
    std::string cabinetTooLarge;
    std::string tooManyFiles;   // %2%: the number of files a cabinet holds
    std::string folderTooLarge; // %2%: the bytes a folder holds
    std::string nameTooLong;    // %2%: the name; %3%: its bytes; %4%: the most a cabinet takes
    std::string nameNotUtf8;
    std::string nameUnsafe; // %2%: the name; %3%: what is wrong with it (nameProblem)
    std::string cancelled;
    std::string nothingToPack; // %1%: the cabinet
    std::string writerFailed;  // %1%: the cabinet; %2%: the writer's error code
    // An error number stored by a callback, in words.
    std::string (*reason)(int err) = nullptr;
    // A name problem in words.
    std::string (*nameProblem)(cabw::NameProblem problem) = nullptr;
};

// The texts of cabforge-cli (English, with the C runtime's error texts).
FailureTexts englishFailureTexts();

// Where the paths of a failure line come from.
struct FailurePaths {
    std::string cabinet;    // the output as the user named it
    std::string tempFolder; // where temporary files go
};

// One line naming the file at fault and the reason.
std::string describeFailure(const Failure &failure, const std::vector<Entry> &entries,
                            const FailurePaths &paths, const FailureTexts &texts);

// Replaces %1%, %2%, ... in `text` by `values` in order.
std::string formatText(const std::string &text, const std::vector<std::string> &values);

} // namespace cabflow
