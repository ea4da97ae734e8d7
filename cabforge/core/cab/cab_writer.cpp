// Cabinet writer. Files are compressed as they are added: each data block goes, with its CFDATA
// header and checksum, into a temporary "data" spill file, and each CFFILE entry into a "table"
// spill file. flushCabinet then knows every size and writes the cabinet in one pass: header,
// folders, the table copied from its spill, the data copied from its spill. The signature is
// written last, so an interrupted cabinet never looks like a cabinet.
#include "cabforge/core/cab/cab_writer.h"

#include "cabforge/core/cab/archive_names.h"
#include "cabforge/core/cab/cab_format.h"
#include "cabforge/core/cab/mszip.h"

#include "cabforge/core/lzx/lzx_encoder.h"

#include <cstring>
#include <new>

namespace cabw {

namespace {

// zlib level for MSZIP blocks. Level 9 gains under 1 % over 6 on binaries and headers at about four
// times the CPU time; the dictionary carried across blocks gains more than that for little.
constexpr int kMszipLevel = 6;
// Bytes moved per read/write call when copying a spill file into the cabinet.
constexpr unsigned kCopyChunk = 65536;
// Room for one CFDATA header with the largest data reserve.
constexpr std::size_t kMaxDataHeader = format::kDataHeaderSize + kMaxDataReserve;
constexpr std::size_t kTempNameSize = 256;
constexpr std::size_t kMaxPathSize = 2 * 256;

enum class Method { None, Mszip, Lzx };

struct FolderRecord {
    std::uint32_t dataOffset; // offset of its first CFDATA within the data spill
    std::uint16_t blockCount;
    std::uint16_t compressionType;
};

struct SpillFile {
    char name[kTempNameSize];
    std::intptr_t fd;
    std::uint32_t size;
};

} // namespace

struct Writer {
    ErrorRecord *error;
    Callbacks cb;
    CabinetParams params;
    void *context;
    bool broken;
    StatusFn status; // the status callback of the call in progress

    SpillFile data;
    SpillFile table;
    std::uint32_t fileCount; // files in the cabinet being built

    FolderRecord *folders;
    std::uint32_t folderCount;
    std::uint32_t folderCapacity;

