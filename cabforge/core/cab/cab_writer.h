// Cabinet writer: builds Microsoft Cabinet files (MSCF) through caller-supplied callbacks.
//
// The calling shape follows the platform's cabinet compression library, so that `CabBuilder` can
// drive it in the same order:
//
//   create(error record, callbacks, cabinet parameters, context)   -> handle, or nullptr
//   flushFolder(handle, getNextCabinet, status)                     -> true (nothing to do before the
//                                                                      first file; closes a folder)
//   addFile(handle, source, name, execute, getNextCabinet, status, getOpenInfo, compressionType)
//   flushCabinet(handle, getNextCabinetRequested, getNextCabinet, status)
//   destroy(handle)
//
// What it writes: one cabinet holding the files in the order added. Files added with one
// compression type go into one folder; flushFolder, or a file with another compression type,
// starts the next folder. Every data block holds 32768 uncompressed bytes (the last of a folder
// fewer) and carries its checksum. The cabinet never refers to a previous or next cabinet: a
// get-next-cabinet request is passed to the caller's callback but no continuation is written,
// because a single cabinet is always complete.
//
// The writer never touches the file system itself: source files, two temporary spill files (the
// compressed data and the file table, kept until the cabinet is assembled) and the cabinet file go
// through the callbacks, and so does all memory the writer allocates (except the LZX encoder's
// own working memory). Memory use is bounded whatever the input size: sources are streamed.
//
// Failures are results. Every operation returns false (create: nullptr) on failure and fills the
// error record: `code` says what failed, `errnoType` holds the `*err` value the failing callback
// stored (0 when no callback failed), `error` is set. A failure that leaves a folder half-written
// (a read error in the middle of a file, an abort from the status callback, a failed temporary
// write) marks the handle broken: later calls except destroy fail with the same error. A call
// rejected before anything was written (a bad name, too many files, an unknown compression type)
// leaves the handle usable. Temporary files are deleted through the callbacks on every path, at the
// latest by destroy; a cabinet file that could not be completed is deleted as well.
//
// Portable: no platform header; builds with MSVC, GCC and Clang. No exception leaves these
// functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cabforge/core/lzx/lzx_encoder.h"

