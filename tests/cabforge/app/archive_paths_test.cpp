// Catches wrong placement of dropped paths in the archive tree and stored window states that
// would open the builder's window minimised or hidden: the pure rules behind them.
#include "cabforge/core/archive_paths.h"

#include <gtest/gtest.h>

namespace {

using namespace archive_paths;

TEST(FolderOf, CutsTheLastComponent) {
    EXPECT_EQ(folderOf(L"C:\\x\\F"), L"C:\\x");
    EXPECT_EQ(folderOf(L"C:\\x\\F\\"), L"C:\\x");
    EXPECT_EQ(folderOf(L"C:\\x\\a.txt"), L"C:\\x");
    EXPECT_EQ(folderOf(L"C:\\a.txt"), L"C:\\");
    EXPECT_EQ(folderOf(L"C:\\"), L"C:\\");
    EXPECT_EQ(folderOf(L"\\\\server\\share\\f"), L"\\\\server\\share");
    EXPECT_EQ(folderOf(L"name"), L"");
}

TEST(RelativeBelow, IgnoresCaseAndNeedsASeparator) {
    EXPECT_EQ(relativeBelow(L"C:\\x", L"c:\\X\\F\\sub\\b.txt", cfcmd::defaultCaseFold), L"F\\sub\\b.txt");
    EXPECT_EQ(relativeBelow(L"C:\\", L"C:\\a.txt", cfcmd::defaultCaseFold), L"a.txt");
    EXPECT_EQ(relativeBelow(L"C:\\x", L"C:\\xy\\a.txt", cfcmd::defaultCaseFold), L"");
    EXPECT_EQ(relativeBelow(L"C:\\x", L"C:\\x", cfcmd::defaultCaseFold), L"");
}

TEST(AsksOwnIcon, OnlyLocalFilesOfTheTypesWithIcons) {
    EXPECT_TRUE(asksOwnIcon(L"C:\\x\\setup.EXE"));
    EXPECT_TRUE(asksOwnIcon(L"C:\\x\\link.lnk"));
    EXPECT_FALSE(asksOwnIcon(L"C:\\x\\notes.txt"));
    EXPECT_FALSE(asksOwnIcon(L"C:\\x.lnk\\readme"));
    // Asking about these would reach the host or the device.
    EXPECT_FALSE(asksOwnIcon(L"\\\\host\\share\\x.lnk"));
    EXPECT_FALSE(asksOwnIcon(L"//host/share/app.exe"));
    EXPECT_FALSE(asksOwnIcon(L"\\\\?\\C:\\x.exe"));
    EXPECT_FALSE(asksOwnIcon(L"\\\\.\\pipe\\x.ico"));
}

TEST(BaseFor, PathsFromAnotherFolderComeByTheirOwnName) {
    const std::wstring first = L"C:\\x";
    EXPECT_EQ(baseFor(first, L"C:\\x\\b.txt", cfcmd::defaultCaseFold), L"C:\\x");
    EXPECT_EQ(baseFor(first, L"C:\\x\\deeper\\c.txt", cfcmd::defaultCaseFold), L"C:\\x");
    EXPECT_EQ(baseFor(first, L"D:\\other\\F", cfcmd::defaultCaseFold), L"D:\\other");
    EXPECT_EQ(baseFor(first, L"C:\\xy\\a.txt", cfcmd::defaultCaseFold), L"C:\\xy");
}

TEST(SplitComponents, DropsEmptyComponents) {
    EXPECT_EQ(splitComponents(L"F\\sub\\b.txt"), (std::vector<std::wstring>{L"F", L"sub", L"b.txt"}));
    EXPECT_EQ(splitComponents(L"a.txt"), (std::vector<std::wstring>{L"a.txt"}));
    EXPECT_EQ(splitComponents(L"a\\\\b\\"), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_TRUE(splitComponents(L"").empty());
}

TEST(RestoreShowCommand, NeverMinimisedOrHidden) {
    for (int shown : {1, 3, 4, 5, 8, 9, 10})
        EXPECT_EQ(restoreShowCommand(shown), shown) << shown;
    for (int other : {0, 2, 6, 7, 11, 12, -1, 0x7FFFFFFF})
        EXPECT_EQ(restoreShowCommand(other), 10) << other;
}

TEST(StoredPaneWidth, MissingMeansSeventyPercent) {
    EXPECT_EQ(storedPaneWidth(-1, 1001), 700);
    EXPECT_EQ(storedPaneWidth(250, 1001), 250);
    // Other values are bounded when applied.
    EXPECT_EQ(clampPanePosition(storedPaneWidth(-256, 800), 800), 100);
}

} // namespace
