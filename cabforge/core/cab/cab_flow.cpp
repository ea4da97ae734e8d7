#include "cabforge/core/cab/cab_flow.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cabflow {

namespace {

// The name the writer is given for the cabinet: its open and delete go to the front end's cabinet,
// so that neither the target's length nor its encoding is bound by the writer's name fields.
const char kCabinetToken[] = "<cabinet>";
// The descriptor the writer sees for the open source; the front end's own one stays with the run,
// so that a source never shares a number with a temporary file.
const std::intptr_t kSourceDescriptor = 0x40000000;
// The attribute bits an entry keeps of its source.
const std::uint16_t kKeptAttributes =
    cabw::kAttribReadOnly | cabw::kAttribHidden | cabw::kAttribSystem | cabw::kAttribArchive;
// Sizes of the single entry that the builder packs with MSZIP.
const std::uint64_t kMszipSmallest = 7;
const std::uint64_t kMszipLargest = 9;
// MS-DOS dates: years 1980 to 2107, two-second steps.
const int kDosFirstYear = 1980;
const int kDosLastYear = 2107;

#ifdef _WIN32
int crtRead(int fd, void *buffer, unsigned count) {
    return _read(fd, buffer, count);
}
int crtWrite(int fd, const void *buffer, unsigned count) {
    return _write(fd, buffer, count);
}
int crtClose(int fd) {
    return _close(fd);
}
long crtSeek(int fd, long offset, int origin) {
    return _lseek(fd, offset, origin);
}
#else
int crtRead(int fd, void *buffer, unsigned count) {
    return static_cast<int>(::read(fd, buffer, count));
}
int crtWrite(int fd, const void *buffer, unsigned count) {
    return static_cast<int>(::write(fd, buffer, count));
}
int crtClose(int fd) {
    return ::close(fd);
}
long crtSeek(int fd, long offset, int origin) {
    return static_cast<long>(::lseek(fd, offset, origin));
}
#endif

// One build: what the writer's callbacks share.
struct Run {
    FileAccess &access;
    const std::vector<Entry> &entries;
    const Settings &settings;
    std::vector<std::uint64_t> sizes; // as probed
    std::size_t current = kNoEntry;   // the entry being added (or last added, while the cabinet is flushed)
    std::intptr_t sourceFd = -1;      // the front end's descriptor of the open source
    std::uint64_t sourceRead = 0;
    std::uint64_t done = 0; // uncompressed bytes reported so far
};

Run &runOf(void *context) {
    return *static_cast<Run *>(context);
}

bool isCabinet(const char *name) {
    return std::strcmp(name, kCabinetToken) == 0;
}

void *allocate(std::size_t size, void *) {
    return std::calloc(1, size ? size : 1);
}

void release(void *block, void *) {
    std::free(block);
}

std::intptr_t openFile(const char *name, int oflag, int pmode, int *err, void *context) {
    Run &run = runOf(context);
    return isCabinet(name) ? run.access.openCabinet(oflag, pmode, err)
                           : run.access.openTemp(name, oflag, pmode, err);
}

// Reads of the source are counted: with fixed sizes, more or fewer bytes than listed fail.
int readFile(std::intptr_t fd, void *buffer, unsigned count, int *err, void *context) {
    Run &run = runOf(context);
    if (fd != kSourceDescriptor)
        return run.access.read(fd, buffer, count, err);
    const int n = run.access.read(run.sourceFd, buffer, count, err);
    if (n < 0 || !run.settings.fixedSizes)
        return n;
    const std::uint64_t expected = run.sizes[run.current];
    run.sourceRead += static_cast<std::uint64_t>(n);
    if (run.sourceRead > expected || (n == 0 && run.sourceRead != expected)) {
        *err = kErrnoSizeChanged;
        return -1;
    }
    return n;
}

int writeFile(std::intptr_t fd, const void *buffer, unsigned count, int *err, void *context) {
    return runOf(context).access.write(fd, buffer, count, err);
}

int closeFile(std::intptr_t fd, int *err, void *context) {
    Run &run = runOf(context);
    if (fd != kSourceDescriptor)
        return run.access.close(fd, err);
    const std::intptr_t source = run.sourceFd;
    run.sourceFd = -1;
    return run.access.close(source, err);
}

long seekFile(std::intptr_t fd, long offset, int origin, int *err, void *context) {
    return runOf(context).access.seek(fd, offset, origin, err);
}

int deleteFile(const char *name, int *err, void *context) {
    Run &run = runOf(context);
    return isCabinet(name) ? run.access.removeCabinet(err) : run.access.removeTemp(name, err);
}

bool tempFile(char *buffer, int bufferSize, void *context) {
    return runOf(context).access.tempName(buffer, bufferSize);
}

bool nextCabinet(cabw::CabinetParams *params, unsigned long, void *) {
    // Only one cabinet is ever written; the next one would carry the same name.
    return params != nullptr;
}

long status(unsigned typeStatus, unsigned long, unsigned long uncompressed, void *context) {
    Run &run = runOf(context);
    if (typeStatus != cabw::kStatusFile)
        return 0;
    run.done += uncompressed;
    const std::uint64_t size = run.current < run.sizes.size() ? run.sizes[run.current] : 0;
    return run.access.progress(run.current, run.done, size) ? 0 : -1;
}

std::intptr_t openSource(const char *, std::uint16_t *date, std::uint16_t *time, std::uint16_t *attribs,
                         int *err, void *context) {
    Run &run = runOf(context);
    SourceInfo info;
    const std::intptr_t fd = run.access.openSource(run.current, info, err);
    if (fd == -1)
        return -1;
    run.sourceFd = fd;
    run.sourceRead = 0;
    dosDateTime(info.modified, *date, *time);
    const std::uint16_t found = static_cast<std::uint16_t>(
        (info.readOnly ? cabw::kAttribReadOnly : 0) | (info.hidden ? cabw::kAttribHidden : 0) |
        (info.system ? cabw::kAttribSystem : 0) | (info.archive ? cabw::kAttribArchive : 0));
    *attribs = static_cast<std::uint16_t>((found & kKeptAttributes) | cabw::kAttribNameIsUtf);
    return kSourceDescriptor;
}

cabw::Callbacks writerCallbacks() {
    cabw::Callbacks callbacks = {};
    callbacks.alloc = allocate;
    callbacks.free = release;
    callbacks.open = openFile;
    callbacks.read = readFile;
    callbacks.write = writeFile;
    callbacks.close = closeFile;
    callbacks.seek = seekFile;
    callbacks.deleteFile = deleteFile;
    callbacks.getTempFile = tempFile;
    return callbacks;
}

cabw::CabinetParams cabinetParams(const Settings &settings) {
    cabw::CabinetParams params{};
    params.cabinetNumber = kCabinetNumber;
    params.setId = kSetId;
    params.lzxLevel = settings.compression.lzxLevel;
    std::memcpy(params.cabinetName, kCabinetToken, sizeof kCabinetToken);
    return params;
}

// Which limit a format-limit failure of entry `index` met, from what was added before it.
Limit limitMet(std::size_t added, std::uint64_t bytesBefore, std::uint64_t size) {
    if (added >= cabw::kMaxFiles)
        return Limit::Files;
    if (bytesBefore + size > cabw::kMaxFolderBytes)
        return Limit::FolderBytes;
    return Limit::CabinetBytes;
}

} // namespace

