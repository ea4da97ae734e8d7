#include "tarnbeam/ui/link_policy.h"

#include <shellapi.h>

#include "tarnbeam/ui/portable/html_rich_text.h"
#include "tarnbeam/ui/window_utils.h"

bool OpenLinkOutside(HWND owner, const std::wstring &address) {
    if (!htmltext::isOpenableAddress(AsUtf16(address)))
        return false;
    ShellExecuteW(owner, L"open", address.c_str(), nullptr, nullptr, SW_SHOWDEFAULT);
    return true;
}

bool NavigatesInPlace(const std::wstring &address) {
    return htmltext::isInPlaceAddress(AsUtf16(address));
}
