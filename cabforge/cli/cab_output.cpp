#include "cabforge/cli/cab_output.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "cabforge/core/cab/cab_flow.h"
#include "cabforge/core/cab/open_flags.h"

namespace cfcli {

namespace {

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

// A modification time as the cabinet records it: in local time, or, for a reproducible build, the
// earlier of it and the epoch, in UTC.
cabflow::Stamp stampOf(std::time_t when, const OutputSettings &settings) {
    cabflow::Stamp stamp;
    std::tm parts = {};
    const std::time_t t = settings.reproducible && settings.epoch < when ? settings.epoch : when;
    if (!(settings.reproducible ? gmtime_r(&t, &parts) : localtime_r(&t, &parts)))
        return stamp;
    stamp.year = parts.tm_year + 1900;
    stamp.month = parts.tm_mon + 1;
    stamp.day = parts.tm_mday;
    stamp.hour = parts.tm_hour;
    stamp.minute = parts.tm_min;
    stamp.second = parts.tm_sec;
    return stamp;
}

// One build: the POSIX file system as the cabinet build reaches it. The cabinet goes to a temporary
// file beside the output, written through the descriptor it was created with and renamed only once
// it is complete and on the disk.
class Build : public cabflow::FileAccess {
  public:
    Build(const std::string &output, const std::vector<InputFile> &files, const OutputSettings &settings)
        : m_output(output), m_files(files), m_settings(settings), m_tempFolder(tempFolder()),
          m_progress(settings.showProgress, totalBytes(files)) {}
    ~Build() {
        if (m_cabinetFd >= 0)
            ::close(m_cabinetFd);
    }
    Build(const Build &) = delete;
    Build &operator=(const Build &) = delete;

    bool run(std::string &message);

    bool probe(std::size_t index, std::uint64_t &size) override {
        size = m_files[index].size;
        return true; // a file gone since the listing fails when it is opened
    }
    std::intptr_t openSource(std::size_t index, cabflow::SourceInfo &info, int *err) override;
    bool tempName(char *buffer, int bufferSize) override;
    std::intptr_t openTemp(const char *name, int oflag, int pmode, int *err) override;
    int removeTemp(const char *name, int *err) override;
    std::intptr_t openCabinet(int, int, int *err) override;
    int removeCabinet(int *err) override;
    int close(std::intptr_t fd, int *err) override;
    bool progress(std::size_t, std::uint64_t done, std::uint64_t) override {
        m_progress.update(done, false);
        return true;
    }

  private:
    static std::uint64_t totalBytes(const std::vector<InputFile> &files) {
        std::uint64_t total = 0;
        for (const InputFile &f : files)
            total += f.size;
        return total;
    }

    bool createTemp(std::string &message);

