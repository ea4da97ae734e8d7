#include "tarnbeam/retrieval/portable/download_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using download::digestMatches;
using download::downloadPathComponents;
using download::isPlainComponent;
using download::progressPercent;

TEST(DownloadRules, PlainComponentsAreAccepted) {
    for (const wchar_t *name : {L"setup.exe", L"Update 4.6.exe", L"a", L"..setup.exe", L"CONSOLE.exe",
                                L"COM10.exe", L"LPT.exe", L"\x30a2\x30c3\x30d7.exe", L"x.y.z"})
        EXPECT_TRUE(isPlainComponent(name)) << std::wstring(name).c_str();
}

TEST(DownloadRules, NamesThatLeaveTheFolderOrNameSomethingElseAreRefused) {
    for (const wchar_t *name : {L"",
                                L".",
                                L"..",
                                L"..\\evil.exe",
                                L"../evil.exe",
                                L"C:",
                                L"C:setup.exe",
                                L"setup.exe:s",
                                L"dir\\setup.exe",
                                L"set*.exe",
                                L"set?.exe",
                                L"\"q\".exe",
                                L"a<b",
                                L"a>b",
                                L"a|b",
                                L"tab\there",
                                L"bell\x7f",
                                L"setup.exe.",
                                L"setup.exe ",
                                L"CON",
                                L"con",
                                L"CON.exe",
                                L"nul.txt",
                                L"AUX",
                                L"PRN.log",
                                L"COM1",
                                L"com9.exe",
                                L"LPT1",
                                L"lpt3.dat",
                                L"CON .exe",
                                L"CONIN$",
                                L"conout$.x"})
        EXPECT_FALSE(isPlainComponent(name)) << std::wstring(name).size();
}

TEST(DownloadRules, DownloadPathsAreCheckedComponentByComponent) {
    std::vector<std::wstring> parts;
    const std::vector<std::wstring> expected = {L"Ondrel", L"Updates"};
    for (const wchar_t *path :
         {L"Ondrel\\Updates", L"Ondrel\\Updates\\", L"\\Ondrel\\Updates", L"Ondrel\\\\Updates"}) {
        EXPECT_TRUE(downloadPathComponents(path, parts)) << path;
        EXPECT_EQ(parts, expected) << path;
    }
    for (const wchar_t *path : {L"", L"\\", L"Ondrel\\..\\..\\Users", L"C:\\Ondrel", L"Ondrel/Update",
                                L"Ondrel\\NUL", L"Ondrel\\x.", L"\\\\?\\C:\\x"})
        EXPECT_FALSE(downloadPathComponents(path, parts)) << std::wstring(path).size();
}

TEST(DownloadRules, DigestsCompareWithoutCaseAndNeverMatchMalformedText) {
    const std::wstring computed = L"9e107d9d372bb6826bd81d3542a419d6";
    EXPECT_TRUE(digestMatches(computed, L"9e107d9d372bb6826bd81d3542a419d6"));
    EXPECT_TRUE(digestMatches(computed, L"9E107D9D372BB6826BD81D3542A419D6"));
    EXPECT_FALSE(digestMatches(computed, L""));
    EXPECT_FALSE(digestMatches(computed, L"9e107d9d372bb6826bd81d3542a419d"));
    EXPECT_FALSE(digestMatches(computed, L"9e107d9d372bb6826bd81d3542a419d60"));
    EXPECT_FALSE(digestMatches(computed, L"9e107d9d372bb6826bd81d3542a419d7"));
    // Equal but not hexadecimal, or both empty: no match.
    EXPECT_FALSE(digestMatches(L"", L""));
    EXPECT_FALSE(digestMatches(L"zz", L"ZZ"));
}

TEST(DownloadRules, ProgressIsAPercentageThatCannotOverflow) {
    EXPECT_EQ(progressPercent(0, 0), 0);
    EXPECT_EQ(progressPercent(5000, 0), 0);
    EXPECT_EQ(progressPercent(0, 1000), 0);
    EXPECT_EQ(progressPercent(999, 1000), 99);
    EXPECT_EQ(progressPercent(1000, 1000), 100);
    EXPECT_EQ(progressPercent(1500, 1000), 100);
    // 200 MB and a size near the 32-bit limit: 32-bit arithmetic would wrap here.
    EXPECT_EQ(progressPercent(100u * 1024 * 1024, 200u * 1024 * 1024), 50);
    EXPECT_EQ(progressPercent(0xFFFFFFFEull, 0xFFFFFFFFull), 99);
    EXPECT_EQ(progressPercent(1ull << 61, 1ull << 62), 50);
    EXPECT_EQ(progressPercent(UINT64_MAX - 1, UINT64_MAX), 99);
}
