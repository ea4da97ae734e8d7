#include "tests/cabforge/cab/crt_driver.h"

#include "cabforge/core/cab/open_flags.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#define TB_OPEN _open
#define TB_READ _read
#define TB_WRITE _write
#define TB_CLOSE _close
#define TB_LSEEK _lseek
#else
#include <unistd.h>
#define TB_OPEN ::open
#define TB_READ ::read
#define TB_WRITE ::write
#define TB_CLOSE ::close
#define TB_LSEEK ::lseek
#ifndef O_BINARY
#define O_BINARY 0
#endif
#endif

namespace cabtest {
namespace {

struct Context {
    const std::vector<FileEntry> *files;
    std::string tempDir;
    int tempCounter = 0;
    std::set<std::string> tempNames;
    std::set<std::intptr_t> open;
    BuildResult *result;
};

Context *ctx(void *p) {
    return static_cast<Context *>(p);
}

void *cbAlloc(std::size_t size, void *) {
    return std::calloc(1, size ? size : 1);
}
void cbFree(void *p, void *) {
    std::free(p);
}

std::intptr_t cbOpen(const char *name, int oflag, int pmode, int *err, void *c) {
    int mode = 0;
    if (pmode & cabw::kPermRead)
        mode |= S_IREAD;
    if (pmode & cabw::kPermWrite)
        mode |= S_IWRITE;
    const int fd = TB_OPEN(name, cabw::toCrtOpenFlags(oflag), mode);
    if (fd == -1) {
        *err = errno;
        return -1;
    }
    ctx(c)->open.insert(fd);
    return fd;
}

int cbRead(std::intptr_t fd, void *buf, unsigned count, int *err, void *) {
    const int n = static_cast<int>(TB_READ(static_cast<int>(fd), buf, count));
    if (n < 0)
        *err = errno;
    return n;
}

int cbWrite(std::intptr_t fd, const void *buf, unsigned count, int *err, void *) {
    const int n = static_cast<int>(TB_WRITE(static_cast<int>(fd), buf, count));
    if (n != static_cast<int>(count))
        *err = n < 0 ? errno : ENOSPC;
    return n;
}

int cbClose(std::intptr_t fd, int *err, void *c) {
    ctx(c)->open.erase(fd);
    if (TB_CLOSE(static_cast<int>(fd)) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}

long cbSeek(std::intptr_t fd, long offset, int origin, int *err, void *) {
    const long r = static_cast<long>(TB_LSEEK(static_cast<int>(fd), offset, origin));
    if (r < 0)
        *err = errno;
    return r;
}

int cbDelete(const char *name, int *err, void *c) {
    ctx(c)->tempNames.erase(name);
    if (std::remove(name) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}

bool cbTempFile(char *buf, int size, void *c) {
    Context *x = ctx(c);
    const std::string name = x->tempDir + "/cabtmp" + std::to_string(++x->tempCounter);
    if (static_cast<int>(name.size()) + 1 > size)
        return false;
    std::memcpy(buf, name.c_str(), name.size() + 1);
    x->tempNames.insert(name);
    return true;
}

int cbFilePlaced(const cabw::CabinetParams *, const char *, long, bool, void *) {
    return 0;
}

bool cbNextCabinet(cabw::CabinetParams *params, unsigned long, void *) {
    // The builder names the same cabinet again; the writer must not chain to it.
    (void)params;
    return true;
}

long cbStatus(unsigned type, unsigned long cb1, unsigned long cb2, void *c) {
    if (type == cabw::kStatusFile) {
        ctx(c)->result->statusCompressed += cb1;
        ctx(c)->result->statusUncompressed += cb2;
    }
    return 0;
}

std::intptr_t cbOpenInfo(const char *source, std::uint16_t *date, std::uint16_t *time, std::uint16_t *attribs,
                         int *err, void *c) {
    for (const FileEntry &f : *ctx(c)->files) {
        if (f.source == source) {
            *date = f.date;
            *time = f.time;
            *attribs = f.attribs;
            return cbOpen(source, cabw::kOpenReadOnly | cabw::kOpenBinary, 0, err, c);
        }
    }
    *err = ENOENT;
    return -1;
}

} // namespace

BuildResult buildCabinet(const std::string &cabinetPath, const std::vector<FileEntry> &files,
                         std::uint16_t compressionType, const cabw::CabinetParams &baseParams,
                         const std::string &tempDir) {
    return buildCabinetMixed(cabinetPath, files, std::vector<std::uint16_t>(files.size(), compressionType),
                             baseParams, tempDir);
}

BuildResult buildCabinetMixed(const std::string &cabinetPath, const std::vector<FileEntry> &files,
                              const std::vector<std::uint16_t> &types, const cabw::CabinetParams &baseParams,
                              const std::string &tempDir) {
    BuildResult result;
    Context c;
    c.files = &files;
    c.tempDir = tempDir;
    c.result = &result;
    cabw::Callbacks cb = {cbAlloc, cbFree, cbOpen,   cbRead,     cbWrite,
                          cbClose, cbSeek, cbDelete, cbTempFile, cbFilePlaced};
    cabw::CabinetParams params = baseParams;
    const std::size_t slash = cabinetPath.find_last_of("/\\");
    const std::string dir = slash == std::string::npos ? "" : cabinetPath.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? cabinetPath : cabinetPath.substr(slash + 1);
    std::snprintf(params.cabinetPath, sizeof params.cabinetPath, "%s", dir.c_str());
    std::snprintf(params.cabinetName, sizeof params.cabinetName, "%s", base.c_str());

    cabw::Handle h = cabw::create(&result.error, cb, params, &c);
    if (!h) {
        result.failedStep = "create";
        return result;
    }
    bool ok = cabw::flushFolder(h, cbNextCabinet, cbStatus);
    if (!ok)
        result.failedStep = "flushFolder";
    for (std::size_t i = 0; ok && i < files.size(); ++i) {
        ok = cabw::addFile(h, files[i].source.c_str(), files[i].name.c_str(), false, cbNextCabinet, cbStatus,
                           cbOpenInfo, types[i]);
        if (!ok)
            result.failedStep = "addFile " + files[i].name;
    }
    if (ok) {
        ok = cabw::flushCabinet(h, true, cbNextCabinet, cbStatus);
        if (!ok)
            result.failedStep = "flushCabinet";
    }
    const cabw::ErrorRecord kept = result.error;
    if (!cabw::destroy(h) && ok) {
        ok = false;
        result.failedStep = "destroy";
    } else if (!ok) {
        result.error = kept;
    }
    result.ok = ok;
    result.openDescriptors = static_cast<int>(c.open.size());
    result.tempFilesLeft = static_cast<int>(c.tempNames.size());
    return result;
}

} // namespace cabtest
