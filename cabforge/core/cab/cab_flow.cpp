#include "cabforge/core/cab/cab_flow.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

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

// How often the thread that waits for a folder reports progress.
const std::chrono::milliseconds kProgressInterval(200);

// The temporary files of a writer that compresses one folder apart: they stay in memory, where the
// folder waits for its turn to be appended to the cabinet.
class MemoryFiles {
  public:
    bool name(char *buffer, int bufferSize) {
        const int n = std::snprintf(buffer, static_cast<std::size_t>(bufferSize), "memory:%u", m_next++);
        return n > 0 && n < bufferSize;
    }
    std::intptr_t open(const char *name) {
        m_files.push_back({name, {}, 0});
        return static_cast<std::intptr_t>(m_files.size());
    }
    int read(std::intptr_t fd, void *buffer, unsigned count, int *err) {
        File *f = at(fd, err);
        if (!f)
            return -1;
        const std::size_t n =
            f->pos < f->bytes.size() ? std::min<std::size_t>(count, f->bytes.size() - f->pos) : 0;
        if (n)
            std::memcpy(buffer, f->bytes.data() + f->pos, n);
        f->pos += n;
        return static_cast<int>(n);
    }
    int write(std::intptr_t fd, const void *buffer, unsigned count, int *err) {
        File *f = at(fd, err);
        if (!f)
            return -1;
        try {
            if (f->bytes.size() < f->pos + count)
                f->bytes.resize(f->pos + count);
        } catch (const std::bad_alloc &) {
            *err = ENOMEM;
            return -1;
        }
        std::memcpy(f->bytes.data() + f->pos, buffer, count);
        f->pos += count;
        return static_cast<int>(count);
    }
    long seek(std::intptr_t fd, long offset, int origin, int *err) {
        File *f = at(fd, err);
        if (!f)
            return -1;
        const long base = origin == cabw::kSeekSet   ? 0
                          : origin == cabw::kSeekCur ? static_cast<long>(f->pos)
                                                     : static_cast<long>(f->bytes.size());
        if (base + offset < 0) {
            *err = EINVAL;
            return -1;
        }
        f->pos = static_cast<std::size_t>(base + offset);
        return static_cast<long>(f->pos);
    }
    int close(std::intptr_t fd, int *err) { return at(fd, err) ? 0 : -1; }
    int remove(const char *name) {
        for (File &f : m_files) {
            if (f.name == name)
                std::vector<unsigned char>().swap(f.bytes);
        }
        return 0;
    }

  private:
    struct File {
        std::string name;
        std::vector<unsigned char> bytes;
        std::size_t pos;
    };
    File *at(std::intptr_t fd, int *err) {
        if (fd < 1 || static_cast<std::size_t>(fd) > m_files.size()) {
            *err = EBADF;
            return nullptr;
        }
        return &m_files[static_cast<std::size_t>(fd) - 1];
    }
    std::vector<File> m_files;
    unsigned m_next = 0;
};

// What the writers of one grouped build share across threads.
struct Shared {
    std::atomic<std::uint64_t> done{0}; // uncompressed bytes compressed so far, in every folder
    std::atomic<bool> stop{false};      // set on a failure or Cancel: folders still compressing give up
};

// One writer's run: what its callbacks share. The cabinet's writer uses the front end's files; a
// writer compressing one folder apart (`memory` set) keeps its temporary files in memory.
struct Run {
    FileAccess &access;
    const std::vector<Entry> &entries;
    const Settings &settings;
    const std::vector<std::uint64_t> &sizes; // as probed
    MemoryFiles *memory = nullptr;
    Shared *shared = nullptr;       // with folders compressed apart
    bool reportsProgress = true;    // the progress callback is called from this writer's thread
    std::size_t current = kNoEntry; // the entry being added (or last added, while the cabinet is flushed)
    std::intptr_t sourceFd = -1;    // the front end's descriptor of the open source
    std::uint64_t sourceRead = 0;
    std::uint64_t done = 0; // uncompressed bytes this writer reported
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
    if (run.memory)
        return run.memory->open(name);
    return isCabinet(name) ? run.access.openCabinet(oflag, pmode, err)
                           : run.access.openTemp(name, oflag, pmode, err);
}

