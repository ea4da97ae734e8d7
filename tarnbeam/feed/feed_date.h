// Feed and release dates: RFC 822 style texts and four looser layouts, to UTC.
#pragma once
#include <windows.h>

// Parses `text` with the five feed-date layouts, first match wins. On success `utc` holds the
// instant in UTC with its day of week; on failure `utc` is left unchanged.
bool parseFeedDate(const wchar_t *text, SYSTEMTIME &utc);
