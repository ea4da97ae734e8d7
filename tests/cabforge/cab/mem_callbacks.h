// In-memory callbacks for the cabinet writer, with fault injection: a tiny file system of named
// byte strings, descriptors, counted allocations, and switches that make one kind of call fail.
// Used by the fault tests and the fuzz target.
#pragma once

#include "cabforge/core/cab/cab_writer.h"

#include <cstdint>
#include <map>
#include <string>

namespace cabtest {

struct MemFile {
    std::string data;
    std::uint64_t zeroSize = 0; // > 0: a source of that many zero bytes, not stored
    std::uint64_t size = 0;     // bytes written when writes are discarded
    std::uint16_t date = 0x58B1, time = 0x6DAF, attribs = 0x20;
};

struct MemFs {
    std::map<std::string, MemFile> files;
    struct Fd {
        std::string name;
        std::uint64_t pos = 0;
    };
    std::map<std::intptr_t, Fd> fds;
    std::intptr_t nextFd = 3;
    int tempCounter = 0;

    // Memory.
    long allocations = 0, liveBlocks = 0;
    long failAllocAt = -1; // the allocation with this index (0-based) returns nullptr

    // Faults, each for names starting with the given prefix (empty = off).
    std::string failOpen, failRead, failWrite, failSeek, failClose, failDelete;
    std::uint64_t failReadAfter = 0, failWriteAfter = 0; // bytes that still succeed
    int failErr = 5;                                     // the errno-style value the failing call reports
    bool failTempName = false;
    std::string discardWrites; // writes to these names only count bytes
    long statusAbortAt = -1;   // abort on the status report of this index (0-based)...
    long statusAbortType = -1; // ...counting only reports of this type (-1: any)
    long statusCalls = 0;
    bool refuseNextCabinet = false;
    bool filePlacedAborts = false;

    unsigned long statusCompressed = 0, statusUncompressed = 0;
    int nextCabinetCalls = 0, filePlacedCalls = 0;

    // Files whose names start with prefix.
    int countFiles(const std::string &prefix) const;
};

cabw::Callbacks memCallbacks();
bool memNextCabinet(cabw::CabinetParams *params, unsigned long previousSize, void *context);
long memStatus(unsigned type, unsigned long cb1, unsigned long cb2, void *context);
std::intptr_t memOpenInfo(const char *source, std::uint16_t *date, std::uint16_t *time,
                          std::uint16_t *attribs, int *err, void *context);

} // namespace cabtest
