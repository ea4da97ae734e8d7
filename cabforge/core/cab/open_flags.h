// The cabinet writer's open flags (kOpen*, which carry the Windows C runtime's values) as the O_*
// flags of the C runtime this is built with, for open callbacks that call open() or _open().
// Portable: builds with MSVC, GCC and Clang.
#pragma once

#include <fcntl.h>

#include "cabforge/core/cab/cab_writer.h"

namespace cabw {

inline int toCrtOpenFlags(int oflag) {
    int flags = (oflag & 3) == kOpenWriteOnly ? O_WRONLY : (oflag & 3) == kOpenReadWrite ? O_RDWR : O_RDONLY;
    if (oflag & kOpenCreate)
        flags |= O_CREAT;
    if (oflag & kOpenTruncate)
        flags |= O_TRUNC;
    if (oflag & kOpenExclusive)
        flags |= O_EXCL;
#ifdef O_BINARY
    if (oflag & kOpenBinary)
        flags |= O_BINARY;
#endif
    return flags;
}

} // namespace cabw
