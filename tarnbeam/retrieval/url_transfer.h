// One HTTP(S) GET through WinINet, the body handed to a sink in small chunks.
#pragma once
#include <windows.h>

// Receives one chunk of the response body: `size` is 1..300 bytes; `total` is the response's
// Content-Length, or 0 when the server sent none. Return 0 to stop the transfer (which still
// succeeds), anything else to go on.
typedef int (*ChunkSink)(const BYTE *data, DWORD size, DWORD total, void *context);

// Fetches `url` with a GET request. `userName` and `password` may be null or empty (not
// given). http is always fetched from port 80 and https from port 443, whatever port the URL
// names; any other scheme fails. True when the server answered with a status below 300 (and,
// without Content-Length, the repeated request could be opened); it does not mean the whole
// body arrived. The body is never held in memory: it goes to `sink` chunk by chunk.
bool UrlTransfer(const wchar_t *userAgent, const wchar_t *url, const wchar_t *userName,
                 const wchar_t *password, ChunkSink sink, void *context);
