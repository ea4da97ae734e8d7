// Catches a main dialog that opens on the wrong tab, renders a description with its
// placeholders replaced wrongly (rescanned, case-folded, or only the first one), or gives the
// news list a picture that is not exactly one cell (the list then draws nothing for it).
#include "tarnbeam/ui/portable/main_dialog_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

using maindialog::chooseInitialTab;
using maindialog::fitPictureToCell;
using maindialog::InitialTabInputs;
using maindialog::Picture;
using maindialog::replaceAll;

TEST(InitialTab, EachCaseTheRuleTellsApart) {
    struct Case {
        bool autoCheck, integrate;
        int showOption;
        bool updatesEmpty, newsEmpty, newer;
        int tab;
    };
    const Case cases[] = {
        // An automatic check that shows only program updates stays on the update list...
        {true, false, 0, false, false, false, 0},
        {true, false, 2, false, false, false, 0},
        // ...but not when it was asked for news, in integrate mode, or without update rows.
        {true, false, 1, false, false, false, 1},
        {true, true, 0, false, false, false, 1},
        {true, false, 0, true, false, false, 1},
        // Started by the user: news first when there is any.
        {false, false, 0, false, false, false, 1},
        {false, false, 0, false, true, false, 0},
        {false, false, 0, true, true, false, 0},
        // A newer version wins over everything.
        {false, false, 1, false, false, true, 0},
        {true, true, 1, false, false, true, 0},
        // A stored option outside 0-2 counts as "not 1".
        {true, false, 7, false, false, false, 0},
    };
    for (const Case &c : cases) {
        InitialTabInputs in;
        in.autoCheck = c.autoCheck;
        in.integrateMode = c.integrate;
        in.showOption = c.showOption;
        in.updateListEmpty = c.updatesEmpty;
        in.newsListEmpty = c.newsEmpty;
        in.anyNewerEntry = c.newer;
        EXPECT_EQ(chooseInitialTab(in), c.tab) << "case #" << (&c - cases);
    }
}

TEST(Placeholders, LiteralAllOccurrencesNoRescan) {
    const std::wstring code = L"$$CHECKERRORCODE$$";
    EXPECT_EQ(replaceAll(L"no placeholder", code, L"104"), L"no placeholder");
    EXPECT_EQ(replaceAll(L"$$CHECKERRORCODE$$/$$CHECKERRORCODE$$$$CHECKERRORCODE$$", code, L"104"),
              L"104/104104");
    // Case matters, and a value holding the placeholder is not replaced again.
    EXPECT_EQ(replaceAll(L"a $$checkerrorcode$$ b $$CHECKERRORCODE$$", code, L"[$$CHECKERRORCODE$$]"),
              L"a $$checkerrorcode$$ b [$$CHECKERRORCODE$$]");
    // Overlapping candidates are taken left to right.
    EXPECT_EQ(replaceAll(L"$$$APPVERSION$$$", L"$$APPVERSION$$", L"4.6"), L"$4.6$");
    EXPECT_EQ(replaceAll(L"", code, L"x"), L"");
}

TEST(Placeholders, ManyOccurrencesStayLinear) {
    std::wstring text;
    for (int i = 0; i < 100000; ++i)
        text += L"$$APPVERSION$$";
    const std::wstring out = replaceAll(text, L"$$APPVERSION$$", L"1.02.03");
    EXPECT_EQ(out.size(), 100000u * 7);
    EXPECT_EQ(out.substr(0, 14), L"1.02.031.02.03");
}

namespace {

Picture Solid(int width, int height, std::uint32_t pixel) {
    Picture p;
    p.width = width;
    p.height = height;
    p.pixels.assign(static_cast<std::size_t>(width) * height, pixel);
    return p;
}

std::uint32_t At(const Picture &p, int x, int y) {
    return p.pixels[static_cast<std::size_t>(y) * p.width + x];
}

} // namespace