namespace cabw {

// ---- Compression types (the folder's typeCompress value) ----
constexpr std::uint16_t kCompressNone = 0x0000;
constexpr std::uint16_t kCompressMszip = 0x0001;
// LZX with a window of 2^windowBits bytes, windowBits 15..21.
constexpr std::uint16_t compressLzx(unsigned windowBits) {
    return static_cast<std::uint16_t>(0x0003u | (windowBits << 8));
}
constexpr std::uint16_t kCompressLzx21 = compressLzx(21); // 0x1503

// ---- Attribute bits of a file entry (what getOpenInfo returns in *attribs) ----
constexpr std::uint16_t kAttribReadOnly = 0x01;
constexpr std::uint16_t kAttribHidden = 0x02;
constexpr std::uint16_t kAttribSystem = 0x04;
constexpr std::uint16_t kAttribArchive = 0x20;
constexpr std::uint16_t kAttribExecute = 0x40; // set by addFile's execute flag
constexpr std::uint16_t kAttribNameIsUtf = 0x80;
// The writer stores the attributes it is given, with two corrections: kAttribNameIsUtf is added when
// the name holds a byte above 0x7F, and 0x10 (a directory bit, which readers would take as "this
// entry is a folder") is dropped.

// ---- Open flags and permission passed to the open callback ----
// The values are those of the Windows C runtime (_O_* and _S_*), so a Windows caller can hand them
// to _wopen unchanged; other callers translate them.
constexpr int kOpenReadOnly = 0x0000;
constexpr int kOpenWriteOnly = 0x0001;
constexpr int kOpenReadWrite = 0x0002;
constexpr int kOpenCreate = 0x0100;
constexpr int kOpenTruncate = 0x0200;
constexpr int kOpenExclusive = 0x0400;
constexpr int kOpenBinary = 0x8000;
constexpr int kPermRead = 0x0100;
constexpr int kPermWrite = 0x0080;

// Seek origins passed to the seek callback (the C runtime's SEEK_SET, SEEK_CUR, SEEK_END).
constexpr int kSeekSet = 0;
constexpr int kSeekCur = 1;
constexpr int kSeekEnd = 2;

// ---- Status reports (the typeStatus argument of the status callback) ----
// kStatusFile: a data block was compressed. cb1 = its compressed bytes, cb2 = its uncompressed
//   bytes. Sent while addFile compresses a source and when a flush compresses the folder's last
//   block, so summing cb1 and cb2 over all reports gives the folder totals.
// kStatusFolder: the compressed data is being copied into the cabinet. cb1 = bytes copied so far,
//   cb2 = bytes to copy in all.
// kStatusCabinet: the cabinet is about to be written. cb1 = its estimated size, cb2 = its actual
//   size (the same here).
// The callback returns -1 to abort the operation (error kUserAbort); any other value continues.
constexpr unsigned kStatusFile = 0;
constexpr unsigned kStatusFolder = 1;
constexpr unsigned kStatusCabinet = 2;

// ---- LZX level (CabinetParams::lzxLevel): the encoder's levels ----
constexpr int kLzxLevelFast = lzx::kLevelFast;
constexpr int kLzxLevelNormal = lzx::kLevelNormal;
constexpr int kLzxLevelDefault = lzx::kLevelDefault;
constexpr int kLzxLevelMax = lzx::kLevelMax; // the smallest cabinets, at about a third of the default's speed

// ---- Format limits the writer enforces (as kFormatLimit failures) ----
constexpr std::uint32_t kMaxFiles = 65535;   // files per cabinet
constexpr std::uint32_t kMaxFolders = 65535; // folders per cabinet
constexpr std::uint32_t kMaxFolderBytes =
    lzx::kMaxStreamBytes; // uncompressed bytes per folder (65535 blocks)
constexpr std::uint32_t kMaxCabinetBytes = 0x7FFFFFFF;
constexpr std::size_t kMaxNameBytes = 255; // name bytes, not counting the terminating NUL
constexpr std::size_t kMaxHeaderReserve = 60000;
constexpr std::size_t kMaxFolderReserve = 255;
constexpr std::size_t kMaxDataReserve = 255;

// ---- Error record ----
enum ErrorCode : int {
    kErrNone = 0,
    kErrOpenSource = 1,         // getOpenInfo failed, or the source could not be closed
    kErrReadSource = 2,         // reading a source failed
    kErrOutOfMemory = 3,        // the alloc callback returned nullptr
    kErrTempFile = 4,           // a temporary spill file could not be named, created, written or read
    kErrBadCompressionType = 5, // unknown compression type, or an LZX window outside 15..21
    kErrCabinetFile = 6,        // the cabinet file could not be created or written
    kErrUserAbort = 7,          // status returned -1, filePlaced returned -1 or getNextCabinet false
    kErrCompressor = 8,         // a compressor failed, or failOnIncompressible hit a block that grew
    kErrFormatLimit = 9,        // a limit of the format or of maxCabinetSize would be exceeded
    kErrBadName = 10,           // empty, longer than kMaxNameBytes, not UTF-8, or unsafe (archive_names.h)
    kErrBadParameter = 11,      // null handle or callback, bad reserve sizes or level, broken handle misuse
};

struct ErrorRecord {
    int code = kErrNone; // an ErrorCode
    int errnoType = 0;   // the *err value of the callback that failed, else 0
    bool error = false;  // set with every failure
};

// ---- Cabinet parameters ----
// The char arrays hold NUL-terminated UTF-8. A value-initialised struct (CabinetParams p{}) gives
// the defaults below; a zero-filled one gives the same except that the sizes become 0 and the LZX
// level the fast one.
struct CabinetParams {
    // The writer produces one cabinet; a cabinet that would grow beyond this size fails with
    // kErrFormatLimit instead of being split.
    std::uint32_t maxCabinetSize = 0xFFFFFFFF;
    // Accepted for the calling shape; folders end at flushFolder, flushCabinet or a change of
    // compression type, never by size.
    std::uint32_t folderThreshold = 0xFFFFFFFF;
    // Reserved areas, written as zero bytes (header 0..60000, folder and data 0..255).
    std::uint32_t reserveHeader = 0;
    std::uint32_t reserveFolder = 0;
    std::uint32_t reserveData = 0;
    int cabinetNumber = 0; // stored in the header's cabinet index field (low 16 bits)
    int diskNumber = 0;    // passed through to the callbacks; a single cabinet stores no disk names
    bool failOnIncompressible = false; // fail (kErrCompressor) when a compressed block grows
    std::uint16_t setId = 0;
    char diskName[256] = {};
    char cabinetName[256] = {}; // file name of the cabinet
    char cabinetPath[256] = {}; // prefix for cabinetName, ending in a separator (or empty)
    // Extensions.
    int lzxLevel = kLzxLevelDefault; // kLzxLevel*; LZX folders only
    bool lzxNoE8 = false;            // switch the x86 call translation off (it is on by default)
};

// ---- Callbacks ----
// Every callback receives the context given to create. Names are UTF-8. A callback that fails
// stores an errno-style number in *err; the writer copies it into ErrorRecord::errnoType.
struct Callbacks {
    // Zero-filled memory block, or nullptr.
    void *(*alloc)(std::size_t size, void *context);
    void (*free)(void *block, void *context);
    // Opens a file with kOpen* flags and kPerm* permission; returns a descriptor, or -1.
    std::intptr_t (*open)(const char *name, int oflag, int pmode, int *err, void *context);
    // Return the byte count transferred; read returns 0 at the end of the file and -1 on error; a
    // write that returns less than `count` is a failure.
    int (*read)(std::intptr_t fd, void *buffer, unsigned count, int *err, void *context);
    int (*write)(std::intptr_t fd, const void *buffer, unsigned count, int *err, void *context);
    // Returns 0 on success, -1 on failure.
    int (*close)(std::intptr_t fd, int *err, void *context);
    // Returns the new position, or -1.
    long (*seek)(std::intptr_t fd, long offset, int origin, int *err, void *context);
    // Returns 0 on success, -1 on failure.
    int (*deleteFile)(const char *name, int *err, void *context);
    // Writes a fresh temporary file name (not yet created) into buffer; false on failure.
    bool (*getTempFile)(char *buffer, int bufferSize, void *context);
    // Called once a file's data and entry are complete. Returns 0; -1 aborts (kErrUserAbort).
    int (*filePlaced)(const CabinetParams *params, const char *name, long size, bool continuation,
                      void *context);
};

// Per-call callbacks.
// getNextCabinet: asked (by flushCabinet with the request flag) to fill in the parameters of a
// following cabinet; false aborts. The writer never writes the following cabinet's name into this
// one.
using GetNextCabinetFn = bool (*)(CabinetParams *params, unsigned long previousCabinetSize, void *context);
// status: see kStatus*; -1 aborts.
using StatusFn = long (*)(unsigned typeStatus, unsigned long cb1, unsigned long cb2, void *context);
// getOpenInfo: opens the source for reading (read/close callbacks are used on the result) and
// reports its MS-DOS date, time and attributes. Returns the descriptor, or -1 with *err set.
using GetOpenInfoFn = std::intptr_t (*)(const char *sourceName, std::uint16_t *date, std::uint16_t *time,
                                        std::uint16_t *attribs, int *err, void *context);

struct Writer; // opaque
using Handle = Writer *;

// Creates a writer. `error` must stay valid until destroy; `callbacks` and `params` are copied.
// alloc, free, open, read, write, close, seek, deleteFile and getTempFile are required; filePlaced
// may be null. Returns nullptr (and fills *error) on failure.
Handle create(ErrorRecord *error, const Callbacks &callbacks, const CabinetParams &params, void *context);

// Ends the current folder: its last block is compressed and written to the spill file. With no
// file added since the last flush there is nothing to do and it succeeds.
bool flushFolder(Handle handle, GetNextCabinetFn getNextCabinet, StatusFn status);

// Adds one file. `source` is handed to getOpenInfo; `name` (UTF-8, 1..255 bytes, backslash as the
// folder separator, keeping the rule of archive_names.h) is stored as the entry's name. `execute` sets
// kAttribExecute. The data is read through the callbacks and compressed with `compressionType` (kCompress*,
// compressLzx(n)). status is called for every compressed block; getOpenInfo must not be null.
bool addFile(Handle handle, const char *source, const char *name, bool execute,
             GetNextCabinetFn getNextCabinet, StatusFn status, GetOpenInfoFn getOpenInfo,
             std::uint16_t compressionType);

// Ends the current folder and writes the cabinet file (params.cabinetPath + params.cabinetName).
// With getNextCabinetRequested, getNextCabinet is called before the cabinet is written, on a copy
// of this cabinet's parameters with cabinetNumber + 1; that copy names the cabinet that files added
// afterwards go to. Nothing of it is written into this cabinet. When no file
// was added since the last cabinet, no cabinet file is written and the call succeeds.
bool flushCabinet(Handle handle, bool getNextCabinetRequested, GetNextCabinetFn getNextCabinet,
                  StatusFn status);

// Moves every folder and file of `part` to the end of the cabinet `into` is building, as if they
// had been added to `into` itself: the folders' compressed data and the entries are copied from
// `part`'s temporary files (through `part`'s callbacks) into `into`'s (through its own), so folders
// compressed by separate writers, at the same time, make one cabinet whose bytes do not depend on
// which writer compressed what. `part` must have no folder open (flushFolder) and must share
// `into`'s folder and data reserve sizes; afterwards it holds no file and may be destroyed. Both
// open folders of `into` and a failure copying break `into`; a limit or parameter failure leaves
// both usable.
bool appendFolders(Handle into, Handle part);

// Releases the writer and deletes its temporary files. Accepts nullptr. Returns false only when a
// temporary file could not be closed or deleted.
bool destroy(Handle handle);

} // namespace cabw
