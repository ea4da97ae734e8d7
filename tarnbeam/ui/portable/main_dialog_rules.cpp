#include "tarnbeam/ui/portable/main_dialog_rules.h"

#include <algorithm>

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

namespace {

const std::uint32_t kOpaque = 0xFF000000u;

bool hasAlpha(const std::vector<std::uint32_t> &pixels) {
    return std::any_of(pixels.begin(), pixels.end(), [](std::uint32_t p) { return (p & kOpaque) != 0; });
}

// The alpha-weighted average of the source pixels [x0, x1) x [y0, y1).
std::uint32_t averageOf(const Picture &picture, bool opaque, int x0, int x1, int y0, int y1) {
    std::uint64_t alphaSum = 0, blue = 0, green = 0, red = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const std::uint32_t p = picture.pixels[static_cast<std::size_t>(y) * picture.width + x];
            const std::uint32_t alpha = opaque ? 255u : p >> 24;
            alphaSum += alpha;
            blue += (p & 0xFFu) * alpha;
            green += ((p >> 8) & 0xFFu) * alpha;
            red += ((p >> 16) & 0xFFu) * alpha;
        }
    }
    if (alphaSum == 0)
        return 0;
    const std::uint64_t count = static_cast<std::uint64_t>(x1 - x0) * (y1 - y0);
    const std::uint32_t alpha = static_cast<std::uint32_t>((alphaSum + count / 2) / count);
    auto channel = [alphaSum](std::uint64_t sum) {
        return static_cast<std::uint32_t>((sum + alphaSum / 2) / alphaSum);
    };
    return alpha << 24 | channel(red) << 16 | channel(green) << 8 | channel(blue);
}

} // namespace

Picture fitPictureToCell(const Picture &picture, int cellWidth, int cellHeight) {
    Picture cell;
    if (cellWidth <= 0 || cellHeight <= 0 || picture.width <= 0 || picture.height <= 0 ||
        picture.width > kMaxPictureSide || picture.height > kMaxPictureSide ||
        picture.pixels.size() < static_cast<std::size_t>(picture.width) * picture.height)
        return cell;
    cell.width = cellWidth;
    cell.height = cellHeight;
    cell.pixels.assign(static_cast<std::size_t>(cellWidth) * cellHeight, 0);
    const bool opaque = !hasAlpha(picture.pixels);
    // The scaled size: the picture's own when it fits, else the larger of the two that fit
    // (width or height reaching the cell's), never less than one pixel.
    int width = picture.width, height = picture.height;
    if (width > cellWidth || height > cellHeight) {
        if (static_cast<long long>(width) * cellHeight >= static_cast<long long>(height) * cellWidth) {
            height = std::max(1, static_cast<int>(static_cast<long long>(height) * cellWidth / width));
            width = cellWidth;
        } else {
            width = std::max(1, static_cast<int>(static_cast<long long>(width) * cellHeight / height));
            height = cellHeight;
        }
    }
    const int left = (cellWidth - width) / 2, top = (cellHeight - height) / 2;
    for (int y = 0; y < height; ++y) {
        const int y0 = static_cast<int>(static_cast<long long>(y) * picture.height / height);
        const int y1 =
            std::max(y0 + 1, static_cast<int>(static_cast<long long>(y + 1) * picture.height / height));
        for (int x = 0; x < width; ++x) {
            const int x0 = static_cast<int>(static_cast<long long>(x) * picture.width / width);
            const int x1 =
                std::max(x0 + 1, static_cast<int>(static_cast<long long>(x + 1) * picture.width / width));
            cell.pixels[static_cast<std::size_t>(top + y) * cellWidth + left + x] =
                averageOf(picture, opaque, x0, x1, y0, y1);
        }
    }
    return cell;
}

} // namespace maindialog