TEST(NewsPictures, ACellSizedPictureStaysAsItIs) {
    Picture p = Solid(32, 16, 0x80102030u);
    p.pixels[5] = 0x00FFFFFFu; // one transparent pixel keeps the alpha channel meaningful
    const Picture cell = fitPictureToCell(p, 32, 16);
    EXPECT_EQ(cell.width, 32);
    EXPECT_EQ(cell.height, 16);
    EXPECT_EQ(cell.pixels[0], 0x80102030u);
    EXPECT_EQ(cell.pixels[5], 0u);
}

TEST(NewsPictures, WithoutAlphaChannelTheyAreOpaque) {
    // A picture read from a bitmap without alpha has 0 in every alpha byte.
    const Picture cell = fitPictureToCell(Solid(32, 16, 0x00FF0000u), 32, 16);
    EXPECT_EQ(At(cell, 0, 0), 0xFFFF0000u);
    EXPECT_EQ(At(cell, 31, 15), 0xFFFF0000u);
}

TEST(NewsPictures, SmallerPicturesAreCentredOnATransparentCell) {
    const Picture cell = fitPictureToCell(Solid(16, 16, 0xFF00FF00u), 32, 16);
    ASSERT_EQ(cell.pixels.size(), 32u * 16);
    EXPECT_EQ(At(cell, 7, 8), 0u);
    EXPECT_EQ(At(cell, 8, 0), 0xFF00FF00u);
    EXPECT_EQ(At(cell, 23, 15), 0xFF00FF00u);
    EXPECT_EQ(At(cell, 24, 8), 0u);
    const Picture dot = fitPictureToCell(Solid(1, 1, 0xFF0000FFu), 32, 16);
    EXPECT_EQ(At(dot, 15, 7), 0xFF0000FFu); // (32 - 1) / 2, (16 - 1) / 2
    EXPECT_EQ(std::count(dot.pixels.begin(), dot.pixels.end(), 0u), 32 * 16 - 1);
}

TEST(NewsPictures, LargerPicturesAreScaledDownWithTheirProportions) {
    // 64x64 becomes 16x16 in the middle: each pixel averages a 4x4 block.
    Picture p = Solid(64, 64, 0xFF000000u);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; x += 2)
            p.pixels[static_cast<std::size_t>(y) * 64 + x] = 0xFFFFFFFFu;
    const Picture cell = fitPictureToCell(p, 32, 16);
    EXPECT_EQ(At(cell, 7, 8), 0u);
    EXPECT_EQ(At(cell, 8, 0), 0xFF808080u);
    EXPECT_EQ(At(cell, 23, 15), 0xFF808080u);
    EXPECT_EQ(At(cell, 24, 0), 0u);
    // Wide and flat: the width reaches the cell's, the height shrinks with it (never below one).
    const Picture wide = fitPictureToCell(Solid(1000, 2, 0xFF123456u), 32, 16);
    EXPECT_EQ(At(wide, 0, 7), 0xFF123456u);
    EXPECT_EQ(At(wide, 31, 7), 0xFF123456u);
    EXPECT_EQ(At(wide, 0, 6), 0u);
    EXPECT_EQ(At(wide, 0, 8), 0u);
}

TEST(NewsPictures, TransparentPixelsDoNotDarkenTheAverage) {
    Picture p = Solid(64, 32, 0x000000FFu); // transparent "blue" must not leak in
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; x += 2)
            p.pixels[static_cast<std::size_t>(y) * 64 + x] = 0xFFFF0000u;
    const Picture cell = fitPictureToCell(p, 32, 16);
    EXPECT_EQ(At(cell, 10, 10), 0x80FF0000u);
}

TEST(NewsPictures, UnusablePicturesGiveNothing) {
    EXPECT_TRUE(fitPictureToCell(Picture(), 32, 16).pixels.empty());
    Picture shortOfPixels = Solid(32, 16, 0xFFFFFFFFu);
    shortOfPixels.pixels.pop_back();
    EXPECT_TRUE(fitPictureToCell(shortOfPixels, 32, 16).pixels.empty());
    EXPECT_TRUE(
        fitPictureToCell(Solid(maindialog::kMaxPictureSide + 1, 1, 0xFFFFFFFFu), 32, 16).pixels.empty());
    EXPECT_FALSE(fitPictureToCell(Solid(maindialog::kMaxPictureSide, 1, 0xFFFFFFFFu), 32, 16).pixels.empty());
}
