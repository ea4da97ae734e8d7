// The build list of one archive and its cabinet, written by the shared cabinet build
// (cabforge/core/cab/cab_flow.h) over the Windows file system.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

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

    // Writes `target` from the list. Sources missing when the build starts are skipped. False on
    // any failure, on Cancel, and when no entry could be added at all: the writer then writes no
    // cabinet, and a cabinet without entries is one that common readers reject anyway.
    bool build(const std::wstring &target, Progress progress, LPARAM user);

    // After a failed build: one line, in the user's language, naming the file at fault and why.
    const std::wstring &failureLine() const { return m_failureLine; }

  private:
    std::vector<std::wstring> m_sources;
    std::vector<std::wstring> m_names;
    std::wstring m_failureLine;
};
