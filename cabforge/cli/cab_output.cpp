#include "cabforge/cli/cab_output.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "cabforge/core/cab/cab_writer.h"
#include "cabforge/core/cab/open_flags.h"
#include "cabforge/core/cmdline/pack_rules.h"

namespace cfcli {

namespace {

// The header values cabforge.exe writes, so that both programs' cabinets carry the same header.
const std::uint16_t kSetId = 12345;
const int kCabinetNumber = 1;
// The name the writer is given for the cabinet; the callbacks open the temporary file in its place,
// so that the output path is not bound by the writer's 255-byte name fields.
const char kCabinetToken[] = "<cabinet>";
// The errno-style value the read callbacks report when a source's size differs from its listing.
const int kErrSizeChanged = -1000;
// How often the progress line is redrawn.
const std::chrono::milliseconds kProgressInterval(200);

// The temporary cabinet, removed if the process is interrupted (a signal handler may only use a
// fixed buffer).
char g_interruptedTemp[4096];

void removeTempAndReraise(int signalNumber) {
    if (g_interruptedTemp[0])
        unlink(g_interruptedTemp);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

class InterruptCleanup {
  public:
    explicit InterruptCleanup(const std::string &tempPath) {
        if (tempPath.size() >= sizeof g_interruptedTemp)
            return;
        std::memcpy(g_interruptedTemp, tempPath.c_str(), tempPath.size() + 1);
        struct sigaction action = {};
        action.sa_handler = removeTempAndReraise;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < sizeof kCleanupSignals / sizeof kCleanupSignals[0]; ++i)
            sigaction(kCleanupSignals[i], &action, &m_previous[i]);
        m_installed = true;
    }
    ~InterruptCleanup() {
        if (!m_installed)
            return;
        for (std::size_t i = 0; i < sizeof kCleanupSignals / sizeof kCleanupSignals[0]; ++i)
            sigaction(kCleanupSignals[i], &m_previous[i], nullptr);
        g_interruptedTemp[0] = '\0';
    }
    InterruptCleanup(const InterruptCleanup &) = delete;
    InterruptCleanup &operator=(const InterruptCleanup &) = delete;

  private:
    bool m_installed = false;
    struct sigaction m_previous[sizeof kCleanupSignals / sizeof kCleanupSignals[0]] = {};
};

std::string folderOf(const std::string &path) {
    const std::size_t cut = path.find_last_of('/');
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

std::string tempFolder() {
    const char *t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

// MS-DOS date and time of a modification time in local time; both 0 outside 1980-2107, the years
// the format can express.
void dosDateTime(std::time_t when, std::uint16_t &date, std::uint16_t &time) {
    date = 0;
    time = 0;
    std::tm local = {};
    if (!localtime_r(&when, &local) || local.tm_year < 80 || local.tm_year > 207)
        return;
    const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    date =
        static_cast<std::uint16_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    time = static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (second / 2));
}

std::string megabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    return text;
}

// "12.3 MB of 45.6 MB (27%), 5.1 MB/s" on standard error, redrawn in place.
class ProgressLine {
  public:
    ProgressLine(bool enabled, std::uint64_t total)
        : m_enabled(enabled), m_total(total), m_start(std::chrono::steady_clock::now()), m_last(m_start) {}

    void update(std::uint64_t done, bool final) {
        if (!m_enabled)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!final && now - m_last < kProgressInterval)
            return;
        m_last = now;
        const double seconds = std::chrono::duration<double>(now - m_start).count();
        const int percent = m_total ? static_cast<int>(done * 100 / m_total) : 100;
        const std::string rate = seconds > 0 ? megabytes(static_cast<double>(done) / seconds) + "/s" : "-";
        std::fprintf(stderr, "\r%s of %s (%d%%), %s\x1b[K%s", megabytes(static_cast<double>(done)).c_str(),
                     megabytes(static_cast<double>(m_total)).c_str(), percent, rate.c_str(),
                     final ? "\n" : "");
        std::fflush(stderr);
        m_drawn = !final;
    }

