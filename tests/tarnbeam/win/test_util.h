// Helpers for the Windows unit tests: COM on the test thread, scratch files.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

class ComScope {
  public:
    ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComScope() { CoUninitialize(); }
};

// A fresh folder below the temporary folder, removed with its files at the end.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    // Writes `utf8` bytes to a file of the folder and returns its full path.
    std::wstring Write(const std::wstring &name, const std::string &utf8) const;
    const std::wstring &path() const { return m_path; }

  private:
    std::wstring m_path;
};
