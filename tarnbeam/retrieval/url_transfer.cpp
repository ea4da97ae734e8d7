#include "tarnbeam/retrieval/url_transfer.h"

#include <wininet.h>

#include "tarnbeam/app/win_handles.h"

#include <cwchar>

namespace {

// Buffer sizes in characters: the canonical and the rebuilt URL, and each URL component.
const DWORD kUrlChars = 1000;
const DWORD kComponentChars = 1001;
// The sink never sees more than this many bytes at once.
const DWORD kChunkBytes = 300;

struct SchemeRule {
    INTERNET_PORT port;
    DWORD requestFlags;
    DWORD fallbackFlags;
};

bool RuleForScheme(INTERNET_SCHEME scheme, SchemeRule &rule) {
    switch (scheme) {
    case INTERNET_SCHEME_HTTP:
        rule = {INTERNET_DEFAULT_HTTP_PORT, INTERNET_FLAG_NO_UI,
                INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT};
        return true;
    case INTERNET_SCHEME_HTTPS:
        rule = {INTERNET_DEFAULT_HTTPS_PORT, INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_UI,
                INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_SECURE};
        return true;
    default:
        return false; // ftp and everything else
    }
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

// The per-call buffers; nothing of them survives the call.
struct TransferBuffers {
    wchar_t canonical[kUrlChars];
    wchar_t scheme[kComponentChars];
    wchar_t host[kComponentChars];
    wchar_t user[kComponentChars];
    wchar_t password[kComponentChars];
    wchar_t path[kComponentChars];
    wchar_t extra[kComponentChars];
    wchar_t rebuilt[kUrlChars];
    BYTE chunk[kChunkBytes];
};

} // namespace

bool UrlTransfer(const wchar_t *userAgent, const wchar_t *url, const wchar_t *userName,
                 const wchar_t *password, ChunkSink sink, void *context) {
    if (!url || !sink)
        return false;

    TransferBuffers b; // about 14 KB, on the stack only for this call

    DWORD canonicalLength = kUrlChars;
    if (!InternetCanonicalizeUrlW(url, b.canonical, &canonicalLength, 0))
        return false;

    URL_COMPONENTSW uc;
    ZeroMemory(&uc, sizeof uc);
    uc.dwStructSize = sizeof uc;
    uc.lpszScheme = b.scheme;
    uc.dwSchemeLength = kComponentChars;
    uc.lpszHostName = b.host;
    uc.dwHostNameLength = kComponentChars;
    uc.lpszUserName = b.user;
    uc.dwUserNameLength = kComponentChars;
    uc.lpszPassword = b.password;
    uc.dwPasswordLength = kComponentChars;
    uc.lpszUrlPath = b.path;
    uc.dwUrlPathLength = kComponentChars;
    uc.lpszExtraInfo = b.extra;
    uc.dwExtraInfoLength = kComponentChars;
    if (!InternetCrackUrlW(b.canonical, 0, 0, &uc))
        return false;

    // A login given by the caller replaces the one written in the URL.
    if (Given(userName) && !CopyComponent(b.user, userName, uc.dwUserNameLength))
        return false;
    if (Given(password) && !CopyComponent(b.password, password, uc.dwPasswordLength))
        return false;

    SchemeRule rule;
    if (!RuleForScheme(uc.nScheme, rule))
        return false;

    // Declared in the order of opening, so they close in reverse: URL, request, connection,
    // root, on every path out of this function.
    InternetHandle root;
    InternetHandle connection;
    InternetHandle request;
    InternetHandle urlHandle;

    root.reset(InternetOpenW(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root)
        return false;

    connection.reset(InternetConnectW(root.get(), b.host, rule.port, uc.dwUserNameLength ? b.user : nullptr,
                                      uc.dwPasswordLength ? b.password : nullptr, INTERNET_SERVICE_HTTP, 0,
                                      0));
    if (!connection)
        return false;

    // The object is the path alone: the query ("?" and after) is not sent in this request.
    request.reset(
        HttpOpenRequestW(connection.get(), L"GET", b.path, nullptr, nullptr, nullptr, rule.requestFlags, 0));
    if (!request)
        return false;
    if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0))
        return false;

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr))
        return false;
    if (status >= 300)
        return false;

    DWORD contentLength = 0;
    size = sizeof contentLength;
    if (HttpQueryInfoW(request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &contentLength,
                       &size, nullptr)) {
        unsigned long long delivered = 0;
        while (delivered < contentLength) {
            DWORD got = 0;
            if (!InternetReadFile(request.get(), b.chunk, kChunkBytes, &got) || got == 0)
                break;
            delivered += got;
            if (sink(b.chunk, got, contentLength, context) == 0)
                break;
        }
        return true;
    }

    // No Content-Length: ask again through a URL rebuilt from the parts, now with the query,
    // with only the caller's login, on the scheme's own port, bypassing any cached copy. The
    // body of the first request is not read.
    URL_COMPONENTSW rc;
    ZeroMemory(&rc, sizeof rc);
    rc.dwStructSize = sizeof rc;
    rc.lpszScheme = b.scheme;
    rc.dwSchemeLength = uc.dwSchemeLength;
    rc.nScheme = uc.nScheme;
    rc.lpszHostName = b.host;
    rc.dwHostNameLength = uc.dwHostNameLength;
    rc.nPort = rule.port;
    rc.lpszUserName = Given(userName) ? const_cast<wchar_t *>(userName) : nullptr;
    rc.dwUserNameLength = Given(userName) ? static_cast<DWORD>(wcslen(userName)) : 0;
    rc.lpszPassword = Given(password) ? const_cast<wchar_t *>(password) : nullptr;
    rc.dwPasswordLength = Given(password) ? static_cast<DWORD>(wcslen(password)) : 0;
    rc.lpszUrlPath = b.path;
    rc.dwUrlPathLength = uc.dwUrlPathLength;
    rc.lpszExtraInfo = b.extra;
    rc.dwExtraInfoLength = uc.dwExtraInfoLength;
    DWORD rebuiltLength = kUrlChars;
    if (!InternetCreateUrlW(&rc, 0, b.rebuilt, &rebuiltLength))
        return false;

    urlHandle.reset(InternetOpenUrlW(root.get(), b.rebuilt, nullptr, 0, rule.fallbackFlags, 0));
    if (!urlHandle)
        return false;
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(urlHandle.get(), b.chunk, kChunkBytes, &got) || got == 0)
            break;
        if (sink(b.chunk, got, 0, context) == 0)
            break;
    }
    return true;
}
