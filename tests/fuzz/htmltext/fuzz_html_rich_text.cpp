// libFuzzer target for the HTML-to-rich-text converter: any input must give a text within the
// cap with no control characters but paragraph ends and tabs, links inside it in order and never
// empty, and an ASCII RTF with balanced braces that reads back as exactly the text.
//
// The first byte chooses how the rest becomes UTF-16. Odd: little-endian pairs, any unit. Even:
// one unit per byte, bytes below 0x80 as ASCII and the others from a table of awkward units
// (surrogate halves, NUL, U+FFFD, byte-order marks, spaces and separators, CJK), so that
// mutations of ASCII markup stay markup. The other bits choose the point size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tarnbeam/ui/portable/html_rich_text.h"
#include "tests/tarnbeam/htmltext/rtf_plain_text.h"

namespace {

constexpr char16_t kAwkwardUnits[16] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00, 0x0000, 0xFFFD,
                                        0xFEFF, 0xFFFE, 0x00A0, 0x2028, 0x3000, 0x65E5, 0x0085, 0x00E9};

void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool isHigh(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLow(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    std::u16string html;
    if (data[0] & 1) {
        for (std::size_t i = 1; i + 1 < size; i += 2)
            html += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    } else {
        for (std::size_t i = 1; i < size; ++i)
            html += data[i] < 0x80 ? static_cast<char16_t>(data[i]) : kAwkwardUnits[data[i] & 15];
    }
    const htmltext::TextStyle style{u"Meiryo UI", (data[0] >> 1) - 8};
    const htmltext::RichText r = htmltext::convertHtml(html, style);

    const std::u16string &text = r.text;
    check(text.size() <= htmltext::kMaxTextLength, "text within the cap");
    check(text.empty() || (text.front() != u'\r' && text.back() != u'\r'),
          "no leading or trailing paragraph end");
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        check(c >= 0x20 || c == u'\r' || c == u'\t', "no control characters");
        check(!(c >= 0x7F && c <= 0x9F) && c != 0xFEFF, "no invisible controls");
        if (isHigh(c))
            check(i + 1 < text.size() && isLow(text[++i]), "surrogates paired");
        else
            check(!isLow(c), "no lone low surrogate");
    }

    std::uint32_t previousEnd = 0;
    for (const htmltext::Link &link : r.links) {
        check(link.first < link.last && link.last <= text.size(), "link inside the text, not empty");
        check(link.first >= previousEnd, "links in order, not overlapping");
        check(htmltext::isOpenableAddress(link.address), "link address openable");
        previousEnd = link.last;
    }

    const std::string &rtf = r.rtf;
    check(rtf.compare(0, 6, "{\\rtf1") == 0 && rtf.back() == '}', "an RTF document");
    int depth = 0;
    for (std::size_t i = 0; i < rtf.size(); ++i) {
        const char c = rtf[i];
        check(c >= 0x20 && c < 0x7F, "RTF printable ASCII");
        if (c == '\\')
            ++i; // the escaped character, or the first letter of a control word
        else if (c == '{')
            ++depth;
        else if (c == '}')
            check(--depth >= 0, "RTF braces balanced");
        check(depth > 0 || i + 1 >= rtf.size(), "one top-level group");
    }
    check(depth == 0, "RTF braces closed");
    check(rtf.size() <= 1024 + 64 * text.size(), "RTF proportional to the text");
    check(rtfPlainText(rtf) == text, "RTF reads back as the text");
    return 0;
}
