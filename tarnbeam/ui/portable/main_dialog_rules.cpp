#include "tarnbeam/ui/portable/main_dialog_rules.h"

namespace maindialog {

int chooseInitialTab(const InitialTabInputs &in) {
    // A newer version always opens on the update list.
    if (in.anyNewerEntry)
        return 0;
    // An automatic check that was not asked to show news stays on the update list.
    if (in.autoCheck && !in.integrateMode && in.showOption != 1 && !in.updateListEmpty)
        return 0;
    return in.newsListEmpty ? 0 : 1;
}

std::wstring replaceAll(const std::wstring &text, const std::wstring &placeholder,
                        const std::wstring &value) {
    if (placeholder.empty())
        return text;
    std::wstring out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at = text.find(placeholder); at != std::wstring::npos;
         at = text.find(placeholder, from)) {
        out.append(text, from, at - from);
        out += value;
        from = at + placeholder.size();
    }
    out.append(text, from, std::wstring::npos);
    return out;
}

} // namespace maindialog
