#include "tests/cabforge/cab/mem_callbacks.h"

#include <cstdlib>
#include <cstring>

namespace cabtest {
namespace {

MemFs *fs(void *c) {
    return static_cast<MemFs *>(c);
}

bool matches(const std::string &prefix, const std::string &name) {
    return !prefix.empty() && name.compare(0, prefix.size(), prefix) == 0;
}

void *memAlloc(std::size_t size, void *c) {
    MemFs *f = fs(c);
    if (f->allocations++ == f->failAllocAt)
        return nullptr;
    ++f->liveBlocks;
    return std::calloc(1, size ? size : 1);
}

void memFree(void *p, void *c) {
    if (p) {
        --fs(c)->liveBlocks;
        std::free(p);
    }
}

std::intptr_t memOpen(const char *name, int oflag, int, int *err, void *c) {
    MemFs *f = fs(c);
    if (matches(f->failOpen, name)) {
        *err = f->failErr;
        return -1;
    }
    auto it = f->files.find(name);
    if (it == f->files.end()) {
        if (!(oflag & cabw::kOpenCreate)) {
            *err = 2; // ENOENT
            return -1;
        }
        it = f->files.emplace(name, MemFile()).first;
    } else if ((oflag & cabw::kOpenCreate) && (oflag & cabw::kOpenExclusive)) {
        *err = 17; // EEXIST
        return -1;
    }
    if (oflag & cabw::kOpenTruncate) {
        it->second.data.clear();
        it->second.size = 0;
    }
    const std::intptr_t fd = f->nextFd++;
    f->fds[fd].name = name;
    return fd;
}

int memRead(std::intptr_t fd, void *buf, unsigned count, int *err, void *c) {
    MemFs *f = fs(c);
    auto d = f->fds.find(fd);
    if (d == f->fds.end()) {
        *err = 9; // EBADF
        return -1;
    }
    MemFile &file = f->files[d->second.name];
    const std::uint64_t size = file.zeroSize ? file.zeroSize : file.data.size();
    std::uint64_t n = d->second.pos < size ? size - d->second.pos : 0;
    if (n > count)
        n = count;
    if (matches(f->failRead, d->second.name) && d->second.pos + n > f->failReadAfter) {
        *err = f->failErr;
        return -1;
    }
    if (file.zeroSize)
        std::memset(buf, 0, static_cast<std::size_t>(n));
    else
        std::memcpy(buf, file.data.data() + d->second.pos, static_cast<std::size_t>(n));
    d->second.pos += n;
    return static_cast<int>(n);
}

int memWrite(std::intptr_t fd, const void *buf, unsigned count, int *err, void *c) {
    MemFs *f = fs(c);
    auto d = f->fds.find(fd);
    if (d == f->fds.end()) {
        *err = 9;
        return -1;
    }
    MemFile &file = f->files[d->second.name];
    unsigned n = count;
    if (matches(f->failWrite, d->second.name)) {
        const std::uint64_t room = d->second.pos < f->failWriteAfter ? f->failWriteAfter - d->second.pos : 0;
        if (room < n) {
            n = static_cast<unsigned>(room);
            *err = f->failErr;
        }
    }
    if (matches(f->discardWrites, d->second.name)) {
        file.size = d->second.pos + n > file.size ? d->second.pos + n : file.size;
    } else {
        if (file.data.size() < d->second.pos + n)
            file.data.resize(static_cast<std::size_t>(d->second.pos + n));
        std::memcpy(&file.data[static_cast<std::size_t>(d->second.pos)], buf, n);
    }
    d->second.pos += n;
    return static_cast<int>(n);
}

int memClose(std::intptr_t fd, int *err, void *c) {
    MemFs *f = fs(c);
    auto d = f->fds.find(fd);
    if (d == f->fds.end()) {
        *err = 9;
        return -1;
    }
    const bool fails = matches(f->failClose, d->second.name);
    f->fds.erase(d);
    if (fails) {
        *err = f->failErr;
        return -1;
    }
    return 0;
}

long memSeek(std::intptr_t fd, long offset, int origin, int *err, void *c) {
    MemFs *f = fs(c);
    auto d = f->fds.find(fd);
    if (d == f->fds.end() || matches(f->failSeek, d->second.name)) {
        *err = d == f->fds.end() ? 9 : f->failErr;
        return -1;
    }
    const MemFile &file = f->files[d->second.name];
    const long end = static_cast<long>(file.zeroSize                  ? file.zeroSize
                                       : file.size > file.data.size() ? file.size
                                                                      : file.data.size());
    const long base = origin == cabw::kSeekSet   ? 0
                      : origin == cabw::kSeekCur ? static_cast<long>(d->second.pos)
                                                 : end;
    if (base + offset < 0) {
        *err = 22;
        return -1;
    }
    d->second.pos = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

int memDelete(const char *name, int *err, void *c) {
    MemFs *f = fs(c);
    if (matches(f->failDelete, name)) {
        *err = f->failErr;
        return -1;
    }
    if (f->files.erase(name) == 0) {
        *err = 2;
        return -1;
    }
    return 0;
}

bool memTempFile(char *buf, int size, void *c) {
    MemFs *f = fs(c);
    if (f->failTempName)
        return false;
    const std::string name = "tmp/" + std::to_string(++f->tempCounter);
    if (static_cast<int>(name.size()) >= size)
        return false;
    std::memcpy(buf, name.c_str(), name.size() + 1);
    return true;
}

int memFilePlaced(const cabw::CabinetParams *, const char *, long, bool, void *c) {
    ++fs(c)->filePlacedCalls;
    return fs(c)->filePlacedAborts ? -1 : 0;
}

} // namespace

int MemFs::countFiles(const std::string &prefix) const {
    int n = 0;
    for (const auto &kv : files)
        n += kv.first.compare(0, prefix.size(), prefix) == 0;
    return n;
}

cabw::Callbacks memCallbacks() {
    return {memAlloc, memFree, memOpen,   memRead,     memWrite,
            memClose, memSeek, memDelete, memTempFile, memFilePlaced};
}

bool memNextCabinet(cabw::CabinetParams *, unsigned long, void *c) {
    ++fs(c)->nextCabinetCalls;
    return !fs(c)->refuseNextCabinet;
}

long memStatus(unsigned type, unsigned long cb1, unsigned long cb2, void *c) {
    MemFs *f = fs(c);
    if (type == cabw::kStatusFile) {
        f->statusCompressed += cb1;
        f->statusUncompressed += cb2;
    }
    if (f->statusAbortType == -1 || static_cast<unsigned>(f->statusAbortType) == type) {
        if (f->statusCalls++ == f->statusAbortAt)
            return -1;
    }
    return 0;
}

std::intptr_t memOpenInfo(const char *source, std::uint16_t *date, std::uint16_t *time,
                          std::uint16_t *attribs, int *err, void *c) {
    MemFs *f = fs(c);
    auto it = f->files.find(source);
    if (it == f->files.end()) {
        *err = 2;
        return -1;
    }
    *date = it->second.date;
    *time = it->second.time;
    *attribs = it->second.attribs;
    return memCallbacks().open(source, cabw::kOpenReadOnly | cabw::kOpenBinary, 0, err, c);
}

} // namespace cabtest