int FileAccess::read(std::intptr_t fd, void *buffer, unsigned count, int *err) {
    const int n = crtRead(static_cast<int>(fd), buffer, count);
    if (n < 0)
        *err = errno;
    return n;
}

int FileAccess::write(std::intptr_t fd, const void *buffer, unsigned count, int *err) {
    const int n = crtWrite(static_cast<int>(fd), buffer, count);
    if (n < 0 || static_cast<unsigned>(n) != count)
        *err = n < 0 ? errno : ENOSPC;
    return n;
}

int FileAccess::close(std::intptr_t fd, int *err) {
    const int r = crtClose(static_cast<int>(fd));
    if (r != 0)
        *err = errno;
    return r;
}

long FileAccess::seek(std::intptr_t fd, long offset, int origin, int *err) {
    const long r = crtSeek(static_cast<int>(fd), offset, origin);
    if (r == -1)
        *err = errno;
    return r;
}

bool FileAccess::progress(std::size_t, std::uint64_t, std::uint64_t) {
    return true;
}

std::uint16_t entryCompressionType(const Compression &compression, std::size_t entryCount,
                                   std::uint64_t fileSize) {
    if (compression.loneSmallEntryMszip && entryCount == 1 && fileSize >= kMszipSmallest &&
        fileSize <= kMszipLargest)
        return cabw::kCompressMszip;
    return compression.type;
}

void dosDateTime(const Stamp &stamp, std::uint16_t &date, std::uint16_t &time) {
    date = 0;
    time = 0;
    if (stamp.year < kDosFirstYear || stamp.year > kDosLastYear)
        return;
    const int second = stamp.second > 59 ? 59 : stamp.second; // a leap second
    date = static_cast<std::uint16_t>(((stamp.year - kDosFirstYear) << 9) | (stamp.month << 5) | stamp.day);
    time = static_cast<std::uint16_t>((stamp.hour << 11) | (stamp.minute << 5) | (second / 2));
}

bool build(const std::vector<Entry> &entries, const Settings &settings, FileAccess &access,
           Failure &failure) {
    failure = Failure();
    Run run{access, entries, settings, {}};
    run.sizes.resize(entries.size());
    std::vector<bool> present(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        present[i] = access.probe(i, run.sizes[i]);

    cabw::Handle writer = cabw::create(&failure.error, writerCallbacks(), cabinetParams(settings), &run);
    if (!writer)
        return false;
    bool ok = entries.empty() || cabw::flushFolder(writer, nextCabinet, status);
    std::size_t added = 0;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; ok && i < entries.size(); ++i) {
        if (!present[i])
            continue; // gone before the build: the archive is written without it
        run.current = i;
        const std::uint16_t type = entryCompressionType(settings.compression, entries.size(), run.sizes[i]);
        ok = cabw::addFile(writer, entries[i].source.c_str(), entries[i].name.c_str(), false, nextCabinet,
                           status, openSource, type);
        if (!ok) {
            failure.entry = i;
            failure.entrySize = run.sizes[i];
            failure.limit = limitMet(added, bytes, run.sizes[i]);
            break;
        }
        ++added;
        bytes += run.sizes[i];
    }
    // With nothing added the writer would write no cabinet at all: that is a failure, not an
    // archive that does not exist.
    if (ok && added == 0) {
        ok = false;
        failure.nothingToPack = true;
    }
    if (ok) {
        ok = cabw::flushCabinet(writer, true, nextCabinet, status);
        if (!ok)
            failure.limit = Limit::CabinetBytes;
    }
    // A failure to clean up must not hide the failure that came first.
    const cabw::ErrorRecord first = failure.error;
    if (!cabw::destroy(writer) && ok)
        ok = false;
    else if (!ok)
        failure.error = first;
    return ok;
}

} // namespace cabflow
