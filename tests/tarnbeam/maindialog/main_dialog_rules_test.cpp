// Catches a main dialog that opens on the wrong tab, or renders a description with its
// placeholders replaced wrongly (rescanned, case-folded, or only the first one).
#include "tarnbeam/ui/portable/main_dialog_rules.h"

#include <gtest/gtest.h>

using maindialog::chooseInitialTab;
using maindialog::InitialTabInputs;
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
