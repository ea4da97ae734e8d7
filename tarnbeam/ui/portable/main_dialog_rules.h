// The main dialog's decisions that need no window: which tab opens first, and the placeholder
// replacement in the texts it renders. Portable: no Windows header.
#pragma once

#include <string>

namespace maindialog {

struct InitialTabInputs {
    bool autoCheck = false; // started for an automatic check
    bool integrateMode = false;
    int showOption = 0;
    bool updateListEmpty = true;
    bool newsListEmpty = true;
    bool anyNewerEntry = false; // some update entry offers a newer version
};

// 0 (update information) or 1 (announcements).
int chooseInitialTab(const InitialTabInputs &in);

// `text` with every occurrence of `placeholder` replaced by `value`: literal and case-sensitive,
// left to right, and replaced text is never searched again.
std::wstring replaceAll(const std::wstring &text, const std::wstring &placeholder, const std::wstring &value);

} // namespace maindialog
