// Catches wrong orders of siblings in the file-system tree and broken item id lists (a joined
// list that loses or duplicates an item, a wrong size, a missing terminator).
#include "cabforge/ui/shell_tree_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace {

struct Entry {
    bool isFolder;
    std::wstring path;
    std::wstring name;
    std::wstring type;
};

// Ordinal comparisons: enough to show which rule decides (the program uses the system's
// locale-aware ones). typeName counts its look-ups.
struct TestCollation {
    int compare(const std::wstring &a, const std::wstring &b) const { return a.compare(b); }
    int compareNoCase(const std::wstring &a, const std::wstring &b) const {
        std::wstring la = a, lb = b;
        std::transform(la.begin(), la.end(), la.begin(), [](wchar_t c) { return std::towlower(c); });
        std::transform(lb.begin(), lb.end(), lb.begin(), [](wchar_t c) { return std::towlower(c); });
        return la.compare(lb);
    }
    const std::wstring &typeName(const Entry &e) {
        ++typeLookups;
        return e.type;
    }
    int typeLookups = 0;
};

// The names after the program's sort.
std::vector<std::wstring> Sorted(std::vector<Entry> entries, TestCollation &collation) {
    shell_tree_rules::sortSiblings(entries, collation);
    std::vector<std::wstring> names;
    for (const Entry &e : entries)
        names.push_back(e.name);
    return names;
}

TEST(SiblingOrder, FoldersFirstDrivesFirstThenPathTypeAndName) {
    TestCollation collation;
    const std::vector<Entry> entries = {
        {false, L"C:\\d\\b.txt", L"b.txt", L"Text"},
        {true, L"C:\\d\\zeta", L"zeta", L"Folder"},
        {false, L"", L"A.txt", L"Text"},
        {true, L"Z:\\", L"/", L"Drive"},
        {true, L"C:\\", L" (C:)", L"Drive"},
        {true, L"C:\\d\\alpha", L"alpha", L"Folder"},
        {true, L"", L"Trash", L"System"},
        {true, L"", L"My Computer", L"Computer"},
        {true, L"", L"Computer 2", L"Computer"},
    };
    // Files by name ignoring case, whatever their paths; the two pathless folders with the same
    // type by name; drives before other folders that have paths.
    const std::vector<std::wstring> names = Sorted(entries, collation);
    EXPECT_EQ(std::vector<std::wstring>(names.end() - 2, names.end()),
              (std::vector<std::wstring>{L"A.txt", L"b.txt"}));
    auto at = [&](const wchar_t *name) {
        return std::find(names.begin(), names.end(), name) - names.begin();
    };
    EXPECT_LT(at(L" (C:)"), at(L"/"));
    EXPECT_LT(at(L"/"), at(L"alpha"));
    EXPECT_LT(at(L"alpha"), at(L"zeta"));
    EXPECT_LT(at(L"Computer 2"), at(L"My Computer"));
    EXPECT_LT(at(L"My Computer"), at(L"Trash"));
}

TEST(SiblingOrder, EachRuleDecidesOnlyWhenTheOnesBeforeTie) {
    TestCollation collation;
    auto less = [&](const Entry &a, const Entry &b) {
        return shell_tree_rules::siblingLess(a, b, collation);
    };
    // Rule 1: a folder before a file even when the file's name sorts first.
    EXPECT_TRUE(less({true, L"", L"z", L""}, {false, L"", L"a", L""}));
    EXPECT_FALSE(less({false, L"", L"a", L""}, {true, L"", L"z", L""}));
    // Files never look at paths or types.
    EXPECT_TRUE(less({false, L"Z:\\x", L"a", L"T2"}, {false, L"A:\\x", L"B", L"T1"}));
    EXPECT_EQ(collation.typeLookups, 0);
    // Rule 2: a drive root before a longer path that sorts first; then the paths, case-sensitive.
    EXPECT_TRUE(less({true, L"Z:\\", L"z", L"T"}, {true, L"A:\\aa", L"a", L"T"}));
    EXPECT_TRUE(less({true, L"C:\\B", L"z", L"T"}, {true, L"C:\\a", L"a", L"T"}));
    EXPECT_EQ(collation.typeLookups, 0);
    // Rule 3 when a path is missing or the paths are equal; rule 4 last, ignoring case.
    EXPECT_TRUE(less({true, L"", L"z", L"A type"}, {true, L"C:\\x", L"a", L"B type"}));
    EXPECT_TRUE(less({true, L"C:\\x", L"z", L"A type"}, {true, L"C:\\x", L"a", L"B type"}));
    EXPECT_TRUE(less({true, L"C:\\x", L"a", L"T"}, {true, L"C:\\x", L"B", L"T"}));
    EXPECT_FALSE(less({true, L"C:\\x", L"B", L"T"}, {true, L"C:\\x", L"b", L"T"}));
    EXPECT_GT(collation.typeLookups, 0);
}

