#include "tarnbeam/app/module_info.h"

#include <shlwapi.h>

#include <boost/format.hpp>

std::wstring LoadResourceString(UINT id) {
    const wchar_t *text = nullptr;
    const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

namespace {

template <class T> std::wstring FormatWith(const std::wstring &pattern, const T &value) {
    try {
        boost::wformat f(pattern);
        f.exceptions(boost::io::all_error_bits ^
                     (boost::io::too_many_args_bit | boost::io::too_few_args_bit));
        return (f % value).str();
    } catch (const boost::io::format_error &) {
        return pattern;
    }
}

} // namespace

std::wstring FormatText(const std::wstring &pattern, int value) {
    return FormatWith(pattern, value);
}

std::wstring FormatText(const std::wstring &pattern, const std::wstring &value) {
    return FormatWith(pattern, value);
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    PathRemoveFileSpecW(path);
    if (!PathAddBackslashW(path))
        return std::wstring();
    return path;
}
