// Small helpers shared by the archive builder's Windows code: handle holders, UTF-8 conversion and
// string-table texts.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>

// Closes a kernel handle on scope exit (INVALID_HANDLE_VALUE and null both count as none).
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE h = nullptr) : m_handle(h) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle && m_handle != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = nullptr) {
        if (valid())
            CloseHandle(m_handle);
        m_handle = h;
    }

  private:
    HANDLE m_handle;
};

// Ends a FindFirstFileW search on scope exit.
class ScopedFind {
  public:
    explicit ScopedFind(HANDLE h) : m_handle(h) {}
    ~ScopedFind() {
        if (valid())
            FindClose(m_handle);
    }
    ScopedFind(const ScopedFind &) = delete;
    ScopedFind &operator=(const ScopedFind &) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }

  private:
    HANDLE m_handle;
};

// Balances a successful OleInitialize.
class ScopedOle {
  public:
    ScopedOle() : m_ok(SUCCEEDED(OleInitialize(nullptr))) {}
    ~ScopedOle() {
        if (m_ok)
            OleUninitialize();
    }
    ScopedOle(const ScopedOle &) = delete;
    ScopedOle &operator=(const ScopedOle &) = delete;

    bool ok() const { return m_ok; }

  private:
    bool m_ok;
};

// Strict conversions: false on invalid input (unpaired surrogates, malformed UTF-8).
bool Utf16ToUtf8(const std::wstring &text, std::string &out);
bool Utf8ToUtf16(const char *text, std::wstring &out);

// A string-table text of the builder's module, in the language the system picks.
std::wstring LoadResourceString(UINT id);

// Upper-case form of one character for case-insensitive name comparison, as the shell compares.
wchar_t ShellCaseFold(wchar_t c);