    // The open folder.
    bool folderOpen;
    std::uint16_t folderType;
    Method method;
    std::uint32_t folderBytes; // uncompressed bytes so far
    std::uint32_t folderBlocks;
    std::uint32_t folderDataStart;
    unsigned char *block;   // the block being filled
    unsigned char *history; // the previous full block (MSZIP dictionary)
    bool haveHistory;
    std::uint32_t blockFill;
    unsigned char *out; // CFDATA header + payload
    MszipCompressor *mszip;
    lzx::Encoder *lzx;
};

namespace {

// ---- Errors ----

bool fail(Writer *w, int code, int err = 0) {
    w->error->code = code;
    w->error->errnoType = err;
    w->error->error = true;
    return false;
}

// A failure after which the folder's data no longer matches its entries.
bool breakWriter(Writer *w, int code, int err = 0) {
    w->broken = true;
    return fail(w, code, err);
}

bool checkUsable(Writer *w) {
    if (!w->broken)
        return true;
    w->error->error = true; // keep the code of the failure that broke it
    return false;
}

// ---- Memory ----

void *allocate(Writer *w, std::size_t size) {
    return w->cb.alloc(size, w->context);
}
void release(Writer *w, void *p) {
    if (p)
        w->cb.free(p, w->context);
}

// ---- Names ----

bool isValidUtf8(const unsigned char *s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        static const std::uint32_t kMinForLength[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

bool hasHighBytes(const char *s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(s[i]) > 0x7F)
            return true;
    return false;
}

bool copyString(char *dst, std::size_t cap, const char *a, const char *b) {
    const std::size_t la = std::strlen(a), lb = std::strlen(b);
    if (la + lb + 1 > cap)
        return false;
    std::memcpy(dst, a, la);
    std::memcpy(dst + la, b, lb + 1);
    return true;
}

// ---- Compression types ----

bool parseCompressionType(std::uint16_t type, Method *method, unsigned *windowBits) {
    if (type == kCompressNone) {
        *method = Method::None;
        return true;
    }
    if (type == kCompressMszip) {
        *method = Method::Mszip;
        return true;
    }
    const unsigned bits = (type >> 8) & 0x1F;
    if ((type & 0xE0FF) == 0x0003 && bits >= 15 && bits <= 21) {
        *method = Method::Lzx;
        *windowBits = bits;
        return true;
    }
    return false;
}

// ---- Spill files ----

bool spillOpen(Writer *w, SpillFile *f) {
    if (f->fd != -1)
        return true;
    f->size = 0;
    std::memset(f->name, 0, sizeof f->name);
    if (!w->cb.getTempFile(f->name, static_cast<int>(sizeof f->name), w->context) || !f->name[0] ||
        !std::memchr(f->name, 0, sizeof f->name)) {
        f->name[0] = 0;
        return breakWriter(w, kErrTempFile);
    }
    int err = 0;
    f->fd = w->cb.open(f->name, kOpenReadWrite | kOpenCreate | kOpenExclusive | kOpenBinary,
                       kPermRead | kPermWrite, &err, w->context);
    if (f->fd == -1) {
        f->name[0] = 0;
        return breakWriter(w, kErrTempFile, err);
    }
    return true;
}

bool spillWrite(Writer *w, SpillFile *f, const void *p, std::size_t n) {
    int err = 0;
    const int written = w->cb.write(f->fd, p, static_cast<unsigned>(n), &err, w->context);
    if (written < 0 || static_cast<std::size_t>(written) != n)
        return breakWriter(w, kErrTempFile, err);
    f->size += static_cast<std::uint32_t>(n);
    return true;
}

// Closes and deletes a spill file; true when both succeeded (or there was none).
bool spillDiscard(Writer *w, SpillFile *f, int *errOut) {
    bool ok = true;
    int err = 0;
    if (f->fd != -1) {
        if (w->cb.close(f->fd, &err, w->context) != 0) {
            ok = false;
            *errOut = err;
        }
        f->fd = -1;
    }
    if (f->name[0]) {
        err = 0;
        if (w->cb.deleteFile(f->name, &err, w->context) != 0) {
            ok = false;
            *errOut = err;
        }
        f->name[0] = 0;
    }
    f->size = 0;
    return ok;
}

// ---- Data blocks ----

bool reportStatus(Writer *w, unsigned type, unsigned long cb1, unsigned long cb2) {
    if (w->status && w->status(type, cb1, cb2, w->context) == -1)
        return false;
    return true;
}

// The smallest cabinet the current contents can give; used to fail early on size limits.
std::uint64_t minimumCabinetSize(const Writer *w) {
    return format::kHeaderSize + std::uint64_t(w->folderCount + 1) * format::kFolderSize + w->table.size +
           w->data.size;
}

std::uint64_t cabinetLimit(const Writer *w) {
    return w->params.maxCabinetSize < kMaxCabinetBytes ? w->params.maxCabinetSize : kMaxCabinetBytes;
}

// Appends one CFDATA (its payload already at w->out + header size) for `n` uncompressed bytes to the
// data spill.
bool writeDataBlock(Writer *w, std::size_t payloadSize, std::uint32_t n, bool grew) {
    const std::size_t headerSize = format::kDataHeaderSize + w->params.reserveData;
    const unsigned char *payload = w->out + headerSize;
    if (payloadSize == 0 || payloadSize > format::kMaxBlockPayload || n == 0 || n > format::kBlockSize)
        return breakWriter(w, kErrCompressor);
    if (grew && w->params.failOnIncompressible)
        return breakWriter(w, kErrCompressor);

    unsigned char *h = w->out;
    std::memset(h, 0, headerSize);
    format::put16(h + format::kDataCompressedSize, static_cast<std::uint32_t>(payloadSize));
    format::put16(h + format::kDataUncompressedSize, n);
    // Reserve bytes are zero, so the checksum is the same whether a reader covers them or not.
    format::put32(h + format::kDataChecksum,
                  format::checksum(h + format::kDataCompressedSize, format::kDataSizesLength,
                                   format::checksum(payload, payloadSize, 0)));
    if (!spillWrite(w, &w->data, w->out, headerSize + payloadSize))
        return false;
    if (minimumCabinetSize(w) > cabinetLimit(w))
        return breakWriter(w, kErrFormatLimit);
    ++w->folderBlocks;
    if (!reportStatus(w, kStatusFile, static_cast<unsigned long>(payloadSize), n))
        return breakWriter(w, kErrUserAbort);
    return true;
}

// Writes every frame the LZX encoder has finished; it holds frames back until their block is complete.
bool drainLzx(Writer *w) {
    unsigned char *payload = w->out + format::kDataHeaderSize + w->params.reserveData;
    std::size_t payloadSize, frameSize = 0;
    while ((payloadSize = lzx::takeFrame(w->lzx, payload, format::kMaxBlockPayload, &frameSize)) != 0)
        if (!writeDataBlock(w, payloadSize, static_cast<std::uint32_t>(frameSize), payloadSize >= frameSize))
            return false;
    return true;
}

// Compresses the filled part of the block buffer: into one CFDATA for MSZIP and stored data; for LZX into
// the encoder, writing whatever frames it has finished.
bool emitBlock(Writer *w) {
    const std::uint32_t n = w->blockFill;
    unsigned char *payload = w->out + format::kDataHeaderSize + w->params.reserveData;
    std::size_t payloadSize = 0;
    bool grew = false;
    switch (w->method) {
    case Method::None:
        std::memcpy(payload, w->block, n);
        payloadSize = n;
        break;
    case Method::Mszip:
        payloadSize =
            mszipCompressBlock(w->mszip, w->haveHistory ? w->history : nullptr, w->block, n, payload, &grew);
        break;
    case Method::Lzx:
        if (!lzx::putFrame(w->lzx, w->block, n))
            return breakWriter(w, kErrCompressor);
        break;
    }
    if (w->method == Method::Lzx ? !drainLzx(w) : !writeDataBlock(w, payloadSize, n, grew))
        return false;

    // The full block becomes the next block's history.
    unsigned char *t = w->history;
    w->history = w->block;
    w->block = t;
    w->haveHistory = true;
    w->blockFill = 0;
    return true;
}

// ---- Folders ----

// Room for `count` folder records.
bool reserveFolders(Writer *w, std::uint32_t count) {
    std::uint32_t capacity = w->folderCapacity ? w->folderCapacity : 16;
    while (capacity < count)
        capacity *= 2;
    if (capacity == w->folderCapacity)
        return true;
    auto *grown = static_cast<FolderRecord *>(allocate(w, capacity * sizeof(FolderRecord)));
    if (!grown)
        return fail(w, kErrOutOfMemory);
    if (w->folderCount)
        std::memcpy(grown, w->folders, w->folderCount * sizeof(FolderRecord));
    release(w, w->folders);
    w->folders = grown;
    w->folderCapacity = capacity;
    return true;
}

bool openFolder(Writer *w, std::uint16_t type, Method method, unsigned windowBits) {
    if (w->folderCount >= kMaxFolders)
        return fail(w, kErrFormatLimit);
    if (!reserveFolders(w, w->folderCount + 1))
        return false;
    if (method == Method::Mszip) {
        if (!w->mszip)
            w->mszip = mszipCreate(kMszipLevel, w->cb.alloc, w->cb.free, w->context);
        if (!w->mszip)
            return fail(w, kErrOutOfMemory);
        if (!mszipReset(w->mszip))
            return fail(w, kErrCompressor);
    } else if (method == Method::Lzx) {
        lzx::EncoderOptions options;
        options.windowBits = windowBits;
        options.level = w->params.lzxLevel;
        options.e8Translation = !w->params.lzxNoE8;
        w->lzx = lzx::createEncoder(options);
        if (!w->lzx)
            return fail(w, kErrOutOfMemory);
    }
    w->folderOpen = true;
    w->folderType = type;
    w->method = method;
    w->folderBytes = 0;
    w->folderBlocks = 0;
    w->folderDataStart = w->data.size;
    w->haveHistory = false;
    w->blockFill = 0;
    return true;
}

bool closeFolder(Writer *w) {
    if (!w->folderOpen)
        return true;
    if (w->blockFill > 0 && !emitBlock(w))
        return false;
    if (w->lzx && (!lzx::finishStream(w->lzx) || !drainLzx(w)))
        return w->broken ? false : breakWriter(w, kErrCompressor);
    FolderRecord &f = w->folders[w->folderCount++];
    f.dataOffset = w->folderDataStart;
    f.blockCount = static_cast<std::uint16_t>(w->folderBlocks);
    f.compressionType = w->folderType;
    if (w->lzx) {
        lzx::destroyEncoder(w->lzx);
        w->lzx = nullptr;
    }
    w->folderOpen = false;
    return true;
}

// ---- Cabinet assembly ----

bool outWrite(Writer *w, std::intptr_t fd, const void *p, std::size_t n, int *err) {
    const int written = w->cb.write(fd, p, static_cast<unsigned>(n), err, w->context);
    return written >= 0 && static_cast<std::size_t>(written) == n;
}

// Copies a whole spill file to the cabinet; error codes per the side that failed.
bool copySpill(Writer *w, SpillFile *f, std::intptr_t outFd, std::uint32_t *copied, std::uint32_t total,
               bool reportFolder) {
    if (f->size == 0)
        return true;
    int err = 0;
    if (w->cb.seek(f->fd, 0, kSeekSet, &err, w->context) != 0)
        return fail(w, kErrTempFile, err);
    unsigned char *buffer = w->out; // free while no block is being compressed
    std::uint32_t left = f->size;
    while (left > 0) {
        const unsigned chunk = left < kCopyChunk ? left : kCopyChunk;
        err = 0;
        const int got = w->cb.read(f->fd, buffer, chunk, &err, w->context);
        if (got < 0 || static_cast<unsigned>(got) != chunk)
            return fail(w, kErrTempFile, err);
        err = 0;
        if (!outWrite(w, outFd, buffer, chunk, &err))
            return fail(w, kErrCabinetFile, err);
        left -= chunk;
        *copied += chunk;
        if (reportFolder && !reportStatus(w, kStatusFolder, *copied, total))
            return fail(w, kErrUserAbort);
    }
    return true;
}

bool writeZeros(Writer *w, std::intptr_t fd, std::size_t n, int *err) {
    std::memset(w->out, 0, n < kCopyChunk ? n : kCopyChunk);
    while (n > 0) {
        const std::size_t chunk = n < kCopyChunk ? n : kCopyChunk;
        if (!outWrite(w, fd, w->out, chunk, err))
            return false;
        n -= chunk;
    }
    return true;
}

// Writes the cabinet file to an open descriptor.
bool writeCabinet(Writer *w, std::intptr_t fd, std::uint32_t cabinetSize, std::uint32_t dataStart) {
    const CabinetParams &p = w->params;
    const bool reserve = p.reserveHeader || p.reserveFolder || p.reserveData;
    const std::uint32_t headerSize =
        static_cast<std::uint32_t>(format::kHeaderSize + (reserve ? format::kReserveFieldsSize : 0));
    const std::uint32_t folderSize = static_cast<std::uint32_t>(format::kFolderSize + p.reserveFolder);
    int err = 0;

    unsigned char h[format::kHeaderSize + format::kReserveFieldsSize] = {};
    std::memcpy(h + format::kHeaderSignature, format::kUnfinishedSignature, format::kSignatureSize);
    format::put32(h + format::kHeaderCabinetSize, cabinetSize);
    format::put32(h + format::kHeaderFilesOffset, headerSize + p.reserveHeader + w->folderCount * folderSize);
    h[format::kHeaderVersionMinor] = format::kVersionMinor;
    h[format::kHeaderVersionMajor] = format::kVersionMajor;
    format::put16(h + format::kHeaderFolderCount, w->folderCount);
    format::put16(h + format::kHeaderFileCount, w->fileCount);
    format::put16(h + format::kHeaderFlags, reserve ? format::kFlagReservePresent : 0);
    format::put16(h + format::kHeaderSetId, p.setId);
    format::put16(h + format::kHeaderCabinetIndex, static_cast<std::uint32_t>(p.cabinetNumber) & 0xFFFF);
    if (reserve) {
        format::put16(h + format::kHeaderReserveSize, p.reserveHeader);
        h[format::kHeaderFolderReserveSize] = static_cast<unsigned char>(p.reserveFolder);
        h[format::kHeaderDataReserveSize] = static_cast<unsigned char>(p.reserveData);
    }
    if (!outWrite(w, fd, h, headerSize, &err) || !writeZeros(w, fd, p.reserveHeader, &err))
        return fail(w, kErrCabinetFile, err);

    for (std::uint32_t i = 0; i < w->folderCount; ++i) {
        unsigned char f[format::kFolderSize + kMaxFolderReserve] = {};
        format::put32(f + format::kFolderDataOffset, dataStart + w->folders[i].dataOffset);
        format::put16(f + format::kFolderBlockCount, w->folders[i].blockCount);
        format::put16(f + format::kFolderCompression, w->folders[i].compressionType);
        if (!outWrite(w, fd, f, folderSize, &err))
            return fail(w, kErrCabinetFile, err);
    }

    std::uint32_t copied = 0;
    if (!copySpill(w, &w->table, fd, &copied, 0, false))
        return false;
    copied = 0;
    if (!copySpill(w, &w->data, fd, &copied, w->data.size, true))
        return false;

    err = 0;
    if (w->cb.seek(fd, static_cast<long>(format::kHeaderSignature), kSeekSet, &err, w->context) != 0)
        return fail(w, kErrCabinetFile, err);
    if (!outWrite(w, fd, format::kSignature, format::kSignatureSize, &err))
        return fail(w, kErrCabinetFile, err);
    return true;
}

// After a cabinet is written, or when its spills are given up: start afresh.
bool resetCabinet(Writer *w) {
    int err = 0;
    const bool ok1 = spillDiscard(w, &w->data, &err);
    const bool ok2 = spillDiscard(w, &w->table, &err);
    w->fileCount = 0;
    w->folderCount = 0;
    if (!ok1 || !ok2)
        return fail(w, kErrTempFile, err);
    return true;
}

} // namespace

// ---- Public entry points ----

Handle create(ErrorRecord *error, const Callbacks &callbacks, const CabinetParams &params, void *context) {
    if (!error)
        return nullptr;
    *error = ErrorRecord();
    const Callbacks &c = callbacks;
    if (!c.alloc || !c.free || !c.open || !c.read || !c.write || !c.close || !c.seek || !c.deleteFile ||
        !c.getTempFile) {
        error->code = kErrBadParameter;
        error->error = true;
        return nullptr;
    }
    if (params.reserveHeader > kMaxHeaderReserve || params.reserveFolder > kMaxFolderReserve ||
        params.reserveData > kMaxDataReserve || params.lzxLevel < kLzxLevelFast ||
        params.lzxLevel > kLzxLevelMax || !std::memchr(params.cabinetName, 0, sizeof params.cabinetName) ||
        !std::memchr(params.cabinetPath, 0, sizeof params.cabinetPath) ||
        !std::memchr(params.diskName, 0, sizeof params.diskName)) {
        error->code = kErrBadParameter;
        error->error = true;
        return nullptr;
    }
    void *memory = c.alloc(sizeof(Writer), context);
    if (!memory) {
        error->code = kErrOutOfMemory;
        error->error = true;
        return nullptr;
    }
    auto *w = new (memory) Writer(); // value-initialised: every field zero
    w->error = error;
    w->cb = c;
    w->params = params;
    w->context = context;
    w->data.fd = -1;
    w->table.fd = -1;
    w->block = static_cast<unsigned char *>(allocate(w, format::kBlockSize));
    w->history = static_cast<unsigned char *>(allocate(w, format::kBlockSize));
    w->out = static_cast<unsigned char *>(allocate(w, kMaxDataHeader + kCopyChunk));
    if (!w->block || !w->history || !w->out) {
        destroy(w);
        error->code = kErrOutOfMemory;
        error->error = true;
        return nullptr;
    }
    return w;
}

bool flushFolder(Handle w, GetNextCabinetFn, StatusFn status) {
    if (!w)
        return false;
    if (!checkUsable(w))
        return false;
    w->status = status;
    return closeFolder(w);
}

bool addFile(Handle w, const char *source, const char *name, bool execute, GetNextCabinetFn, StatusFn status,
             GetOpenInfoFn getOpenInfo, std::uint16_t compressionType) {
    if (!w)
        return false;
    if (!checkUsable(w))
        return false;
    if (!source || !name || !getOpenInfo)
        return fail(w, kErrBadParameter);
    w->status = status;

    const std::size_t nameLength = std::strlen(name);
    if (nameLength == 0 || nameLength > kMaxNameBytes ||
        !isValidUtf8(reinterpret_cast<const unsigned char *>(name), nameLength) ||
        nameProblem(name, nameLength) != NameProblem::None)
        return fail(w, kErrBadName);
    Method method;
    unsigned windowBits = 0;
    if (!parseCompressionType(compressionType, &method, &windowBits))
        return fail(w, kErrBadCompressionType);
    if (w->fileCount >= kMaxFiles)
        return fail(w, kErrFormatLimit);
    if (w->folderOpen && w->folderType != compressionType && !closeFolder(w))
        return false;
    if (!spillOpen(w, &w->data) || !spillOpen(w, &w->table))
        return false;

    std::uint16_t date = 0, time = 0, attribs = 0;
    int err = 0;
    const std::intptr_t fd = getOpenInfo(source, &date, &time, &attribs, &err, w->context);
    if (fd == -1)
        return fail(w, kErrOpenSource, err);
    if (!w->folderOpen && !openFolder(w, compressionType, method, windowBits)) {
        int closeErr = 0;
        w->cb.close(fd, &closeErr, w->context);
        return false;
    }

    // Stream the source into the folder, one block at a time.
    const std::uint32_t start = w->folderBytes;
    bool ok = true;
    for (;;) {
        err = 0;
        const unsigned want = format::kBlockSize - w->blockFill;
        const int got = w->cb.read(fd, w->block + w->blockFill, want, &err, w->context);
        if (got < 0 || static_cast<unsigned>(got) > want) {
            ok = breakWriter(w, kErrReadSource, err);
            break;
        }
        if (got == 0)
            break;
        if (static_cast<std::uint32_t>(got) > kMaxFolderBytes - w->folderBytes) {
            ok = breakWriter(w, kErrFormatLimit);
            break;
        }
        w->blockFill += static_cast<std::uint32_t>(got);
        w->folderBytes += static_cast<std::uint32_t>(got);
        if (w->blockFill == format::kBlockSize && !emitBlock(w)) {
            ok = false;
            break;
        }
    }
    err = 0;
    if (w->cb.close(fd, &err, w->context) != 0 && ok)
        ok = breakWriter(w, kErrOpenSource, err);
    if (!ok)
        return false;

    // The entry.
    const std::uint32_t size = w->folderBytes - start;
    attribs = static_cast<std::uint16_t>(attribs & ~0x10u);
    if (execute)
        attribs |= kAttribExecute;
    if (hasHighBytes(name, nameLength))
        attribs |= kAttribNameIsUtf;
    unsigned char entry[format::kFileSize + kMaxNameBytes + 1];
    format::put32(entry + format::kFileLength, size);
    format::put32(entry + format::kFileFolderOffset, start);
    format::put16(entry + format::kFileFolderIndex, w->folderCount); // index of the open folder
    format::put16(entry + format::kFileDate, date);
    format::put16(entry + format::kFileTime, time);
    format::put16(entry + format::kFileAttributes, attribs);
    std::memcpy(entry + format::kFileSize, name, nameLength + 1);
    if (!spillWrite(w, &w->table, entry, format::kFileSize + nameLength + 1))
        return false;
    ++w->fileCount;
    if (minimumCabinetSize(w) > cabinetLimit(w))
        return breakWriter(w, kErrFormatLimit);
    if (w->cb.filePlaced &&
        w->cb.filePlaced(&w->params, name, static_cast<long>(size), false, w->context) == -1)
        return breakWriter(w, kErrUserAbort);
    return true;
}

bool flushCabinet(Handle w, bool getNextCabinetRequested, GetNextCabinetFn getNextCabinet, StatusFn status) {
    if (!w)
        return false;
    if (!checkUsable(w))
        return false;
    w->status = status;
    if (!closeFolder(w))
        return false;
    if (w->fileCount == 0)
        return resetCabinet(w); // nothing to write: readers disagree about empty cabinets

    const CabinetParams &p = w->params;
    const bool reserve = p.reserveHeader || p.reserveFolder || p.reserveData;
    const std::uint64_t dataStart =
        format::kHeaderSize + (reserve ? format::kReserveFieldsSize : 0) + p.reserveHeader +
        std::uint64_t(w->folderCount) * (format::kFolderSize + p.reserveFolder) + w->table.size;
    const std::uint64_t cabinetSize = dataStart + w->data.size;
    if (cabinetSize > cabinetLimit(w))
        return breakWriter(w, kErrFormatLimit);

    CabinetParams next = w->params;
    if (getNextCabinetRequested && getNextCabinet) {
        ++next.cabinetNumber;
        if (!getNextCabinet(&next, static_cast<unsigned long>(cabinetSize), w->context))
            return fail(w, kErrUserAbort);
    }
    if (!reportStatus(w, kStatusCabinet, static_cast<unsigned long>(cabinetSize),
                      static_cast<unsigned long>(cabinetSize)))
        return fail(w, kErrUserAbort);

    char path[kMaxPathSize];
    if (!copyString(path, sizeof path, p.cabinetPath, p.cabinetName) || !p.cabinetName[0])
        return fail(w, kErrBadParameter);
    int err = 0;
    const std::intptr_t fd = w->cb.open(path, kOpenWriteOnly | kOpenCreate | kOpenTruncate | kOpenBinary,
                                        kPermRead | kPermWrite, &err, w->context);
    if (fd == -1)
        return fail(w, kErrCabinetFile, err);
    bool ok =
        writeCabinet(w, fd, static_cast<std::uint32_t>(cabinetSize), static_cast<std::uint32_t>(dataStart));
    err = 0;
    if (w->cb.close(fd, &err, w->context) != 0 && ok)
        ok = fail(w, kErrCabinetFile, err);
    if (!ok) {
        // Leave no incomplete cabinet behind.
        int delErr = 0;
        w->cb.deleteFile(path, &delErr, w->context);
        w->broken = true;
        return false;
    }
    if (!resetCabinet(w))
        return false;
    if (getNextCabinetRequested && getNextCabinet)
        w->params = next;
    return true;
}

bool appendFolders(Handle into, Handle part) {
    if (!into || !part || into == part)
        return false;
    if (!checkUsable(into) || !checkUsable(part))
        return false;
    if (part->folderOpen || part->params.reserveFolder != into->params.reserveFolder ||
        part->params.reserveData != into->params.reserveData)
        return fail(into, kErrBadParameter);
    if (part->fileCount == 0)
        return true;
    if (into->fileCount + part->fileCount > kMaxFiles || into->folderCount + part->folderCount > kMaxFolders)
        return fail(into, kErrFormatLimit);
    if (!closeFolder(into) || !spillOpen(into, &into->data) || !spillOpen(into, &into->table))
        return false;
    if (!reserveFolders(into, into->folderCount + part->folderCount))
        return false;
    auto *table = static_cast<unsigned char *>(allocate(into, part->table.size ? part->table.size : 1));
    if (!table)
        return fail(into, kErrOutOfMemory);
    int err = 0;
    bool ok = part->cb.seek(part->table.fd, 0, kSeekSet, &err, part->context) == 0 &&
              part->cb.read(part->table.fd, table, part->table.size, &err, part->context) ==
                  static_cast<int>(part->table.size);
    if (!ok)
        ok = breakWriter(into, kErrTempFile, err);
    // Each entry names its folder by index: shifted past the folders `into` already has.
    for (std::uint32_t at = 0; ok && at < part->table.size;) {
        unsigned char *entry = table + at;
        unsigned char *folder = entry + format::kFileFolderIndex;
        format::put16(folder, format::get16(folder) + into->folderCount);
        at += static_cast<std::uint32_t>(
            format::kFileSize + std::strlen(reinterpret_cast<char *>(entry) + format::kFileSize) + 1);
    }
    const std::uint32_t dataBase = into->data.size;
    ok = ok && spillWrite(into, &into->table, table, part->table.size);
    release(into, table);
    // The compressed data, in chunks through `part`'s buffer.
    err = 0;
    if (ok && part->data.size && part->cb.seek(part->data.fd, 0, kSeekSet, &err, part->context) != 0)
        ok = breakWriter(into, kErrTempFile, err);
    for (std::uint32_t left = part->data.size; ok && left > 0;) {
        const unsigned chunk = left < kCopyChunk ? left : kCopyChunk;
        err = 0;
        if (part->cb.read(part->data.fd, part->out, chunk, &err, part->context) != static_cast<int>(chunk))
            ok = breakWriter(into, kErrTempFile, err);
        else
            ok = spillWrite(into, &into->data, part->out, chunk);
        left -= chunk;
    }
    if (!ok)
        return false;
    for (std::uint32_t i = 0; i < part->folderCount; ++i) {
        FolderRecord f = part->folders[i];
        f.dataOffset += dataBase;
        into->folders[into->folderCount++] = f;
    }
    into->fileCount += part->fileCount;
    if (minimumCabinetSize(into) - format::kFolderSize > cabinetLimit(into))
        return breakWriter(into, kErrFormatLimit);
    return resetCabinet(part);
}

bool destroy(Handle w) {
    if (!w)
        return true;
    int err = 0;
    bool ok = spillDiscard(w, &w->data, &err);
    ok = spillDiscard(w, &w->table, &err) && ok;
    if (w->lzx)
        lzx::destroyEncoder(w->lzx);
    mszipDestroy(w->mszip);
    release(w, w->folders);
    release(w, w->block);
    release(w, w->history);
    release(w, w->out);
    ErrorRecord *error = w->error;
    void *context = w->context;
    auto freeFn = w->cb.free;
    freeFn(w, context);
    if (!ok) {
        error->code = kErrTempFile;
        error->errnoType = err;
        error->error = true;
    }
    return ok;
}

} // namespace cabw