    const std::string &m_output;
    const std::vector<InputFile> &m_files;
    const OutputSettings &m_settings;
    std::string m_tempFolder;
    std::string m_tempPath;         // the cabinet until it is complete
    int m_cabinetFd = -1;           // its descriptor, from its creation to the end of the build
    bool m_cabinetOpen = false;     // handed to the writer and not yet closed by it
    std::set<std::string> m_spills; // temporary files unlinked as soon as they were opened
    ProgressLine m_progress;
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
    m_cabinetFd = fd;
    // mkstemp creates the file for its owner only; the cabinet gets the mode a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return true;
}

bool Build::run(std::string &message) {
    if (!createTemp(message))
        return false;
    InterruptCleanup cleanup(m_tempPath);
    std::vector<cabflow::Entry> entries(m_files.size());
    for (std::size_t i = 0; i < m_files.size(); ++i)
        entries[i] = {m_files[i].source, m_files[i].name};
    cabflow::Settings settings;
    settings.compression = m_settings.compression;
    settings.fixedSizes = true;
    settings.folderSize = m_settings.folderSize;
    settings.jobs = m_settings.jobs;
    settings.reserveHeader = m_settings.reserve;
    cabflow::Failure failure;
    if (!cabflow::build(entries, settings, *this, failure)) {
        m_progress.abandon();
        unlink(m_tempPath.c_str());
        message = cabflow::describeFailure(failure, entries, {m_output, m_tempFolder},
                                           cabflow::englishFailureTexts());
        return false;
    }
    m_progress.update(totalBytes(m_files), true);
    // The name is renamed, not the descriptor: it must still be the file that was written.
    struct stat written, named;
    if (fstat(m_cabinetFd, &written) != 0 || lstat(m_tempPath.c_str(), &named) != 0 ||
        written.st_dev != named.st_dev || written.st_ino != named.st_ino) {
        message =
            m_output + ": the temporary cabinet " + m_tempPath + " was replaced while it was being written";
        return false;
    }
    if (rename(m_tempPath.c_str(), m_output.c_str()) != 0) {
        message = m_output + ": cannot replace: " + std::strerror(errno);
        unlink(m_tempPath.c_str());
        return false;
    }
    return true;
}

// ---- File access ----

// Opened without following a link (unless links are followed), and only when it is still the file
// the listing saw: a file or link put in its place since is refused, not packed.
std::intptr_t Build::openSource(std::size_t index, cabflow::SourceInfo &info, int *err) {
    const InputFile &file = m_files[index];
    const int fd =
        ::open(file.source.c_str(), O_RDONLY | O_CLOEXEC | (m_settings.followSymlinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        *err = errno == ELOOP && !m_settings.followSymlinks ? cabflow::kErrnoReplaced : errno;
        return -1;
    }
    struct stat st;
    const int problem = fstat(fd, &st) != 0                                   ? errno
                        : st.st_dev != file.device || st.st_ino != file.inode ? cabflow::kErrnoReplaced
                        : static_cast<std::uint64_t>(st.st_size) != file.size ? cabflow::kErrnoSizeChanged
                                                                              : 0;
    if (problem != 0) {
        *err = problem;
        ::close(fd);
        return -1;
    }
    info.modified = stampOf(file.modified, m_settings);
    info.readOnly = file.readOnly;
    info.archive = true;
    return fd;
}

// A name in the temporary folder that nobody holds: mkstemp's, released at once; the writer then
// creates it exclusively, so nothing can take its place in between.
bool Build::tempName(char *buffer, int bufferSize) {
    std::string pattern = m_tempFolder + "/cabforge-cli.XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0)
        return false;
    ::close(fd);
    unlink(pattern.c_str());
    if (pattern.size() + 1 > static_cast<std::size_t>(bufferSize))
        return false;
    std::memcpy(buffer, pattern.c_str(), pattern.size() + 1);
    m_spills.insert(pattern);
    return true;
}

std::intptr_t Build::openTemp(const char *name, int oflag, int pmode, int *err) {
    const mode_t mode = (pmode & cabw::kPermWrite) ? 0600 : 0400;
    const int fd = ::open(name, cabw::toCrtOpenFlags(oflag) | O_CLOEXEC, mode);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    // The writer keeps its spill files open until it deletes them: they need no name meanwhile,
    // and none is left behind whatever happens to this process.
    if (m_spills.count(name))
        unlink(name);
    return fd;
}

int Build::removeTemp(const char *name, int *err) {
    if (m_spills.erase(name))
        return 0; // unlinked when it was opened
    if (unlink(name) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}

// The temporary cabinet is empty and open since its creation; it is never opened again by name.
std::intptr_t Build::openCabinet(int, int, int *err) {
    if (m_cabinetFd < 0 || m_cabinetOpen) {
        *err = EBADF;
        return -1;
    }
    m_cabinetOpen = true;
    return m_cabinetFd;
}

int Build::removeCabinet(int *err) {
    if (unlink(m_tempPath.c_str()) != 0 && errno != ENOENT) {
        *err = errno;
        return -1;
    }
    return 0;
}

// The cabinet's data must be on the disk before it takes the output's name; its descriptor stays
// open until the name is checked and renamed.
int Build::close(std::intptr_t fd, int *err) {
    if (m_cabinetOpen && static_cast<int>(fd) == m_cabinetFd) {
        m_cabinetOpen = false;
        if (fsync(m_cabinetFd) != 0) {
            *err = errno;
            return -1;
        }
        return 0;
    }
    if (::close(static_cast<int>(fd)) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}

} // namespace

bool writeCabinet(const std::string &output, const std::vector<InputFile> &files,
                  const OutputSettings &settings, std::string &message) {
    Build build(output, files, settings);
    return build.run(message);
}

} // namespace cfcli
