// Catches files lost in a merge of dropped names: two names are one tree item only when they are
// equal ignoring case by an ordinal comparison, never because a linguistic one holds them equal.
#include <gtest/gtest.h>

#include "cabforge/core/archive_tree.h"

namespace {

TEST(SameArchiveName, OrdinalIgnoringCase) {
    EXPECT_TRUE(SameArchiveName(L"A.TXT", L"a.txt"));
    EXPECT_TRUE(SameArchiveName(L"\u00C4.txt", L"\u00E4.txt"));        // Ä, ä
    EXPECT_FALSE(SameArchiveName(L"strasse.txt", L"stra\u00DFe.txt")); // ß
    EXPECT_FALSE(SameArchiveName(L"a-b.txt", L"ab.txt"));
    EXPECT_FALSE(SameArchiveName(L"e\u0301.txt", L"\u00E9.txt")); // é composed and decomposed
}

TEST(IsArchiveComponent, TheNameRuleOnOneComponent) {
    EXPECT_TRUE(IsArchiveComponent(L"Gr\u00FC\u00DFe"));
    EXPECT_FALSE(IsArchiveComponent(L".."));
    EXPECT_FALSE(IsArchiveComponent(std::wstring(1, static_cast<wchar_t>(0xD800)))); // no UTF-8 for it
}

} // namespace
