#include "tarnbeam/feed/new_information.h"

#include <cwchar>

#include "tarnbeam/app/config.h"
#include "tarnbeam/app/settings.h"
#include "tarnbeam/feed/news_feed.h"

namespace {

const wchar_t kMarkerName[] = L"LastRSSItemDate";
const wchar_t kDefaultCommonKey[] = L"Software\\Ondrel\\Ondrel Update";

} // namespace

std::wstring FormatNewsMarker(const SYSTEMTIME &t) {
    wchar_t text[64];
    swprintf(text, 64, L"%04d/%02d/%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    return text;
}

bool hasNewInformation() {
    if (newsItems.empty())
        return false;
    const std::wstring newest = FormatNewsMarker(newsItems[0].published);
    const std::wstring &key =
        g_config.CommonRegKey.empty() ? std::wstring(kDefaultCommonKey) : g_config.CommonRegKey;
    if (ReadRegText(key, kMarkerName) == newest)
        return false;
    WriteRegText(key, kMarkerName, newest); // a failed write shows the same item again next run
    return true;
}
