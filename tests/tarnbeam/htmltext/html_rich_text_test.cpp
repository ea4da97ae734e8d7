// Catches: HTML descriptions shown wrongly (text, line structure, formatting) or link ranges off
// by some characters, text and RTF out of step, and hostile input that crashes, hangs or grows
// the output without bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tarnbeam/ui/portable/html_rich_text.h"
#include "tests/tarnbeam/htmltext/rtf_plain_text.h"

namespace {

using htmltext::convertHtml;
using htmltext::isInPlaceAddress;
using htmltext::isOpenableAddress;
using htmltext::kLongParagraphLength;
using htmltext::kMaxTextLength;
using htmltext::kSplitParagraphLength;
using htmltext::RichText;
using htmltext::TextStyle;

const TextStyle kStyle{u"Segoe UI", 9};
const std::string kHeader = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset1 Segoe "
                            "UI;}}\\viewkind4\\uc1\\pard\\f0\\fs18 ";

std::u16string repeat(std::u16string_view part, std::size_t times) {
    std::u16string out;
    for (std::size_t i = 0; i < times; ++i)
        out += part;
    return out;
}

struct TextCase {
    std::u16string html;
    std::u16string text;
};

// clang-format off
const TextCase kTextCases[] = {
    {u"  Hello \t\n  world  ", u"Hello world"},
    {u"a <b> b </b> c", u"a b c"},
    {u"a\r\nb\rc", u"a b c"},
    {u"<p>One</p><p>Two</p>", u"One\r\rTwo"},
    {u"<div>a</div><div>b</div>c", u"a\rb\rc"},
    {u"<div><p>a</p></div><div><p>b</p></div>", u"a\r\rb"},
    {u"a<br>b<br><br>c</br>d", u"a\rb\r\rc\rd"},
    {u"<p>a</p><br>b", u"a\r\r\rb"},
    {u"<br><p></p><div> </div>a<br><br><p></p>", u"a"},
    {u"x<pre>\n a  b\n\n\tc\n</pre>y", u"x\r\r a  b\r\r\tc\r\ry"},
    {u"<pre>a\r\nb\rc</pre>", u"a\rb\rc"},
    {u"<h1>Title</h1>Body <h2>Sub</h2>", u"Title\r\rBody\r\rSub"},
    {u"<ul><li>one<li>two<ul><li>deep</ul></ul>after", u"\u2022 one\r\u2022 two\r\u2022 deep\r\rafter"},
    {u"<ol start=\"3\"><li>c<li value=10>j<li>k</ol>", u"3. c\r10. j\r11. k"},
    {u"<li>loose", u"\u2022 loose"},
    {u"<table><tr><th>Name<th>Size</tr><tr><td>a.exe<td>2 MB</table>after", u"Name\tSize\ra.exe\t2 MB\rafter"},
    {u"a<blockquote>q</blockquote>b<hr>c<dl><dt>T<dd>D</dl>e", u"a\r\rq\r\rb\r\rc\r\rT\rD\r\re"},
    {u"Get <img src=a.png alt=\"the &amp; app\">now<img src=b.png>!", u"Get the & appnow!"},
    {u"a<script>if (x<y) document.write('</p><b>')</script>b<STYLE>p{}</style>c<title>T</title>d"
     u"<object><param name=m>fallback</object>e<iframe><p>x</p></iframe>f<embed src=z>g"
     u"<textarea>t</textarea>h<SCRIPT>1</ScRiPt >i", u"abcdefghi"},
    {u"a<!-- <b>x</b> -->b<!---->c<!DOCTYPE html>d<?xml version=\"1.0\"?>e<![CDATA[ <i>y</i> ]]>f<!-->g", u"abcdefg"},
    {u"a<!-- never closed", u"a"},
    {u"a<script>never closed", u"a"},
    {u"1 < 2, a<3 & b<=c <>", u"1 < 2, a<3 & b<=c <>"},
    {u"kept<b class=\"cut off", u"kept"},
    {u"<xmp><b>x</b></xmp>y<plaintext><i>z</i>", u"<b>x</b>\r\ry\r\r<i>z</i>"},
    {u"<custom-tag x=1>t</custom-tag><font color=red>u</font>", u"tu"},
    {u"&lt;&gt;&amp;&quot;&apos;&nbsp;&copy;&euro;&hellip;&Omega;&rArr;&thetasym;&zwnj;",
     u"<>&\"'\u00A0\u00A9\u20AC\u2026\u03A9\u21D2\u03D1\u200C"},
    {u"&#65;&#x42;&#X43;&#x1F600;&#0;&#xD800;&#x110000;&#150;&#99999999999;&#",
     u"ABC\xD83D\xDE00\xFFFD\xFFFD\xFFFD\u2013\xFFFD&#"},
    {u"&copy 2024 &amp&lt;x&notit; &ampersand &bogus; & &AMP", u"\u00A9 2024 &<x\u00ACit; &ersand &bogus; & &"},
    {std::u16string(u"a\0b", 3), u"ab"},
    {u"\xD800x\xDC00y\xD83D\xDE00", u"\xFFFDx\xFFFDy\xD83D\xDE00"},
    {u"\u65E5\u672C\u8A9E\x01\x7F\x85\xFEFF&#1;", u"\u65E5\u672C\u8A9E"},
};
// clang-format on

TEST(HtmlTextConversion, TextTable) {
    for (const TextCase &c : kTextCases) {
        SCOPED_TRACE(std::string(c.html.begin(), c.html.end()));
        const RichText r = convertHtml(c.html, kStyle);
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(rtfPlainText(r.rtf), r.text) << r.rtf;
        EXPECT_TRUE(r.links.empty());
    }
}

TEST(HtmlTextConversion, LinksCoverTheVisibleAnchorText) {
    const RichText r =
        convertHtml(u"<p>See <a href=\"https://example.com/a?b=1&amp;c=2&copy=3\">the notes</a>.</p>"
                    u"<a href='mailto:team@example.com'> mail </a>"
                    u"<a href=javascript:alert(1)>js</a><a href=\"file:///c:/x\">file</a>"
                    u"<a href=\"http://x.test/\"></a><a>plain</a>"
                    u"<a href=\" HTTP://X.te\tst/a b\"><img alt=\"Pic\"></a>",
                    kStyle);
    ASSERT_EQ(r.text, u"See the notes.\r\rmail jsfileplainPic");
    ASSERT_EQ(r.links.size(), 3u);
    EXPECT_EQ(r.links[0].first, 4u);
    EXPECT_EQ(r.links[0].last, 13u);
    EXPECT_EQ(r.links[0].address, u"https://example.com/a?b=1&c=2&copy=3");
    EXPECT_EQ(r.links[1].first, 16u);
    EXPECT_EQ(r.links[1].last, 20u);
    EXPECT_EQ(r.links[1].address, u"mailto:team@example.com");
    EXPECT_EQ(r.links[2].first, 32u);
    EXPECT_EQ(r.links[2].last, 35u);
    EXPECT_EQ(r.links[2].address, u"HTTP://X.test/a%20b");

    // A link may span a line end; a new anchor ends the open one.
    const RichText spans =
        convertHtml(u"<a href=http://a.test/>x<br>y<a href=http://b.test/>two</a>", kStyle);
    ASSERT_EQ(spans.text, u"x\rytwo");
    ASSERT_EQ(spans.links.size(), 2u);
    EXPECT_EQ(spans.links[0].first, 0u);
    EXPECT_EQ(spans.links[0].last, 3u);
    EXPECT_EQ(spans.links[1].first, 3u);
    EXPECT_EQ(spans.links[1].last, 6u);
    EXPECT_EQ(spans.links[1].address, u"http://b.test/");
}

TEST(HtmlTextConversion, RtfFormatting) {
    const RichText r = convertHtml(u"<b>B</b><i>I</i><u>U</u><s>S</s><h1>H</h1>", kStyle);
    EXPECT_EQ(r.rtf,
              kHeader + "\\b B\\b0 \\i I\\i0 \\ul U\\ulnone \\strike S\\par \\par \\b \\strike0 \\fs36 H}");

    const int headingHalfPoints[] = {36, 27, 23, 21, 20, 19};
    for (int level = 1; level <= 6; ++level) {
        const std::u16string n(1, static_cast<char16_t>('0' + level));
        const RichText h = convertHtml(u"<h" + n + u">x</h" + n + u">y", kStyle);
        EXPECT_EQ(h.rtf, kHeader + "\\b \\fs" + std::to_string(headingHalfPoints[level - 1]) +
                             " x\\par \\par \\b0 \\fs18 y}");
    }

    // Unclosed and misnested formatting ends where its own end tag is.
    const RichText mixed = convertHtml(u"<b><i>bi</b>i</i>p<u>u", kStyle);
    EXPECT_EQ(mixed.rtf, kHeader + "\\b \\i bi\\b0 i\\i0 p\\ul u}");

    // Lists and quotes indent their paragraphs.
    const RichText indented = convertHtml(u"a<ul><li>b<blockquote>c</blockquote></ul>d", kStyle);
    EXPECT_EQ(indented.rtf, kHeader + "a\\par \\par \\pard\\li360 \\u8226? b\\par \\par \\pard\\li720 c\\par "
                                      "\\par \\pard d\\par }");
}

TEST(HtmlTextConversion, RtfEscapesAndFont) {
    const RichText r = convertHtml(u"\\{}\u00E9\u65E5\U0001F600<pre>\t</pre>", kStyle);
    EXPECT_EQ(r.rtf, kHeader + "\\\\\\{\\}\\u233?\\u26085?\\u-10179?\\u-8704?\\par \\par \\tab }");

    const RichText japanese = convertHtml(u"x", TextStyle{u"\uFF2D\uFF33 UI;{x}", 10});
    EXPECT_NE(japanese.rtf.find("{\\f0\\fnil\\fcharset1 \\u-211?\\u-205? UIx;}"), std::string::npos);
    EXPECT_NE(japanese.rtf.find("\\fs20 x}"), std::string::npos);

    const RichText fallback = convertHtml(u"x", TextStyle{u"", 0});
    EXPECT_NE(fallback.rtf.find("\\fcharset1 MS Shell Dlg 2;}}"), std::string::npos);
    EXPECT_NE(fallback.rtf.find("\\fs18 x}"), std::string::npos);
}

TEST(HtmlTextHostileInput, OneMegabyteDescription) {
    const std::u16string part = u"<p><a href=\"https://example.com/\">Hello</a> &amp; <b>world</b></p>\n";
    const std::size_t count = 1000000 / part.size() + 1;
    const RichText r = convertHtml(repeat(part, count), kStyle);
    EXPECT_EQ(r.text, repeat(u"Hello & world\r\r", count).substr(0, count * 15 - 2));
    ASSERT_EQ(r.links.size(), count);
    EXPECT_EQ(r.links.back().first, (count - 1) * 15);
    EXPECT_EQ(r.links.back().last, (count - 1) * 15 + 5);
}

// The lengths of the paragraphs of a converted text.
std::vector<std::size_t> paragraphLengths(const std::u16string &text) {
    std::vector<std::size_t> lengths(1, 0);
    for (char16_t c : text) {
        if (c == u'\r')
            lengths.push_back(0);
        else
            ++lengths.back();
    }
    return lengths;
}

TEST(HtmlTextHostileInput, TextStopsAtTheCap) {
    // One word of 1.2 million letters: cut into pieces (no space to cut at), the whole capped.
    const RichText plain = convertHtml(u"<a href=http://x.test/>" + std::u16string(1200000, u'a'), kStyle);
    ASSERT_EQ(plain.text.size(), kMaxTextLength);
    std::u16string joined = plain.text;
    joined.erase(std::remove(joined.begin(), joined.end(), u'\r'), joined.end());
    EXPECT_EQ(joined, std::u16string(joined.size(), u'a'));
    ASSERT_EQ(plain.links.size(), 1u);
    EXPECT_EQ(plain.links[0].last, kMaxTextLength);
    EXPECT_LT(plain.rtf.size(), kMaxTextLength + 20 * (kMaxTextLength / kSplitParagraphLength));

    // A pair is never cut; the RTF grows with the text, not with the input.
    const RichText pairs = convertHtml(repeat(u"\U0001F600", 600001), kStyle);
    ASSERT_GE(pairs.text.size(), kMaxTextLength - 2);
    ASSERT_LE(pairs.text.size(), kMaxTextLength);
    EXPECT_EQ(pairs.text.back(), u'\xDE00');
    for (std::size_t i = 0; i < pairs.text.size(); ++i) {
        if (pairs.text[i] == u'\r') {
            ASSERT_TRUE(pairs.text[i - 1] == u'\xDE00' && pairs.text[i + 1] == u'\xD83D') << i;
        }
    }
    EXPECT_LT(pairs.rtf.size(), 10 * kMaxTextLength);
    const RichText breaks = convertHtml(u"a" + repeat(u"<br>", 2000000) + u"b", kStyle);
    EXPECT_EQ(breaks.text, u"a");
}

TEST(HtmlTextHostileInput, LongParagraphsAreCutAtSpaces) {
    // Up to the limit a paragraph stays whole; a longer one becomes pieces cut where its spaces
    // were, the first one as long as the limit allows and the rest shorter, with nothing lost.
    std::u16string words;
    while (words.size() < 200000)
        words += u"abcdefg ";
    words.pop_back();
    const std::u16string whole = words.substr(0, kLongParagraphLength - 1); // ends in a letter
    const RichText r = convertHtml(u"<p>" + whole + u"</p><p>" + words + u"</p>", kStyle);
    const std::vector<std::size_t> lengths = paragraphLengths(r.text);
    ASSERT_GT(lengths.size(), 200000 / (kSplitParagraphLength + 8));
    EXPECT_EQ(lengths[0], whole.size());
    EXPECT_EQ(lengths[1], 0u); // the empty line between the two paragraphs
    EXPECT_GE(lengths[2], kLongParagraphLength);
    EXPECT_LT(lengths[2], kLongParagraphLength + 8);
    for (std::size_t i = 3; i + 1 < lengths.size(); ++i)
        ASSERT_TRUE(lengths[i] >= kSplitParagraphLength && lengths[i] < kSplitParagraphLength + 8) << i;
    std::u16string second = r.text.substr(whole.size() + 2);
    std::replace(second.begin(), second.end(), u'\r', u' ');
    EXPECT_TRUE(second == words) << "the pieces do not join to the paragraph";
    // A list item's pieces: one marker, at the start.
    const RichText item =
        convertHtml(u"<ul><li>" + words.substr(0, 3 * kLongParagraphLength) + u"</li></ul>", kStyle);
    EXPECT_EQ(item.text.rfind(u"\u2022"), 0u);
    EXPECT_GT(paragraphLengths(item.text).size(), 2u);
}

TEST(HtmlTextHostileInput, HundredThousandNestedElements) {
    const std::size_t depth = 100000;
    const RichText r =
        convertHtml(repeat(u"<div><b><ul><li><blockquote>", depth) + u"x" +
                        repeat(u"</blockquote></li></ul></b></div>", depth) + u"y" +
                        repeat(u"<object><i>", depth) + u"hidden" + repeat(u"</object>", depth) + u"z",
                    kStyle);
    EXPECT_EQ(r.text, u"\u2022 x\r\ryz");
    EXPECT_NE(r.rtf.find("\\pard\\li2880 \\b \\u8226? x"), std::string::npos) << "indentation clamped";
}

struct AddressCase {
    std::u16string address;
    bool openable;
};

TEST(HtmlTextAddresses, OnlyWebAndMailAddressesOpen) {
    // clang-format off
    const AddressCase cases[] = {
        {u"http://example.com", true}, {u"HTTPS://EXAMPLE.COM/x?y#z", true}, {u"MailTo:a@b.test", true},
        {u"https://\u4F8B\u3048.jp/", true}, {u"", false}, {u" http://a.test", false}, {u"http://a.test ", false},
        {u"http://a.test\n", false}, {u"\x01http://a.test", false}, {u"http://a.test/\"x", false},
        {u"ht\ttp://a.test", false}, {u"javascript:alert(1)", false}, {u"JaVaScRiPt:x", false},
        {u"file:///c:/x", false}, {u"http:", false}, {u"http:///x", false}, {u"mailto:", false},
        {u"//a.test", false}, {u"http://a.test/\u202Egnp.exe", false}, {u"http://a\xD800.test", false},
        {u"http://a.test/" + std::u16string(htmltext::kMaxAddressLength, u'x'), false},
    };
    // clang-format on
    for (const AddressCase &c : cases) {
        SCOPED_TRACE(std::string(c.address.begin(), c.address.end()));
        EXPECT_EQ(isOpenableAddress(c.address), c.openable);
    }
}

// The view itself shows web pages and its empty page only; mail addresses leave it.
TEST(HtmlTextAddresses, OnlyWebPagesShowInPlace) {
    for (const char16_t *address : {u"http://a.test/x", u"HTTPS://a.test", u"about:blank"})
        EXPECT_TRUE(isInPlaceAddress(address));
    for (const char16_t *address :
         {u"mailto:a@b.test", u"about:config", u"file://server/share/x.exe",
          u"C:\\Windows\\System32\\calc.exe", u"\\\\host\\share", u"javascript:x", u"vbscript:x",
          u"res://ieframe.dll/x", u"ms-settings:", u"tbcustom:x", u"about:blank#x", u""})
        EXPECT_FALSE(isInPlaceAddress(address))
            << std::string(address, address + std::char_traits<char16_t>::length(address));
}

} // namespace