    // Ends a line left unfinished, so that a message that follows starts on a line of its own.
    void abandon() {
        if (m_drawn)
            std::fputc('\n', stderr);
        m_drawn = false;
    }

  private:
    bool m_enabled;
    bool m_drawn = false;
    std::uint64_t m_total;
    std::chrono::steady_clock::time_point m_start, m_last;
};

// One build: the state the writer's callbacks share.
class Build {
  public:
    Build(const std::string &output, const std::vector<InputFile> &files, const OutputSettings &settings)
        : m_output(output), m_files(files), m_settings(settings), m_tempFolder(tempFolder()),
          m_progress(settings.showProgress, totalBytes(files)) {}

    bool run(std::string &message);

  private:
    static std::uint64_t totalBytes(const std::vector<InputFile> &files) {
        std::uint64_t total = 0;
        for (const InputFile &f : files)
            total += f.size;
        return total;
    }

    bool createTemp(std::string &message);
    bool writeAll();
    std::string failureMessage() const;
    std::uint16_t compressionType(const InputFile &file) const;

    static Build *self(void *context) { return static_cast<Build *>(context); }
    static void *alloc(std::size_t size, void *) { return std::calloc(1, size ? size : 1); }
    static void release(void *block, void *) { std::free(block); }
    static std::intptr_t open(const char *name, int oflag, int pmode, int *err, void *context);
    static int read(std::intptr_t fd, void *buffer, unsigned count, int *err, void *context);
    static int write(std::intptr_t fd, const void *buffer, unsigned count, int *err, void *context);
    static int close(std::intptr_t fd, int *err, void *context);
    static long seek(std::intptr_t fd, long offset, int origin, int *err, void *context);
    static int remove(const char *name, int *err, void *context);
    static bool tempName(char *buffer, int bufferSize, void *context);
    static bool nextCabinet(cabw::CabinetParams *params, unsigned long previousSize, void *context);
    static long status(unsigned typeStatus, unsigned long cb1, unsigned long cb2, void *context);
    static std::intptr_t openSource(const char *source, std::uint16_t *date, std::uint16_t *time,
                                    std::uint16_t *attribs, int *err, void *context);

    const std::string &m_output;
    const std::vector<InputFile> &m_files;
    const OutputSettings &m_settings;
    std::string m_tempFolder;
    std::string m_tempPath; // the cabinet until it is complete
    int m_cabinetFd = -1;
    std::set<std::string> m_spills; // temporary files unlinked as soon as they were opened

    std::size_t m_current = 0; // index of the source being read
    int m_sourceFd = -1;
    std::uint64_t m_sourceRead = 0;
    std::uint64_t m_done = 0;
    ProgressLine m_progress;
    cabw::ErrorRecord m_error;
};

bool Build::createTemp(std::string &message) {
    const std::string folder = folderOf(m_output);
    std::string pattern = folder + "/.cabforge-cli.XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0) {
        message = m_output + ": cannot write in " + folder + ": " + std::strerror(errno);
        return false;
    }
    m_tempPath = pattern;
    // mkstemp creates the file for its owner only; the cabinet gets the mode a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    ::close(fd);
    return true;
}

std::uint16_t Build::compressionType(const InputFile &file) const {
    switch (m_settings.compression) {
    case Compression::Lzx:
        return cfcmd::entryCompressionType(m_files.size(), file.size);
    case Compression::LzxFast:
    case Compression::LzxMax:
        return cabw::kCompressLzx21;
    case Compression::Mszip:
        return cabw::kCompressMszip;
    case Compression::None:
        break;
    }
    return cabw::kCompressNone;
}

