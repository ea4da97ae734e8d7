#include "tarnbeam/retrieval/trusted_host.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>

#include "tarnbeam/retrieval/trust_settings.h"

namespace {

// The suffix is a build setting of exactly 14 characters.
const wchar_t kTrustedDomain[] = TB_TRUSTED_DOMAIN;
const size_t kTrustedDomainChars = sizeof kTrustedDomain / sizeof kTrustedDomain[0] - 1;
static_assert(sizeof kTrustedDomain / sizeof kTrustedDomain[0] - 1 == 14,
              "the trusted-domain suffix has 14 characters");

// Buffer for the host name (the platform's URL length limit).
const DWORD kHostNameChars = 2084;

} // namespace

HostCheck CheckTrustedHost(const std::wstring &url) {
    wchar_t host[kHostNameChars] = {};
    DWORD hostLength = kHostNameChars;
    if (FAILED(UrlGetPartW(url.c_str(), host, &hostLength, URL_PART_HOSTNAME, 0)))
        return HostCheck::kNoHostName;
    const size_t hostChars = wcslen(host);
    if (hostChars < kTrustedDomainChars)
        return HostCheck::kTooShort;
    if (wcscmp(host + hostChars - kTrustedDomainChars, kTrustedDomain) != 0)
        return HostCheck::kUntrusted;
    wchar_t scheme[kHostNameChars] = {};
    DWORD schemeLength = kHostNameChars;
    if (g_trust.requireHttps &&
        (FAILED(UrlGetPartW(url.c_str(), scheme, &schemeLength, URL_PART_SCHEME, 0)) ||
         lstrcmpiW(scheme, L"https") != 0))
        return HostCheck::kUntrusted;
    return HostCheck::kTrusted;
}
