// One HTTP(S) GET through WinINet, the body handed to a sink in small chunks.
#pragma once
#include <windows.h>

// Receives one chunk of the response body: `size` is 1..300 bytes; `total` is the response's
// Content-Length, or 0 when the server sent none. Return 0 to stop the transfer (which still
// succeeds), anything else to go on.
typedef int (*ChunkSink)(const BYTE *data, DWORD size, DWORD total, void *context);

// Which addresses a transfer may reach, on its first request and on every redirect it follows,
// and how much it may receive.
struct TransferRules {
    // Only hosts of the trusted domain (the version-information document, update programs);
    // otherwise any host (the feed and its pictures).
    bool trustedHostsOnly = false;
    // Only https addresses; otherwise http or https.
    bool httpsOnly = false;
    // A body longer than this fails the transfer; 0 sets no limit.
    unsigned long long maxBytes = 0;
};

// A redirect is followed this many times at most; one more fails the transfer.
const int kMaxRedirects = 5;

// Fetches `url` with a GET request. `userName` and `password` may be null or empty (not
// given). http is always fetched from port 80 and https from port 443, whatever port the URL
// names; any other scheme fails. A redirect (301, 302, 303, 307, 308) is followed only to an
// address `rules` allow, and the refused address is never asked. True when the server answered
// with a status below 300 (and, without Content-Length, the repeated request could be opened);
// it does not mean the whole body arrived. The body is never held in memory: it goes to `sink`
// chunk by chunk.
bool UrlTransfer(const wchar_t *userAgent, const wchar_t *url, const wchar_t *userName,
                 const wchar_t *password, ChunkSink sink, void *context, const TransferRules &rules);
