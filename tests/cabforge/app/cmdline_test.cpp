// Command-line parsing, mode selection, wildcard matching and the archive-path helpers of the
// archive builder. The same tables run natively and, in the Windows build, under Wine, where the
// matcher and the extension rule are also compared with the shell's own functions.
#include <gtest/gtest.h>

#include <set>

#include "cabforge/core/cmdline/command_line.h"
#include "cabforge/core/cmdline/wildcard.h"

#ifdef _WIN32
#include <windows.h>
#include <shlwapi.h>
#endif

using namespace cfcmd;

namespace {

const std::set<std::wstring> kFolders = {L"D:\\data", L"D:\\data\\", L"E:\\tree"};
const std::set<std::intptr_t> kWindows = {4242, 77};

bool FakeIsFolder(const std::wstring &p) {
    return kFolders.count(p) != 0;
}
bool FakeIsWindow(std::intptr_t h) {
    return kWindows.count(h) != 0;
}

StartupOptions Parse(const std::vector<std::wstring> &args) {
    ArgumentProbes probes;
    probes.isFolder = FakeIsFolder;
    probes.isWindow = FakeIsWindow;
    return parseArguments(args, probes);
}

// ---- Parsing: every argument against every row ----

struct ParseCase {
    const char *what;
    std::vector<std::wstring> args;
    Mode mode;
    std::vector<std::wstring> files;
    std::wstring bare;
    std::wstring switchArc;
    std::wstring folder;
    std::wstring project;
    std::intptr_t host;
    bool compress;
    bool silent;
    std::vector<std::wstring> exclusions;
};

const ParseCase kParseCases[] = {
    {"two files into out.cab",
     {L"/file:C:\\a\\x.txt", L"/file:C:\\b\\y.txt", L"D:\\out.cab"},
     Mode::FileList,
     {L"C:\\a\\x.txt", L"C:\\b\\y.txt"},
     L"D:\\out.cab",
     L"",
     L"",
     L"",
     0,
     false,
     false,
     {}},
    {"exclusions are collected, empty ones dropped",
     {L"/file:C:\\a\\x.txt", L"/except:*.txt", L"/except:", L"/EXCEPT:obj", L"D:\\out.cab"},
     Mode::FileList,
     {L"C:\\a\\x.txt"},
     L"D:\\out.cab",
     L"",
     L"",
     L"",
     0,
     false,
     false,
     {L"*.txt", L"obj"}},
    {"files without a .cab argument: interactive",
     {L"/file:C:\\a\\x.txt", L"/file:C:\\b\\y.txt"},
     Mode::Interactive,
     {L"C:\\a\\x.txt", L"C:\\b\\y.txt"},
     L"",
     L"",
     L"",
     L"",
     0,
     false,
     false,
     {}},
    {"/file: naming a .cab both adds it and sets the archive path",
     {L"/file:C:\\in\\part.cab"},
     Mode::FileList,
     {L"C:\\in\\part.cab"},
     L"/file:C:\\in\\part.cab",
     L"",
     L"",
     L"",
     0,
     false,
     false,
     {}},
    {"a later bare path replaces it",
     {L"/file:C:\\in\\part.cab", L"D:\\out.cab"},
     Mode::FileList,
     {L"C:\\in\\part.cab"},
     L"D:\\out.cab",
     L"",
     L"",
     L"",
     0,
     false,
     false,
     {}},
    {"/arc: counts as the bare path, switch text included",
     {L"/file:C:\\a\\x.txt", L"/arc:D:\\x.cab"},
     Mode::FileList,
     {L"C:\\a\\x.txt"},
     L"/arc:D:\\x.cab",
     L"D:\\x.cab",
     L"",
     L"",
     0,
     false,
     false,
     {}},
    {"empty /file: and /arc: count as absent",
     {L"/file:", L"/arc:", L"D:\\out.cab"},
     Mode::Interactive,
     {},
     L"D:\\out.cab",
     L"",
     L"",
     L"",
     0,
     false,
     false,
     {}},
    {"folder alone", {L"D:\\data"}, Mode::Folder, {}, L"", L"", L"D:\\data", L"", 0, false, false, {}},
    {"folder with trailing separator and /arc:",
     {L"D:\\data\\", L"/arc:E:\\x.cab"},
     Mode::Folder,
     {},
     L"/arc:E:\\x.cab",
     L"E:\\x.cab",
     L"D:\\data\\",
     L"",
     0,
     false,
     false,
     {}},
    {"last folder wins",
     {L"D:\\data", L"E:\\tree"},
     Mode::Folder,
     {},
     L"",
     L"",
     L"E:\\tree",
     L"",
     0,
     false,
     false,
     {}},
    {"a missing folder is no folder",
     {L"D:\\nothing-here"},
     Mode::Interactive,
     {},
     L"",
     L"",
     L"",
     L"",
     0,
     false,
     false,
     {}},
    {"file list wins over folder",
     {L"D:\\data", L"/file:C:\\a\\x.txt", L"o.CAB"},
     Mode::FileList,
     {L"C:\\a\\x.txt"},
     L"o.CAB",
     L"",
     L"D:\\data",
     L"",
     0,
     false,
     false,
     {}},
    {"/compress alone", {L"/compress"}, Mode::ProjectBuild, {}, L"", L"", L"", L"", 0, true, false, {}},
    {"/compress with a project and an archive",
     {L"/COMPRESS", L"D:\\p.PKP", L"E:\\x.cab", L"/Silent"},
     Mode::ProjectBuild,
     {},
     L"E:\\x.cab",
     L"",
     L"",
     L"D:\\p.PKP",
     0,
     true,
     true,
     {}},
    {"project without /compress: interactive",
     {L"D:\\p.pkp"},
     Mode::Interactive,
     {},
     L"",
     L"",
     L"",
     L"D:\\p.pkp",
     0,
     false,
     false,
     {}},
    {"/compress is a whole-argument switch",
     {L"/compressed", L"/silently"},
     Mode::Interactive,
     {},
     L"",
     L"",
     L"",
     L"",
     0,
     false,
     false,
     {}},
    {"/hwnd: of an existing window",
     {L"/HWND: +4242xyz"},
     Mode::Interactive,
     {},
     L"",
     L"",
     L"",
     L"",
     4242,
     false,
     false,
     {}},
    {"/hwnd: of no window", {L"/hwnd:4243"}, Mode::Interactive, {}, L"", L"", L"", L"", 0, false, false, {}},
    {"/hwnd: garbage", {L"/hwnd:abc"}, Mode::Interactive, {}, L"", L"", L"", L"", 0, false, false, {}},
    {"last /hwnd: wins",
     {L"/hwnd:4242", L"/hwnd:77"},
     Mode::Interactive,
     {},
     L"",
     L"",
     L"",
     L"",
     77,
     false,
     false,
     {}},
};

TEST(CommandLine, EveryArgumentAgainstEveryRow) {
    for (const ParseCase &c : kParseCases) {
        SCOPED_TRACE(c.what);
        const StartupOptions o = Parse(c.args);
        EXPECT_TRUE(selectMode(o) == c.mode);
        EXPECT_EQ(o.files, c.files);
        EXPECT_EQ(o.bareArchivePath, c.bare);
        EXPECT_EQ(o.switchArchivePath, c.switchArc);
        EXPECT_EQ(o.folderPath, c.folder);
        EXPECT_EQ(o.projectPath, c.project);
        EXPECT_EQ(o.hostWindow, c.host);
        EXPECT_EQ(o.compress, c.compress);
        EXPECT_EQ(o.silent, c.silent);
        EXPECT_EQ(o.exclusions, c.exclusions);
    }
}

TEST(CommandLine, DecimalConversionLikeTheRuntime) {
    const struct {
        const wchar_t *text;
        std::int64_t value;
    } cases[] = {{L"123", 123},
                 {L"  \t42", 42},
                 {L"-17", -17},
                 {L"+8x9", 8},
                 {L"", 0},
                 {L"x1", 0},
                 {L"- 5", 0},
                 {L"0009", 9},
                 {L"99999999999999999999999", INT64_MAX},
                 {L"-99999999999999999999999", INT64_MIN}};
    for (const auto &c : cases)
        EXPECT_EQ(parseDecimal(c.text), c.value) << std::string(c.text, c.text + wcslen(c.text));
}

// ---- Wildcards ----

struct MatchCase {
    const wchar_t *name;
    const wchar_t *pattern;
    bool match;
};

const MatchCase kMatchCases[] = {
    {L"x.txt", L"*.txt", true},
    {L"X.TXT", L"*.txt", true},
    {L"x.txt.bak", L"*.txt", false},
    {L"obj", L"obj", true},
    {L"OBJ", L"obj", true},
    {L"obj.txt", L"obj", false},
    {L"noext", L"*.*", true},
    {L"", L"*.*", true},
    {L"noext", L"*.", false},
    {L"a.b", L"?.b", true},
    {L"ab.b", L"?.b", false},
    {L".b", L"?.b", false},
    {L"anything", L"*", true},
    {L"", L"*", true},
    {L"", L"?", false},
    {L"C:\\in\\part.cab", L"*.cab", true},
    {L"/file:C:\\in\\part.cab", L"*.cab", true},
    {L"D:\\p.pkp", L"*.cab", false},
    {L"x.log", L"*.txt;*.log", true},
    {L"x.log", L"*.txt; *.log", true},
    {L"x.doc", L"*.txt;*.log", false},
    {L"abcabd", L"*abd", true},
    {L"mississippi", L"m*iss*ppi", true},
    {L"mississippi", L"m*iss*ppx", false},
    {L"\u00e9t\u00e9.TXT", L"\u00c9T\u00c9.txt", true},
    {L"\u0434\u0430\u043d\u043d\u044b\u0435", L"\u0414\u0410\u041d\u041d\u042b\u0415", true},
    {L"\u8aad\u3080.txt", L"\u8aad*", true},
};

TEST(Wildcard, ShellStyleMatching) {
    for (const MatchCase &c : kMatchCases)
        EXPECT_EQ(matchPattern(c.name, c.pattern), c.match) << "case #" << (&c - kMatchCases);
}

// Many stars against a long name that fails late: a matcher that retries every split of the name
// at every star takes exponential time here (the shell's own one does not finish).
TEST(Wildcard, ManyStarsStayLinear) {
    const std::wstring name = std::wstring(250, L'a') + L"b";
    std::wstring pattern;
    for (int i = 0; i < 40; ++i)
        pattern += L"*a";
    EXPECT_FALSE(matchPattern(name, pattern + L"*c"));
    EXPECT_TRUE(matchPattern(name, pattern + L"*b"));
}

// ---- Path helpers ----

TEST(Paths, FileNamePartAndRelativeName) {
    EXPECT_EQ(fileNamePart(L"C:\\a\\x.txt"), L"x.txt");
    EXPECT_EQ(fileNamePart(L"C:x.txt"), L"x.txt");
    EXPECT_EQ(fileNamePart(L"dir/y.txt"), L"y.txt");
    EXPECT_EQ(fileNamePart(L"plain"), L"plain");
    EXPECT_EQ(fileNamePart(L"C:\\a\\"), L"");
    EXPECT_EQ(relativeName(L"D:\\data", L"D:\\data\\sub\\f.txt"), L"sub\\f.txt");
    EXPECT_EQ(relativeName(L"D:\\data\\", L"D:\\data\\sub\\f.txt"), L"sub\\f.txt");
    EXPECT_EQ(relativeName(L"D:/data", L"D:/data/sub/f.txt"), L"sub\\f.txt");
}

TEST(Paths, ExtensionReplacedTheShellWay) {
    const struct {
        const wchar_t *in;
        const wchar_t *out;
    } cases[] = {{L"D:\\data\\build.2", L"D:\\data\\build.cab"},
                 {L"D:\\data\\photos", L"D:\\data\\photos.cab"},
                 {L"D:\\da.ta\\photos", L"D:\\da.ta\\photos.cab"},
                 {L"D:\\p.pkp", L"D:\\p.cab"},
                 {L"D:\\my.data files", L"D:\\my.data files.cab"},
                 {L"D:\\data\\", L"D:\\data.cab"},
                 {L"D:\\data\\\\", L"D:\\data.cab"},
                 {L"C:\\", L"C:\\.cab"}};
    for (const auto &c : cases) {
        std::wstring out;
        ASSERT_TRUE(renameExtension(c.in, L".cab", 260, out));
        EXPECT_TRUE(out == c.out) << "case #" << (&c - cases);
    }
    std::wstring out = L"unchanged";
    const std::wstring longPath = L"C:\\" + std::wstring(253, L'a'); // 256 chars + ".cab" = 260
    EXPECT_FALSE(renameExtension(longPath, L".cab", 260, out));
    EXPECT_EQ(out, L"unchanged");
    EXPECT_TRUE(renameExtension(longPath.substr(0, 255), L".cab", 260, out));
    EXPECT_EQ(out.size(), 259u);
}

TEST(Paths, FolderArchivePathOrder) {
    StartupOptions o;
    o.folderPath = L"D:\\data";
    EXPECT_EQ(folderArchivePath(o), L"D:\\data.cab");
    o.bareArchivePath = L"F:\\bare.cab";
    EXPECT_EQ(folderArchivePath(o), L"F:\\bare.cab");
    o.switchArchivePath = L"E:\\x.cab";
    EXPECT_EQ(folderArchivePath(o), L"E:\\x.cab");
    StartupOptions tooLong;
    tooLong.folderPath = L"C:\\" + std::wstring(256, L'f');
    EXPECT_EQ(folderArchivePath(tooLong), L"");
}

#ifdef _WIN32
// The shell's own functions as the oracle for the tables above.
TEST(ShellOracle, MatcherAgreesWithPathMatchSpec) {
    for (const MatchCase &c : kMatchCases) {
        EXPECT_EQ(matchPattern(c.name, c.pattern), PathMatchSpecW(c.name, c.pattern) != FALSE)
            << "case #" << (&c - kMatchCases);
    }
}

TEST(ShellOracle, ExtensionAgreesWithPathRenameExtension) {
    const wchar_t *inputs[] = {L"D:\\data\\build.2", L"D:\\data\\photos",  L"D:\\da.ta\\photos",
                               L"D:\\p.pkp",         L"D:\\my.data files", L"D:\\x.y z.w"};
    for (const wchar_t *in : inputs) {
        wchar_t buffer[MAX_PATH];
        lstrcpynW(buffer, in, MAX_PATH);
        ASSERT_TRUE(PathRenameExtensionW(buffer, L".cab"));
        std::wstring ours;
        ASSERT_TRUE(renameExtension(in, L".cab", MAX_PATH, ours));
        EXPECT_TRUE(ours == buffer) << "input #" << (&in - inputs);
    }
}
#endif

} // namespace