// Reads of the source are counted: with fixed sizes, more or fewer bytes than listed fail.
int readFile(std::intptr_t fd, void *buffer, unsigned count, int *err, void *context) {
    Run &run = runOf(context);
    if (fd != kSourceDescriptor)
        return run.memory ? run.memory->read(fd, buffer, count, err)
                          : run.access.read(fd, buffer, count, err);
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
    Run &run = runOf(context);
    return run.memory ? run.memory->write(fd, buffer, count, err) : run.access.write(fd, buffer, count, err);
}

int closeFile(std::intptr_t fd, int *err, void *context) {
    Run &run = runOf(context);
    if (fd != kSourceDescriptor)
        return run.memory ? run.memory->close(fd, err) : run.access.close(fd, err);
    const std::intptr_t source = run.sourceFd;
    run.sourceFd = -1;
    return run.access.close(source, err);
}

long seekFile(std::intptr_t fd, long offset, int origin, int *err, void *context) {
    Run &run = runOf(context);
    return run.memory ? run.memory->seek(fd, offset, origin, err) : run.access.seek(fd, offset, origin, err);
}

int deleteFile(const char *name, int *err, void *context) {
    Run &run = runOf(context);
    if (run.memory)
        return run.memory->remove(name);
    return isCabinet(name) ? run.access.removeCabinet(err) : run.access.removeTemp(name, err);
}