// The same calls, in the same order, as cabforge.exe makes them.
bool Build::writeAll() {
    cabw::CabinetParams params{};
    params.cabinetNumber = kCabinetNumber;
    params.setId = kSetId;
    params.lzxLevel = m_settings.compression == Compression::LzxFast  ? cabw::kLzxLevelFast
                      : m_settings.compression == Compression::LzxMax ? cabw::kLzxLevelMax
                                                                      : cabw::kLzxLevelDefault;
    std::memcpy(params.cabinetName, kCabinetToken, sizeof kCabinetToken);

    cabw::Callbacks callbacks = {alloc, release, open, read, write, close, seek, remove, tempName, nullptr};
    cabw::Handle writer = cabw::create(&m_error, callbacks, params, this);
    if (!writer)
        return false;
    bool ok = cabw::flushFolder(writer, nextCabinet, status);
    // m_current stays on a file that failed, for the message.
    for (m_current = 0; ok && m_current < m_files.size();) {
        const InputFile &file = m_files[m_current];
        ok = cabw::addFile(writer, file.source.c_str(), file.name.c_str(), false, nextCabinet, status,
                           openSource, compressionType(file));
        if (ok)
            ++m_current;
    }
    if (ok)
        ok = cabw::flushCabinet(writer, true, nextCabinet, status);
    return cabw::destroy(writer) && ok;
}

std::string Build::failureMessage() const {
    const std::string source = m_current < m_files.size() ? m_files[m_current].source : m_output;
    const int err = m_error.errnoType;
    const std::string reason = err > 0 ? std::strerror(err) : "failed";
    switch (m_error.code) {
    case cabw::kErrOpenSource:
    case cabw::kErrReadSource:
        if (err == kErrSizeChanged)
            return source + ": changed size while the cabinet was being written (listed with " +
                   std::to_string(m_files[m_current].size) + " bytes)";
        if (err == ENOENT)
            return source + ": no longer exists (removed while the cabinet was being written)";
        return source + ": cannot read: " + reason;
    case cabw::kErrTempFile:
        return m_tempFolder + ": cannot write a temporary file: " + reason;
    case cabw::kErrCabinetFile:
        return m_output + ": cannot write: " + reason;
    case cabw::kErrOutOfMemory:
        return m_output + ": out of memory";
    case cabw::kErrFormatLimit:
        return m_output + ": the cabinet would exceed the format's size limit";
    default:
        return m_output + ": the cabinet writer failed (error " + std::to_string(m_error.code) + ")";
    }
}

bool Build::run(std::string &message) {
    if (!createTemp(message))
        return false;
    InterruptCleanup cleanup(m_tempPath);
    if (!writeAll()) {
        m_progress.abandon();
        unlink(m_tempPath.c_str());
        message = failureMessage();
        return false;
    }
    m_progress.update(m_done, true);
    if (rename(m_tempPath.c_str(), m_output.c_str()) != 0) {
        message = m_output + ": cannot replace: " + std::strerror(errno);
        unlink(m_tempPath.c_str());
        return false;
    }
    return true;
}

// ---- Writer callbacks ----

std::intptr_t Build::open(const char *name, int oflag, int pmode, int *err, void *context) {
    Build *b = self(context);
    const bool cabinet = std::strcmp(name, kCabinetToken) == 0;
    const std::string path = cabinet ? b->m_tempPath : name;
    const mode_t mode = (pmode & cabw::kPermWrite) ? 0600 : 0400;
    const int fd = ::open(path.c_str(), cabw::toCrtOpenFlags(oflag) | O_CLOEXEC, mode);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (cabinet) {
        b->m_cabinetFd = fd;
    } else if (b->m_spills.count(path)) {
        // The writer keeps its spill files open until it deletes them: they need no name meanwhile,
        // and none is left behind whatever happens to this process.
        unlink(path.c_str());
    }
    return fd;
}

int Build::read(std::intptr_t fd, void *buffer, unsigned count, int *err, void *context) {
    Build *b = self(context);
    const ssize_t n = ::read(static_cast<int>(fd), buffer, count);
    if (n < 0) {
        *err = errno;
        return -1;
    }
    if (static_cast<int>(fd) == b->m_sourceFd) {
        const std::uint64_t expected = b->m_files[b->m_current].size;
        b->m_sourceRead += static_cast<std::uint64_t>(n);
        if (b->m_sourceRead > expected || (n == 0 && b->m_sourceRead != expected)) {
            *err = kErrSizeChanged;
            return -1;
        }
    }
    return static_cast<int>(n);
}

