#include "tarnbeam/ui/link_policy.h"

#include <shellapi.h>

#include <string_view>

#include "tarnbeam/ui/portable/html_rich_text.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

std::u16string_view AsUtf16(const std::wstring &text) {
    return std::u16string_view(reinterpret_cast<const char16_t *>(text.data()), text.size());
}

} // namespace

bool OpenLinkOutside(HWND owner, const std::wstring &address) {
    if (!htmltext::isOpenableAddress(AsUtf16(address)))
        return false;
    ShellExecuteW(owner, L"open", address.c_str(), nullptr, nullptr, SW_SHOWDEFAULT);
    return true;
}

bool NavigatesInPlace(const std::wstring &address) {
    return htmltext::isInPlaceAddress(AsUtf16(address));
}