// Folders with and without paths cannot all be ranked consistently: here "My Computer" sorts
// before "test" by name and after "Documents", while "test" sorts before "Documents" by path.
// The order must still follow the rules within each kind and must not depend on the order in
// which the shell listed the entries.
TEST(SiblingOrder, MixedFoldersGiveOneOrderWhateverTheListingOrder) {
    std::vector<Entry> entries = {
        {true, L"", L"My Computer", L""},
        {true, L"C:\\u\\Documents\\", L"Documents", L""},
        {true, L"Z:\\", L"/", L""},
        {true, L"C:\\u\\Desktop\\test", L"test", L""},
        {false, L"C:\\u\\Desktop\\a.txt", L"a.txt", L""},
        {true, L"", L"Trash", L""},
    };
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
    std::vector<std::wstring> first;
    do {
        TestCollation collation;
        const std::vector<std::wstring> names = Sorted(entries, collation);
        if (first.empty())
            first = names;
        ASSERT_EQ(names, first);
    } while (std::next_permutation(entries.begin(), entries.end(),
                                   [](const Entry &a, const Entry &b) { return a.name < b.name; }));
    auto at = [&](const wchar_t *name) {
        return std::find(first.begin(), first.end(), name) - first.begin();
    };
    EXPECT_LT(at(L"/"), at(L"test"));
    EXPECT_LT(at(L"test"), at(L"Documents"));
    EXPECT_LT(at(L"My Computer"), at(L"Trash"));
    EXPECT_EQ(first.back(), L"a.txt");
}

// Builds an id list from item payloads; each item is its 2-byte count and the payload.
std::vector<unsigned char> IdList(const std::vector<std::string> &items) {
    std::vector<unsigned char> list;
    for (const std::string &payload : items) {
        const std::size_t count = payload.size() + 2;
        list.push_back(static_cast<unsigned char>(count & 0xFF));
        list.push_back(static_cast<unsigned char>(count >> 8));
        list.insert(list.end(), payload.begin(), payload.end());
    }
    list.push_back(0);
    list.push_back(0);
    return list;
}

TEST(ItemIdLists, SizesAndJoins) {
    const std::vector<unsigned char> empty = IdList({});
    const std::vector<unsigned char> drive = IdList({"computer-item", "C:\\"});
    const std::vector<unsigned char> file = IdList({std::string(300, 'x'), "name.txt"});
    EXPECT_EQ(shell_tree_rules::idListSize(empty.data()), 2u);
    EXPECT_EQ(shell_tree_rules::idListSize(drive.data()), drive.size());
    EXPECT_EQ(shell_tree_rules::idListSize(file.data()), file.size()); // a count above 255
    const std::map<std::string, std::pair<std::vector<unsigned char>, std::vector<unsigned char>>> cases = {
        {"empty + list", {empty, drive}}, {"list + empty", {drive, empty}}, {"list + list", {drive, file}}};
    for (const auto &c : cases) {
        const std::vector<unsigned char> &a = c.second.first;
        const std::vector<unsigned char> &b = c.second.second;
        std::vector<unsigned char> expected(a.begin(), a.end() - 2);
        expected.insert(expected.end(), b.begin(), b.end());
        ASSERT_EQ(shell_tree_rules::joinedSize(a.data(), b.data()), expected.size()) << c.first;
        std::vector<unsigned char> joined(expected.size() + 4, 0xCC);
        shell_tree_rules::joinIdLists(a.data(), b.data(), joined.data());
        EXPECT_EQ(std::vector<unsigned char>(joined.begin(), joined.begin() + expected.size()), expected)
            << c.first;
        EXPECT_EQ(joined[expected.size()], 0xCC) << c.first << ": wrote past the joined list";
    }
}

} // namespace
