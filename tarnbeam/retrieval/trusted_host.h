// The trusted-domain rule: the maker's documents and update programs come only from hosts whose
// names end with a built-in suffix.
#pragma once

#include <string>

enum class HostCheck {
    kTrusted,
    kNoHostName, // no host name can be taken from the URL
    kTooShort,   // the host name is shorter than the suffix
    kUntrusted,  // the host name does not end with the suffix (case included)
};

HostCheck CheckTrustedHost(const std::wstring &url);
