// JSON output for the test probes: wide text as a quoted, escaped UTF-8 JSON string.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

inline std::string ProbeUtf8(const std::wstring &w) {
    if (w.empty())
        return std::string();
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &out[0], n, nullptr, nullptr);
    return out;
}

inline std::string JsonString(const std::wstring &w) {
    std::string out = "\"";
    for (char c : ProbeUtf8(w)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}
