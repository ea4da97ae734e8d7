// The main dialog's decisions that need no window: which tab opens first, the placeholder
// replacement in the texts it renders, and the fitting of news pictures into the news list's
// picture cell. Portable: no Windows header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Pictures wider or taller than this are not fitted (they would cost more memory than a list
// picture is worth); the news list shows its default picture for them.
const int kMaxPictureSide = 1024;

// A picture as 32-bit pixels, blue in the low byte and alpha in the high byte (straight, not
// premultiplied), rows from the top.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
};

// `picture` fitted into a cell of cellWidth x cellHeight pixels: unscaled when it fits, else
// scaled down to fit with its proportions kept (each pixel the alpha-weighted average of the
// pixels it covers); centred, the rest of the cell transparent. A picture whose alpha is 0
// everywhere has no alpha channel and counts as opaque. Empty pixels when the picture is
// empty, has fewer pixels than its size says, or is larger than kMaxPictureSide either way.
Picture fitPictureToCell(const Picture &picture, int cellWidth, int cellHeight);

} // namespace maindialog
