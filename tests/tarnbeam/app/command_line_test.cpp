// Command-line parsing: switch and positional splitting, quoting, the 260-character cut, the
// existing-path rule, and the switch matching rules (flag case-sensitive, value names not).
#include "tarnbeam/app/portable/command_line.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::wstring>;

PathExistsFn ExistingPaths(std::set<std::wstring> paths) {
    return [paths](const std::wstring &p) { return paths.count(p) != 0; };
}

const PathExistsFn kNothingExists = ExistingPaths({});

struct SplitCase {
    const wchar_t *line;
    Words switches;
    Words positionals;
};

TEST(CommandLineSplit, SwitchesAndPositionals) {
    const SplitCase cases[] = {
        {L"tarnbeam.exe", {}, {}},
        {L"\"C:\\Program Files\\Ondrel\\tarnbeam.exe\"", {}, {}},
        {L"\"C:\\Program Files\\Ondrel\\tarnbeam.exe\" /AutoCheck", {L"AutoCheck"}, {}},
        {L"tarnbeam.exe /AutoCheck -hwnd:123\t/NotifyWindow:0x10",
         {L"AutoCheck", L"hwnd:123", L"NotifyWindow:0x10"},
         {}},
        {L"tarnbeam.exe    /a   word  \"quoted text\" /b", {L"a", L"b"}, {L"word", L"quoted text"}},
        {L"tarnbeam.exe \"unterminated quote", {}, {L"unterminated quote"}},
        {L"tarnbeam.exe \"\" /x", {L"x"}, {L""}},
        {L"tarnbeam.exe /", {L""}, {}},
        {L"\"no closing quote on the program", {}, {}},
    };
    for (const SplitCase &c : cases) {
        const ParsedCommandLine parsed = ParseCommandLine(c.line, kNothingExists);
        EXPECT_EQ(parsed.switches, c.switches) << c.line;
        EXPECT_EQ(parsed.positionals, c.positionals) << c.line;
    }
}

TEST(CommandLineSplit, ArgumentsTextStartsAfterProgramAndSpace) {
    EXPECT_EQ(ParseCommandLine(L"prog.exe   /a b", kNothingExists).arguments, L"/a b");
    EXPECT_EQ(ParseCommandLine(L"\"my prog.exe\"/a", kNothingExists).arguments, L"/a");
    EXPECT_EQ(ParseCommandLine(L"prog.exe", kNothingExists).arguments, L"");
}

TEST(CommandLineSplit, LongWordsAndQuotesAreCutAt260Characters) {
    const std::wstring word(300, L'w');
    ParsedCommandLine parsed = ParseCommandLine(L"prog.exe " + word, kNothingExists);
    ASSERT_EQ(parsed.positionals.size(), 2u);
    EXPECT_EQ(parsed.positionals[0], std::wstring(260, L'w'));
    EXPECT_EQ(parsed.positionals[1], std::wstring(40, L'w'));

    // After 260 characters the rest of a quoted text is parsed as further arguments.
    const std::wstring quoted = std::wstring(260, L'q') + L" /sw tail";
    parsed = ParseCommandLine(L"prog.exe \"" + quoted + L"\"", kNothingExists);
    ASSERT_GE(parsed.positionals.size(), 2u);
    EXPECT_EQ(parsed.positionals[0], std::wstring(260, L'q'));
    EXPECT_EQ(parsed.switches, Words{L"sw"});
    EXPECT_EQ(parsed.positionals.back(), L"tail\"");
}

TEST(CommandLineSplit, VeryLongSwitchIsKeptWhole) {
    const std::wstring value(100000, L'9');
    const ParsedCommandLine parsed = ParseCommandLine(L"prog.exe /hwnd:" + value, kNothingExists);
    ASSERT_EQ(parsed.switches.size(), 1u);
    EXPECT_EQ(parsed.switches[0].size(), value.size() + 5);
}

TEST(CommandLineSplit, RemainderNamingAnExistingPathIsOnePositional) {
    const PathExistsFn exists = ExistingPaths({L"C:\\My Files\\notes.txt"});
    ParsedCommandLine parsed = ParseCommandLine(L"prog.exe C:\\My Files\\notes.txt", exists);
    EXPECT_EQ(parsed.positionals, Words{L"C:\\My Files\\notes.txt"});

    // With a switch after it the remainder names no path: split at spaces, switch kept.
    parsed = ParseCommandLine(L"prog.exe C:\\My Files\\notes.txt /AutoCheck", exists);
    EXPECT_EQ(parsed.positionals, (Words{L"C:\\My", L"Files\\notes.txt"}));
    EXPECT_EQ(parsed.switches, Words{L"AutoCheck"});
}

TEST(CommandLineSwitches, FlagsAreExactAndCaseSensitive) {
    const PathExistsFn none = kNothingExists;
    EXPECT_TRUE(HasFlagSwitch(ParseCommandLine(L"p /Option", none), L"Option"));
    EXPECT_TRUE(HasFlagSwitch(ParseCommandLine(L"p -Option", none), L"Option"));
    EXPECT_FALSE(HasFlagSwitch(ParseCommandLine(L"p /option", none), L"Option"));
    EXPECT_FALSE(HasFlagSwitch(ParseCommandLine(L"p /Option:1", none), L"Option"));
    EXPECT_FALSE(HasFlagSwitch(ParseCommandLine(L"p Option", none), L"Option"));
}

TEST(CommandLineSwitches, ValueNamesIgnoreCaseAndFirstMatchWins) {
    std::wstring value;
    EXPECT_TRUE(FindValueSwitch(ParseCommandLine(L"p /HWND:0x1A2B", kNothingExists), L"hwnd", value));
    EXPECT_EQ(value, L"0x1A2B");
    EXPECT_TRUE(FindValueSwitch(ParseCommandLine(L"p /hwnd:6699 /hwnd:7", kNothingExists), L"hwnd", value));
    EXPECT_EQ(value, L"6699");
    EXPECT_FALSE(FindValueSwitch(ParseCommandLine(L"p /hwnd", kNothingExists), L"hwnd", value));
    EXPECT_FALSE(FindValueSwitch(ParseCommandLine(L"p /hwn:5", kNothingExists), L"hwnd", value));
    EXPECT_TRUE(
        FindValueSwitch(ParseCommandLine(L"p -notifywindow:12", kNothingExists), L"NotifyWindow", value));
    EXPECT_EQ(value, L"12");
}

TEST(CommandLineSwitches, NumbersUseAutomaticBase) {
    struct {
        const wchar_t *text;
        long long number;
    } const cases[] = {
        {L"6699", 6699}, {L"0x1A2B", 0x1A2B}, {L"0X1a2b", 0x1A2B}, {L"017", 15}, {L"12abc", 12},
        {L"", 0},        {L"abc", 0},         {L"-5", -5},         {L"09", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ParseAutoBaseNumber(c.text), c.number) << c.text;
}

} // namespace