bool tempFile(char *buffer, int bufferSize, void *context) {
    Run &run = runOf(context);
    return run.memory ? run.memory->name(buffer, bufferSize) : run.access.tempName(buffer, bufferSize);
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
    std::uint64_t done = run.done;
    if (run.shared) {
        done = run.shared->done += uncompressed;
        if (run.shared->stop)
            return -1;
    }
    const std::uint64_t size = run.current < run.sizes.size() ? run.sizes[run.current] : 0;
    return !run.reportsProgress || run.access.progress(run.current, done, size) ? 0 : -1;
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
    params.reserveHeader = settings.reserveHeader;
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

namespace {

// Destroys a writer; a failure to clean up must not hide a failure that came first.
bool destroyWriter(cabw::Handle writer, bool ok, cabw::ErrorRecord &error) {
    const cabw::ErrorRecord first = error;
    if (!cabw::destroy(writer) && ok)
        return false;
    if (!ok)
        error = first;
    return ok;
}

// With nothing added the writer would write no cabinet at all: that is a failure, not an archive
// that does not exist.
bool finishCabinet(cabw::Handle writer, std::size_t added, Failure &failure) {
    if (added == 0) {
        failure.nothingToPack = true;
        return false;
    }
    if (cabw::flushCabinet(writer, true, nextCabinet, status))
        return true;
    failure.limit = Limit::CabinetBytes;
    return false;
}

// One folder, in list order, on the calling thread: the calling sequence of the platform's library.
bool buildOneFolder(Run &run, const std::vector<bool> &present, Failure &failure) {
    const std::vector<Entry> &entries = run.entries;
    cabw::Handle writer = cabw::create(&failure.error, writerCallbacks(), cabinetParams(run.settings), &run);
    if (!writer)
        return false;
    bool ok = entries.empty() || cabw::flushFolder(writer, nextCabinet, status);
    std::size_t added = 0;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; ok && i < entries.size(); ++i) {
        if (!present[i])
            continue; // gone before the build: the archive is written without it
        run.current = i;
        const std::uint16_t type =
            entryCompressionType(run.settings.compression, entries.size(), run.sizes[i]);
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
    ok = ok && finishCabinet(writer, added, failure);
    return destroyWriter(writer, ok, failure.error);
}

// One folder compressed by a writer of its own, whose temporary files stay in memory until the
// folder is appended to the cabinet.
struct FolderJob {
    std::vector<std::size_t> items;
    std::size_t addedBefore = 0; // present entries in the folders before this one
    MemoryFiles memory;
    std::unique_ptr<Run> run;
    cabw::ErrorRecord error; // the part writer's, which must outlive it
    cabw::Handle part = nullptr;
    bool ok = false;
    bool done = false;
    std::size_t failedEntry = kNoEntry;
    Limit limit = Limit::None;
};

void compressFolder(FolderJob &job) {
    Run &run = *job.run;
    job.part = cabw::create(&job.error, writerCallbacks(), cabinetParams(run.settings), &run);
    if (!job.part)
        return;
    std::uint64_t bytes = 0;
    for (std::size_t n = 0; n < job.items.size(); ++n) {
        const std::size_t i = job.items[n];
        run.current = i;
        const std::uint16_t type =
            entryCompressionType(run.settings.compression, run.entries.size(), run.sizes[i]);
        if (!cabw::addFile(job.part, run.entries[i].source.c_str(), run.entries[i].name.c_str(), false,
                           nextCabinet, status, openSource, type)) {
            job.failedEntry = i;
            job.limit = limitMet(job.addedBefore + n, bytes, run.sizes[i]);
            return;
        }
        bytes += run.sizes[i];
    }
    job.ok = cabw::flushFolder(job.part, nextCabinet, status);
    if (!job.ok)
        job.failedEntry = job.items.back();
}

// The folder's failure as the build's.
void takeFailure(FolderJob &job, const std::vector<std::uint64_t> &sizes, Failure &failure) {
    failure.error = job.error;
    failure.entry = job.failedEntry;
    failure.entrySize = job.failedEntry < sizes.size() ? sizes[job.failedEntry] : 0;
    failure.limit = job.limit;
}

// Appends a compressed folder to the cabinet and lets its writer go.
bool appendFolder(cabw::Handle writer, FolderJob &job, Failure &failure) {
    bool ok = cabw::appendFolders(writer, job.part);
    if (!ok)
        failure.limit = Limit::Files;
    cabw::destroy(job.part);
    job.part = nullptr;
    return ok;
}

// Compresses the folders one after the other on the calling thread and appends each.
bool compressInOrder(cabw::Handle writer, std::vector<FolderJob> &jobs, const Run &cabinet,
                     Failure &failure) {
    for (FolderJob &job : jobs) {
        compressFolder(job);
        if (!job.ok) {
            takeFailure(job, cabinet.sizes, failure);
            return false;
        }
        if (!appendFolder(writer, job, failure))
            return false;
    }
    return true;
}

// Compresses the folders on `threads` threads and appends them in order: a folder starts only when
// fewer than `threads` folders are compressing or waiting before it, so at most that many are held
// in memory. The thread that called build() waits for each folder in turn, reporting progress.
bool compressInParallel(cabw::Handle writer, std::vector<FolderJob> &jobs, unsigned threads, Run &cabinet,
                        Shared &shared, Failure &failure) {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t nextToStart = 0, nextToAppend = 0;
    bool quit = false;
    auto work = [&]() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] {
                return quit || (nextToStart < jobs.size() && nextToStart < nextToAppend + threads);
            });
            if (quit)
                return;
            FolderJob &job = jobs[nextToStart++];
            lock.unlock();
            compressFolder(job);
            lock.lock();
            job.done = true;
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads && t < jobs.size(); ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error &) {
            break; // fewer threads than asked for
        }
    }
    if (pool.empty()) {
        for (FolderJob &job : jobs)
            job.run->reportsProgress = true;
        return compressInOrder(writer, jobs, cabinet, failure);
    }
    bool ok = true;
    for (std::size_t k = 0; ok && k < jobs.size(); ++k) {
        FolderJob &job = jobs[k];
        std::unique_lock<std::mutex> lock(mutex);
        while (!changed.wait_for(lock, kProgressInterval, [&] { return job.done; })) {
            lock.unlock();
            const std::size_t at = job.items.front();
            const bool goOn = cabinet.access.progress(at, shared.done, cabinet.sizes[at]);
            lock.lock();
            if (!goOn) {
                shared.stop = true;
                failure.error.code = cabw::kErrUserAbort;
                failure.error.error = true;
                failure.entry = at;
                ok = false;
                break;
            }
        }
        lock.unlock();
        if (!ok)
            break;
        if (!job.ok) {
            shared.stop = true;
            takeFailure(job, cabinet.sizes, failure);
            ok = false;
            break;
        }
        ok = appendFolder(writer, job, failure);
        lock.lock();
        nextToAppend = k + 1;
        changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
        shared.stop = true;
    }
    changed.notify_all();
    for (std::thread &t : pool)
        t.join();
    return ok;
}

