// The build list of one archive and the cabinet writer run over it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cabforge/core/cab/cab_writer.h"

class CabBuilder {
  public:
    // Called while the writer compresses: current source path, uncompressed bytes so far, size of
    // the current file (low 32 bits), user value. False stops the build.
    using Progress = bool (*)(const std::wstring &source, unsigned long done, unsigned long fileSize,
                              LPARAM user);

    CabBuilder() = default;
    CabBuilder(const CabBuilder &) = delete;
    CabBuilder &operator=(const CabBuilder &) = delete;

    // Appends one (source path, name in the archive) pair. Duplicate names are not detected.
    void addFile(const std::wstring &source, const std::wstring &name);
    std::size_t count() const { return m_sources.size(); }

    // Writes `target` from the list. Sources missing at build time are skipped. False on any
    // failure, on Cancel, and when no entry could be added at all: the writer then writes no
    // cabinet, and a cabinet without entries is one that common readers reject anyway.
    bool build(const std::wstring &target, Progress progress, LPARAM user);

  private:
    static void *Alloc(std::size_t size, void *context);
    static void Free(void *block, void *context);
    static std::intptr_t Open(const char *name, int oflag, int pmode, int *err, void *context);
    static int Read(std::intptr_t fd, void *buffer, unsigned count, int *err, void *context);
    static int Write(std::intptr_t fd, const void *buffer, unsigned count, int *err, void *context);
    static int Close(std::intptr_t fd, int *err, void *context);
    static long Seek(std::intptr_t fd, long offset, int origin, int *err, void *context);
    static int Delete(const char *name, int *err, void *context);
    static bool GetTempFile(char *buffer, int bufferSize, void *context);
    static int FilePlaced(const cabw::CabinetParams *params, const char *name, long size, bool continuation,
                          void *context);
    static bool GetNextCabinet(cabw::CabinetParams *params, unsigned long previousSize, void *context);
    static long Status(unsigned typeStatus, unsigned long cb1, unsigned long cb2, void *context);
    static std::intptr_t GetOpenInfo(const char *source, std::uint16_t *date, std::uint16_t *time,
                                     std::uint16_t *attribs, int *err, void *context);

    std::vector<std::wstring> m_sources;
    std::vector<std::wstring> m_names;

    std::uint32_t m_compressedBytes = 0;
    std::uint32_t m_uncompressedBytes = 0;
    std::wstring m_currentFile;
    std::uint32_t m_currentSize = 0;
    Progress m_progress = nullptr;
    LPARAM m_user = 0;
    cabw::ErrorRecord m_error;
};