int Build::write(std::intptr_t fd, const void *buffer, unsigned count, int *err, void *) {
    const ssize_t n = ::write(static_cast<int>(fd), buffer, count);
    if (n != static_cast<ssize_t>(count))
        *err = n < 0 ? errno : ENOSPC;
    return static_cast<int>(n);
}

int Build::close(std::intptr_t fd, int *err, void *context) {
    Build *b = self(context);
    int result = 0;
    // The cabinet's data must be on the disk before it takes the output's name.
    if (static_cast<int>(fd) == b->m_cabinetFd) {
        b->m_cabinetFd = -1;
        if (fsync(static_cast<int>(fd)) != 0) {
            *err = errno;
            result = -1;
        }
    }
    if (static_cast<int>(fd) == b->m_sourceFd)
        b->m_sourceFd = -1;
    if (::close(static_cast<int>(fd)) != 0 && result == 0) {
        *err = errno;
        result = -1;
    }
    return result;
}

long Build::seek(std::intptr_t fd, long offset, int origin, int *err, void *) {
    const off_t r = ::lseek(static_cast<int>(fd), offset, origin);
    if (r < 0)
        *err = errno;
    return static_cast<long>(r);
}

int Build::remove(const char *name, int *err, void *context) {
    Build *b = self(context);
    if (b->m_spills.erase(name))
        return 0; // unlinked when it was opened
    const std::string path = std::strcmp(name, kCabinetToken) == 0 ? b->m_tempPath : name;
    if (unlink(path.c_str()) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}

// A name in the temporary folder that nobody holds: mkstemp's, released at once; the writer then
// creates it exclusively, so nothing can take its place in between.
bool Build::tempName(char *buffer, int bufferSize, void *context) {
    Build *b = self(context);
    std::string pattern = b->m_tempFolder + "/cabforge-cli.XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0)
        return false;
    ::close(fd);
    unlink(pattern.c_str());
    if (pattern.size() + 1 > static_cast<std::size_t>(bufferSize))
        return false;
    std::memcpy(buffer, pattern.c_str(), pattern.size() + 1);
    b->m_spills.insert(pattern);
    return true;
}

bool Build::nextCabinet(cabw::CabinetParams *params, unsigned long, void *) {
    // Only one cabinet is ever written.
    return params != nullptr;
}

long Build::status(unsigned typeStatus, unsigned long, unsigned long cb2, void *context) {
    Build *b = self(context);
    if (typeStatus == cabw::kStatusFile) {
        b->m_done += cb2;
        b->m_progress.update(b->m_done, false);
    }
    return 0;
}

std::intptr_t Build::openSource(const char *source, std::uint16_t *date, std::uint16_t *time,
                                std::uint16_t *attribs, int *err, void *context) {
    Build *b = self(context);
    const InputFile &file = b->m_files[b->m_current];
    const int fd = ::open(source, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    struct stat st;
    const int problem = fstat(fd, &st) != 0                                   ? errno
                        : static_cast<std::uint64_t>(st.st_size) != file.size ? kErrSizeChanged
                                                                              : 0;
    if (problem != 0) {
        *err = problem;
        ::close(fd);
        return -1;
    }
    b->m_sourceFd = fd;
    b->m_sourceRead = 0;
    dosDateTime(file.modified, *date, *time);
    *attribs = static_cast<std::uint16_t>(cabw::kAttribArchive | cabw::kAttribNameIsUtf |
                                          (file.readOnly ? cabw::kAttribReadOnly : 0));
    return fd;
}

} // namespace

bool writeCabinet(const std::string &output, const std::vector<InputFile> &files,
                  const OutputSettings &settings, std::string &message) {
    Build build(output, files, settings);
    return build.run(message);
}

} // namespace cfcli
