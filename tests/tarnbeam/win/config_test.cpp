// Configuration loading: error codes in element order, defaults, IntegrateMode, product filter.
#include "tarnbeam/app/config.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/tarnbeam/win/test_util.h"

namespace {

struct Element {
    const char *name;
    const char *text;
};

std::string Document(std::initializer_list<Element> elements) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VeltroUpdate>\n";
    for (const Element &e : elements)
        xml += std::string("  <") + e.name + ">" + e.text + "</" + e.name + ">\n";
    return xml + "</VeltroUpdate>\n";
}

const std::initializer_list<Element> kComplete = {
    {"DownloadPath", "Ondrel\\Downloads"},
    {"RegKey", "Software\\Ondrel\\Product"},
    {"RSSURL", "http://www.example.jp/rss"},
    {"NoUpdateMessage", "Up to date"},
    {"CheckFailMessage", "Check failed"},
    {"NoUpdateDescription", "&lt;p&gt;$$APPVERSION$$&lt;/p&gt;"},
    {"CheckFailDescription", "<![CDATA[<p>$$CHECKERRORCODE$$</p>]]>"},
};

int Load(const std::string &xml, Configuration &config) {
    ScratchFolder folder;
    return LoadConfigurationFrom(folder.Write(L"tarnbeam.xml", xml), config);
}

TEST(Configuration, CompleteFileLoadsWithDefaults) {
    ComScope com;
    Configuration c;
    ASSERT_EQ(Load(Document(kComplete), c), kConfigLoaded);
    EXPECT_EQ(c.DownloadPath, L"Ondrel\\Downloads");
    EXPECT_EQ(c.RegKey, L"Software\\Ondrel\\Product");
    EXPECT_EQ(c.CommonRegKey, L"Software\\Ondrel\\Ondrel Update");
    EXPECT_EQ(c.NoUpdateDescription, L"<p>$$APPVERSION$$</p>");
    EXPECT_FALSE(c.IntegrateMode);
    EXPECT_EQ(c.UpdaterLoginUser, L"");
}

TEST(Configuration, RequiredElementsGiveTheirCodesInOrder) {
    ComScope com;
    const char *required[] = {"DownloadPath",        "RegKey",           "RSSURL",
                              "NoUpdateMessage",     "CheckFailMessage", "NoUpdateDescription",
                              "CheckFailDescription"};
    const int codes[] = {3, 4, 5, 6, 7, 8, 9};
    for (int i = 0; i < 7; ++i) {
        // Missing element, and present but empty (white space only counts as empty).
        std::string without = "<VeltroUpdate>";
        std::string blank = "<VeltroUpdate>";
        for (const Element &e : kComplete) {
            if (std::string(e.name) == required[i]) {
                blank += std::string("<") + e.name + ">  </" + e.name + ">";
                continue;
            }
            without += std::string("<") + e.name + ">" + e.text + "</" + e.name + ">";
            blank += std::string("<") + e.name + ">" + e.text + "</" + e.name + ">";
        }
        Configuration c1, c2;
        EXPECT_EQ(Load(without + "</VeltroUpdate>", c1), codes[i]) << required[i];
        EXPECT_EQ(Load(blank + "</VeltroUpdate>", c2), codes[i]) << required[i];
    }
    // The first empty element in table order decides: RegKey before RSSURL.
    Configuration c;
    EXPECT_EQ(Load(Document({{"DownloadPath", "d"}, {"RegKey", ""}, {"RSSURL", ""}}), c), 4);
}

TEST(Configuration, UnreadableFilesGiveTwo) {
    ComScope com;
    Configuration c;
    EXPECT_EQ(Load("<VeltroUpdate><DownloadPath>x</VeltroUpdate>", c), 2);
    EXPECT_EQ(Load("", c), 2);
    EXPECT_EQ(LoadConfigurationFrom(L"C:\\no\\such\\folder\\tarnbeam.xml", c), 2);
    EXPECT_EQ(LoadConfigurationFrom(L"", c), 2);
}

TEST(Configuration, IntegrateModeValues) {
    ComScope com;
    struct {
        const char *text;
        int code;
        bool on;
    } const cases[] = {
        {"1", 0, true},
        {"2", 0, true},
        {"-1", 0, true},
        {"0", 0, false},
        {"", 0, false},
        {"yes", kConfigBadIntegrateMode, false},
        {"1.5", kConfigBadIntegrateMode, false},
        {"99999999999", kConfigBadIntegrateMode, false},
    };
    for (const auto &t : cases) {
        std::string xml = Document(kComplete);
        xml.insert(xml.find("</VeltroUpdate>"), std::string("<IntegrateMode>") + t.text + "</IntegrateMode>");
        Configuration c;
        EXPECT_EQ(Load(xml, c), t.code) << t.text;
        if (t.code == 0) {
            EXPECT_EQ(c.IntegrateMode, t.on) << t.text;
        }
    }
    Configuration absent;
    EXPECT_EQ(Load(Document(kComplete), absent), 0);
    EXPECT_FALSE(absent.IntegrateMode);
}

TEST(Configuration, CommonKeyAndProductFilter) {
    ComScope com;
    std::string xml = Document(kComplete);
    xml.insert(xml.find("</VeltroUpdate>"), "<CommonRegKey></CommonRegKey><ProductName>Alpha</ProductName>");
    Configuration c;
    ASSERT_EQ(Load(xml, c), 0);
    EXPECT_EQ(c.CommonRegKey, L"Software\\Ondrel\\Ondrel Update");
    EXPECT_EQ(c.ProductName, L""); // dropped without a platform

    xml = Document(kComplete);
    xml.insert(xml.find("</VeltroUpdate>"),
               "<CommonRegKey>Software\\Shared</CommonRegKey><ProductName>Alpha</ProductName>"
               "<ProductPlatform>X</ProductPlatform>");
    Configuration both;
    ASSERT_EQ(Load(xml, both), 0);
    EXPECT_EQ(both.CommonRegKey, L"Software\\Shared");
    EXPECT_EQ(both.ProductName, L"Alpha");
    EXPECT_EQ(both.ProductPlatform, L"X");
}

} // namespace
