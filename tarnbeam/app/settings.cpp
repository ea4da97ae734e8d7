#include "tarnbeam/app/settings.h"

#include "tarnbeam/app/win_handles.h"

namespace {

// Text values are read into a buffer of 200 bytes: 99 characters and the terminator.
const DWORD kTextBufferBytes = 200;

bool OpenForReading(RegKeyHandle &key, const std::wstring &path) {
    return RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool CreateForWriting(RegKeyHandle &key, const std::wstring &path) {
    return RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                           nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

} // namespace

std::wstring ReadRegText(const std::wstring &key, const std::wstring &name, bool *found) {
    if (found)
        *found = false;
    RegKeyHandle reg;
    if (!OpenForReading(reg, key))
        return std::wstring();
    wchar_t buffer[kTextBufferBytes / sizeof(wchar_t) + 1] = {};
    DWORD size = kTextBufferBytes;
    if (RegQueryValueExW(reg.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(buffer),
                         &size) != ERROR_SUCCESS)
        return std::wstring();
    // A full buffer without a terminator holds 100 characters or more: too long, like a longer value.
    const size_t chars = size / sizeof(wchar_t);
    if (chars == kTextBufferBytes / sizeof(wchar_t) && buffer[chars - 1] != L'\0')
        return std::wstring();
    if (found)
        *found = true;
    return std::wstring(buffer);
}

bool WriteRegText(const std::wstring &key, const std::wstring &name, const std::wstring &text) {
    RegKeyHandle reg;
    if (!CreateForWriting(reg, key))
        return false;
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(reg.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          size) == ERROR_SUCCESS;
}

DWORD ReadRegNumber(const std::wstring &key, const std::wstring &name, DWORD fallback) {
    RegKeyHandle reg;
    if (!OpenForReading(reg, key))
        return fallback;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(reg.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(&value),
                         &size) != ERROR_SUCCESS)
        return fallback;
    return value;
}

bool WriteRegNumber(const std::wstring &key, const std::wstring &name, DWORD number) {
    RegKeyHandle reg;
    if (!CreateForWriting(reg, key))
        return false;
    return RegSetValueExW(reg.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number),
                          sizeof(number)) == ERROR_SUCCESS;
}
