#include "tarnbeam/retrieval/url_transfer.h"

#include <wininet.h>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/retrieval/trusted_host.h"

#include <cwchar>
#include <string>

namespace {

// Buffer sizes in characters: the canonical and the rebuilt URL, and each URL component.
const DWORD kUrlChars = 1000;
const DWORD kComponentChars = 1001;
// The sink never sees more than this many bytes at once.
const DWORD kChunkBytes = 300;
// Statuses from this one on are not a body; below it they are.
const DWORD kFirstFailingStatus = 300;

struct SchemeRule {
    INTERNET_PORT port;
    DWORD requestFlags;
    DWORD fallbackFlags;
};

// Redirects are never followed by WinINet itself: every hop is ours to check first.
bool RuleForScheme(INTERNET_SCHEME scheme, SchemeRule &rule) {
    switch (scheme) {
    case INTERNET_SCHEME_HTTP:
        rule = {INTERNET_DEFAULT_HTTP_PORT, INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT,
                INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_NO_AUTO_REDIRECT};
        return true;
    case INTERNET_SCHEME_HTTPS:
        rule = {INTERNET_DEFAULT_HTTPS_PORT,
                INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT,
                INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_SECURE |
                    INTERNET_FLAG_NO_AUTO_REDIRECT};
        return true;
    default:
        return false; // ftp and everything else
    }
}

bool IsRedirect(DWORD status) {
    return status == HTTP_STATUS_MOVED || status == HTTP_STATUS_REDIRECT ||
           status == HTTP_STATUS_REDIRECT_METHOD || status == HTTP_STATUS_REDIRECT_KEEP_VERB ||
           status == HTTP_STATUS_PERMANENT_REDIRECT;
}

bool Given(const wchar_t *text) {
    return text && *text;
}

// Copies `text` into a component buffer; a text that does not fit fails.
bool CopyComponent(wchar_t *buffer, const wchar_t *text, DWORD &length) {
    size_t n = wcslen(text);
    if (n >= kComponentChars)
        return false;
    wmemcpy(buffer, text, n + 1);
    length = static_cast<DWORD>(n);
    return true;
}

// One address of the transfer, split; nothing of it survives the call.
struct Address {
    wchar_t canonical[kUrlChars];
    wchar_t scheme[kComponentChars];
    wchar_t host[kComponentChars];
    wchar_t user[kComponentChars];
    wchar_t password[kComponentChars];
    wchar_t path[kComponentChars];
    wchar_t extra[kComponentChars];
    URL_COMPONENTSW parts;
    SchemeRule rule;
};

// What the caller gave for the whole transfer.
struct Request {
    const wchar_t *userName;
    const wchar_t *password;
    ChunkSink sink;
    void *context;
    const TransferRules &rules;
};

// Canonicalises and splits `url`, puts the caller's login in place of the URL's, and checks the
// address against the rules. False when it is malformed, too long or not allowed.
bool TakeAddress(const wchar_t *url, const Request &request, Address &a) {
    DWORD canonicalLength = kUrlChars;
    if (!InternetCanonicalizeUrlW(url, a.canonical, &canonicalLength, 0))
        return false;
    URL_COMPONENTSW &uc = a.parts;
    ZeroMemory(&uc, sizeof uc);
    uc.dwStructSize = sizeof uc;
    uc.lpszScheme = a.scheme;
    uc.dwSchemeLength = kComponentChars;
    uc.lpszHostName = a.host;
    uc.dwHostNameLength = kComponentChars;
    uc.lpszUserName = a.user;
    uc.dwUserNameLength = kComponentChars;
    uc.lpszPassword = a.password;
    uc.dwPasswordLength = kComponentChars;
    uc.lpszUrlPath = a.path;
    uc.dwUrlPathLength = kComponentChars;
    uc.lpszExtraInfo = a.extra;
    uc.dwExtraInfoLength = kComponentChars;
    if (!InternetCrackUrlW(a.canonical, 0, 0, &uc))
        return false;

    // A login given by the caller replaces the one written in the URL.
    if (Given(request.userName) && !CopyComponent(a.user, request.userName, uc.dwUserNameLength))
        return false;
    if (Given(request.password) && !CopyComponent(a.password, request.password, uc.dwPasswordLength))
        return false;

    if (!RuleForScheme(uc.nScheme, a.rule))
        return false;
    if (request.rules.httpsOnly && uc.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    return !request.rules.trustedHostsOnly || CheckTrustedHost(a.canonical) == HostCheck::kTrusted;
}

bool QueryNumber(HINTERNET handle, DWORD what, DWORD &number) {
    DWORD size = sizeof number;
    return HttpQueryInfoW(handle, what | HTTP_QUERY_FLAG_NUMBER, &number, &size, nullptr) != FALSE;
}

// Reads the body into the sink until it ends, a read fails, the sink stops or `expected` bytes
// (when not 0) have come. False only when the body outgrows the rules' limit.
bool ReadBody(HINTERNET handle, DWORD expected, const Request &request) {
    BYTE chunk[kChunkBytes];
    const unsigned long long limit = request.rules.maxBytes;
    unsigned long long delivered = 0;
    while (expected == 0 || delivered < expected) {
        DWORD got = 0;
        if (!InternetReadFile(handle, chunk, kChunkBytes, &got) || got == 0)
            break;
        delivered += got;
        if (limit != 0 && delivered > limit)
            return false;
        if (request.sink(chunk, got, expected, request.context) == 0)
            break;
    }
    return true;
}

// No Content-Length: ask again through a URL rebuilt from the parts, now with the query, with
// only the caller's login, on the scheme's own port, bypassing any cached copy. The body of the
// first request is not read.
bool FetchWithoutLength(HINTERNET root, Address &a, const Request &request) {
    const URL_COMPONENTSW &uc = a.parts;
    URL_COMPONENTSW rc;
    ZeroMemory(&rc, sizeof rc);
    rc.dwStructSize = sizeof rc;
    rc.lpszScheme = a.scheme;
    rc.dwSchemeLength = uc.dwSchemeLength;
    rc.nScheme = uc.nScheme;
    rc.lpszHostName = a.host;
    rc.dwHostNameLength = uc.dwHostNameLength;
    rc.nPort = a.rule.port;
    rc.lpszUserName = Given(request.userName) ? const_cast<wchar_t *>(request.userName) : nullptr;
    rc.dwUserNameLength = Given(request.userName) ? static_cast<DWORD>(wcslen(request.userName)) : 0;
    rc.lpszPassword = Given(request.password) ? const_cast<wchar_t *>(request.password) : nullptr;
    rc.dwPasswordLength = Given(request.password) ? static_cast<DWORD>(wcslen(request.password)) : 0;
    rc.lpszUrlPath = a.path;
    rc.dwUrlPathLength = uc.dwUrlPathLength;
    rc.lpszExtraInfo = a.extra;
    rc.dwExtraInfoLength = uc.dwExtraInfoLength;
    wchar_t rebuilt[kUrlChars];
    DWORD rebuiltLength = kUrlChars;
    if (!InternetCreateUrlW(&rc, 0, rebuilt, &rebuiltLength))
        return false;

    InternetHandle urlHandle(InternetOpenUrlW(root, rebuilt, nullptr, 0, a.rule.fallbackFlags, 0));
    if (!urlHandle)
        return false;
    // The same address answered below 300 a moment ago; anything else now is not its body.
    DWORD status = 0;
    if (!QueryNumber(urlHandle.get(), HTTP_QUERY_STATUS_CODE, status) || status >= kFirstFailingStatus)
        return false;
    return ReadBody(urlHandle.get(), 0, request);
}

enum class Outcome { kDone, kFailed, kRedirect };

// One request to one address. On a redirect, `location` receives the address it names, resolved
// against this one.
Outcome FetchOnce(HINTERNET root, Address &a, const Request &request, wchar_t (&location)[kUrlChars]) {
    const URL_COMPONENTSW &uc = a.parts;
    InternetHandle connection(
        InternetConnectW(root, a.host, a.rule.port, uc.dwUserNameLength ? a.user : nullptr,
                         uc.dwPasswordLength ? a.password : nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection)
        return Outcome::kFailed;
    // The object is the path alone: the query ("?" and after) is not sent in this request.
    InternetHandle httpRequest(HttpOpenRequestW(connection.get(), L"GET", a.path, nullptr, nullptr, nullptr,
                                                a.rule.requestFlags, 0));
    if (!httpRequest || !HttpSendRequestW(httpRequest.get(), nullptr, 0, nullptr, 0))
        return Outcome::kFailed;

    DWORD status = 0;
    if (!QueryNumber(httpRequest.get(), HTTP_QUERY_STATUS_CODE, status))
        return Outcome::kFailed;
    if (IsRedirect(status)) {
        wchar_t target[kUrlChars] = {};
        DWORD size = sizeof target;
        DWORD length = kUrlChars;
        if (!HttpQueryInfoW(httpRequest.get(), HTTP_QUERY_LOCATION, target, &size, nullptr) ||
            !InternetCombineUrlW(a.canonical, target, location, &length, 0))
            return Outcome::kFailed;
        return Outcome::kRedirect;
    }
    if (status >= kFirstFailingStatus)
        return Outcome::kFailed;

    DWORD contentLength = 0;
    if (QueryNumber(httpRequest.get(), HTTP_QUERY_CONTENT_LENGTH, contentLength)) {
        if (request.rules.maxBytes != 0 && contentLength > request.rules.maxBytes)
            return Outcome::kFailed;
        return ReadBody(httpRequest.get(), contentLength, request) ? Outcome::kDone : Outcome::kFailed;
    }
    return FetchWithoutLength(root, a, request) ? Outcome::kDone : Outcome::kFailed;
}

} // namespace

bool UrlTransfer(const wchar_t *userAgent, const wchar_t *url, const wchar_t *userName,
                 const wchar_t *password, ChunkSink sink, void *context, const TransferRules &rules) {
    if (!url || !sink)
        return false;
    const Request request = {userName, password, sink, context, rules};
    Address address; // about 14 KB, on the stack only for this call
    if (!TakeAddress(url, request, address))
        return false;

    InternetHandle root(InternetOpenW(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root)
        return false;
    for (int hop = 0;; ++hop) {
        wchar_t location[kUrlChars] = {};
        switch (FetchOnce(root.get(), address, request, location)) {
        case Outcome::kDone:
            return true;
        case Outcome::kFailed:
            return false;
        case Outcome::kRedirect:
            // The rules hold for every address: a refused one is never asked.
            if (hop >= kMaxRedirects || !TakeAddress(location, request, address))
                return false;
            break;
        }
    }
}
