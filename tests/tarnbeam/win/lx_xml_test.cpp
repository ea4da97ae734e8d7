// The XML layer's result rules over MSXML: empty wrappers, empty-list iteration, iterator end
// behaviour, copies keeping the platform object alive, trimmed text, prefixed child steps.
#include "tarnbeam/feed/xml/lx_xml.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/tarnbeam/win/test_util.h"

using namespace lx_xml;

namespace {

const char kFeed[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<rss version=\"2.0\" xmlns:tb=\"urn:example:tb\"><channel>\n"
    "  <item><title>  First \n</title><category domain=\"http://img.example/\">news</category>"
    "<tb:ProductName>Alpha</tb:ProductName></item>\n"
    "  <item><link>http://x/</link></item>\n"
    "  <item><title>Gr\xC3\xBC\xC3\x9F"
    "e \xE8\xAA\xAD\xE3\x82\x80</title></item>\n"
    "</channel></rss>\n";

class LxXml : public ::testing::Test {
  protected:
    void SetUp() override {
        path = folder.Write(L"feed.xml", kFeed);
        ASSERT_TRUE(doc.create());
        ASSERT_TRUE(doc.setAsync(0));
        ASSERT_TRUE(doc.load(path));
    }
    ComScope com;
    ScratchFolder folder;
    std::wstring path;
    KXMLDocument doc;
};

TEST_F(LxXml, SelectsAndReadsTrimmedText) {
    KXMLNodeList items = doc.selectNodes(L"/rss/channel/item");
    EXPECT_EQ(items.length(), 3);
    std::vector<std::wstring> titles;
    for (KXMLNodeList::iterator it = items.begin(); it != items.end(); ++it)
        titles.push_back(it->selectSingleNode(L"./title").getText());
    ASSERT_EQ(titles.size(), 3u);
    EXPECT_EQ(titles[0], L"First");
    EXPECT_EQ(titles[1], L""); // no title element: empty node, empty text
    EXPECT_EQ(titles[2], L"Gr\u00fc\u00dfe \u8aad\u3080");
}

TEST_F(LxXml, AttributesAndPrefixedSteps) {
    KXMLNode item = doc.selectNodes(L"/rss/channel/item").item(0);
    ASSERT_TRUE(item.isValid());
    KXMLNode category = item.selectSingleNode(L"./category");
    EXPECT_EQ(category.getAttributes().getNamedItemText(L"domain"), L"http://img.example/");
    EXPECT_EQ(category.getAttributes().getNamedItemText(L"missing"), L"");
    EXPECT_EQ(item.selectSingleNode(L"./tb:ProductName").getText(), L"Alpha");
    EXPECT_FALSE(
        doc.selectNodes(L"/rss/channel/item").item(1).selectSingleNode(L"./tb:ProductName").isValid());
}

TEST_F(LxXml, EmptyAndFailedListsIterateZeroTimes) {
    KXMLNodeList none = doc.selectNodes(L"/rss/channel/nothing");
    EXPECT_EQ(none.length(), 0);
    EXPECT_TRUE(none.begin() == none.end());
    int visits = 0;
    for (KXMLNode &n : none) {
        (void)n;
        ++visits;
    }
    EXPECT_EQ(visits, 0);

    KXMLNodeList empty; // wraps nothing
    EXPECT_FALSE(empty.isValid());
    EXPECT_TRUE(empty.begin() == empty.end());
    EXPECT_FALSE(empty.item(0).isValid());
}

TEST_F(LxXml, IncrementAtEndStaysAtEnd) {
    KXMLNodeList items = doc.selectNodes(L"/rss/channel/item");
    KXMLNodeList::iterator it = items.end();
    ++it;
    ++it;
    EXPECT_TRUE(it == items.end());
    KXMLNodeList::iterator walk = items.begin();
    for (int i = 0; i < 10; ++i)
        ++walk;
    EXPECT_TRUE(walk == items.end());
}

TEST_F(LxXml, CopyKeepsThePlatformObjectAlive) {
    KXMLNode copy;
    {
        KXMLDocument local;
        ASSERT_TRUE(local.create());
        local.setAsync(0);
        ASSERT_TRUE(local.load(path));
        KXMLNode channel = local.selectSingleNode(L"/rss/channel");
        copy = channel;
        EXPECT_TRUE(copy.getInterface() == channel.getInterface());
    }
    // The document and the node wrappers are gone; the copy still works.
    ASSERT_TRUE(copy.isValid());
    EXPECT_EQ(copy.selectNodes(L"./item").length(), 3);

    KXMLDocument docCopy = doc;
    doc = KXMLDocument();
    EXPECT_FALSE(doc.isValid());
    EXPECT_EQ(docCopy.selectSingleNode(L"/rss/channel/item/title").getText(), L"First");
}

TEST(LxXmlEmpty, EveryOperationOnAnEmptyDocumentIsEmpty) {
    ComScope com;
    KXMLDocument doc; // never created, as after a failed create
    EXPECT_FALSE(doc.isValid());
    EXPECT_EQ(doc.lastResult, 0);
    EXPECT_FALSE(doc.setAsync(0));
    EXPECT_FALSE(doc.load(L"C:\\nothing.xml"));
    EXPECT_FALSE(doc.selectSingleNode(L"/a").isValid());
    EXPECT_EQ(doc.selectSingleNode(L"/a").getText(), L"");
    EXPECT_EQ(doc.selectNodes(L"/a").length(), 0);
    EXPECT_EQ(doc.getText(), L"");
    EXPECT_FALSE(doc.getAttributes().isValid());
    EXPECT_EQ(doc.getAttributes().getNamedItemText(L"x"), L"");
    EXPECT_EQ(doc.lastResult, 0); // no platform call was made
}

TEST(LxXmlLoad, MissingAndMalformedFilesFailAndRecordTheStatus) {
    ComScope com;
    ScratchFolder folder;
    KXMLDocument doc;
    ASSERT_TRUE(doc.create());
    doc.setAsync(0);
    EXPECT_FALSE(doc.load(folder.path() + L"missing.xml"));
    EXPECT_FALSE(doc.load(folder.Write(L"bad.xml", "<a><b></a>")));
    EXPECT_NE(doc.lastResult, 0);
    EXPECT_TRUE(doc.isValid());
    EXPECT_FALSE(doc.selectSingleNode(L"/a").isValid());
}

} // namespace