// Entries grouped into folders, each compressed by a writer of its own, appended in order to the
// cabinet's writer.
bool buildFolders(Run &cabinet, const std::vector<bool> &present, Failure &failure) {
    const Settings &settings = cabinet.settings;
    const std::vector<std::vector<std::size_t>> plan =
        planFolders(cabinet.sizes, present, settings.folderSize);
    if (plan.empty()) {
        failure.nothingToPack = true;
        return false;
    }
    Shared shared;
    std::vector<FolderJob> jobs(plan.size());
    std::size_t added = 0;
    for (std::size_t k = 0; k < plan.size(); ++k) {
        FolderJob &job = jobs[k];
        job.items = plan[k];
        job.addedBefore = added;
        added += job.items.size();
        job.run.reset(new Run{cabinet.access, cabinet.entries, settings, cabinet.sizes});
        job.run->memory = &job.memory;
        job.run->shared = &shared;
        job.run->reportsProgress = settings.jobs <= 1;
    }
    cabw::Handle writer = cabw::create(&failure.error, writerCallbacks(), cabinetParams(settings), &cabinet);
    if (!writer)
        return false;
    bool ok = settings.jobs > 1 ? compressInParallel(writer, jobs, settings.jobs, cabinet, shared, failure)
                                : compressInOrder(writer, jobs, cabinet, failure);
    for (FolderJob &job : jobs)
        cabw::destroy(job.part); // those left by a failure
    ok = ok && finishCabinet(writer, added, failure);
    return destroyWriter(writer, ok, failure.error);
}

} // namespace

std::vector<std::vector<std::size_t>> planFolders(const std::vector<std::uint64_t> &sizes,
                                                  const std::vector<bool> &present,
                                                  std::uint64_t folderSize) {
    std::vector<std::vector<std::size_t>> folders;
    std::vector<std::size_t> folder;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (!present[i])
            continue;
        if (!folder.empty() && bytes + sizes[i] > cabw::kMaxFolderBytes) {
            folders.push_back(std::move(folder));
            folder.clear();
            bytes = 0;
        }
        folder.push_back(i);
        bytes += sizes[i];
        if (bytes >= folderSize) {
            folders.push_back(std::move(folder));
            folder.clear();
            bytes = 0;
        }
    }
    if (!folder.empty())
        folders.push_back(std::move(folder));
    return folders;
}

bool build(const std::vector<Entry> &entries, const Settings &settings, FileAccess &access,
           Failure &failure) {
    failure = Failure();
    std::vector<std::uint64_t> sizes(entries.size());
    std::vector<bool> present(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        present[i] = access.probe(i, sizes[i]);
    Run run{access, entries, settings, sizes};
    return settings.folderSize == 0 ? buildOneFolder(run, present, failure)
                                    : buildFolders(run, present, failure);
}

} // namespace cabflow
