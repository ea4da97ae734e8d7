// The trusted-domain rule: the maker's documents and update programs come only from hosts whose
// names end with a built-in suffix, and, when the build requires it, only over https.
#pragma once

#include <string>

enum class HostCheck {
    kTrusted,
    kNoHostName, // no host name can be taken from the URL
    kTooShort,   // the host name is shorter than the suffix
    kUntrusted,  // the host name does not end with the suffix (case included), or https is
                 // required and the address is not https
};

HostCheck CheckTrustedHost(const std::wstring &url);
