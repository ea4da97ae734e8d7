// HTML to rich text for the built-in HTML view (portable, no Windows header).
//
// convertHtml turns an HTML description (outside input) into an RTF document for a read-only
// RichEdit control, the exact text the control holds after loading it, and the ranges of the
// links, which the caller marks itself (the control drops RTF hyperlink fields).
//
// What the text shows, close to what a browser shows:
// - White space (space, tab, CR, LF, FF) collapses to one space; none starts or ends a line.
//   Inside pre, listing and xmp it is kept, and line feeds end paragraphs (a line feed right
//   after <pre> or <listing> is dropped). Paragraph ends are one u'\r' each; the text neither
//   starts nor ends with one (the RTF ends the last paragraph with \par where its indentation
//   differs from the one before, which the control takes as its final paragraph mark).
// - Blocks start a new line. p, h1-h6, pre, blockquote, dl, hr, figure and lists outside a list
//   stand apart by one empty line. Empty lines come only from those margins (never two in a
//   row) and from br, which ends exactly one line.
// - Bold: b, strong, th, headings (which are also larger: 200, 150, 125, 115, 110 and 105 per
//   cent of the dialog's size). Italic: i, em, cite, var, dfn, address. Underline: u, ins.
//   Struck through: s, strike, del. Lists, blockquotes and dd are indented.
// - li starts with "• "; inside ol with its number ("3. ", from start= and value=). Table cells
//   of one row are separated by a tab. img shows its alt text.
// - Not shown: script, style, iframe, noembed, noframes, title and textarea (their contents are
//   raw text up to the matching end tag), object, applet, template, embed; comments, doctype,
//   <?...>, <![CDATA[...]]>. A "<" that starts no tag is text; a tag cut off by the end of the
//   input is dropped.
// - Character references: the HTML 4 named set plus &apos;, decimal and hex numbers (0, surrogates
//   and values past U+10FFFF give U+FFFD, 128-159 read as Windows-1252), the Latin-1 names
//   without ";" as a browser reads them; anything else stays literal text.
// - Input: NULs are dropped, unpaired surrogates become U+FFFD, other control characters vanish.
// - a with an href that isOpenableAddress accepts (after decoding, dropping tabs and line feeds,
//   trimming, and writing spaces and '"' as %20 and %22) gives a Link over its visible text.
// The work is one forward pass, linear in the input, with no recursion; nesting is tracked by
// clamped counters. The text stops at kMaxTextLength units: conversion ends there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace htmltext {

// Longest text the view shows, in UTF-16 units (paragraph ends included).
constexpr std::size_t kMaxTextLength = 1000000;
// Paragraphs longer than this many units are cut into pieces at spaces (or, with no space, at
// twice the length): the rich-text control lays a paragraph out in time that grows with the
// square of its length, and one long paragraph would hold the window for minutes. After the
// first cut, the pieces are kSplitParagraphLength units long.
constexpr std::size_t kLongParagraphLength = 2000;
constexpr std::size_t kSplitParagraphLength = 500;
// Longest address isOpenableAddress accepts.
constexpr std::size_t kMaxAddressLength = 4096;

// A link in the converted text: characters [first, last) of the control's text, where every
// paragraph end counts as one character (the control ends paragraphs with a single CR).
struct Link {
    std::uint32_t first;
    std::uint32_t last;
    std::u16string address;
};

struct RichText {
    std::string rtf;         // a complete RTF document (ASCII only; non-ASCII as \uN?)
    std::u16string text;     // the text the control will hold, paragraph ends as u'\r'
    std::vector<Link> links; // in text order, non-overlapping, never empty ranges
};

// The dialog's font. An empty face gives "MS Shell Dlg 2"; sizes outside 1-200 give 9 points.
struct TextStyle {
    std::u16string fontFace;
    int pointSize;
};

RichText convertHtml(std::u16string_view html, const TextStyle &style);

// True only for addresses the view may hand to the system: http://host..., https://host... and
// mailto:... (scheme compared without regard to case). Refused: white space, '"', control and
// invisible formatting characters anywhere (so also leading and trailing), unpaired surrogates,
// and more than kMaxAddressLength units.
bool isOpenableAddress(std::u16string_view address);

// True only for addresses the view may navigate to in its own window: those isOpenableAddress
// accepts without mailto, and the view's own empty page "about:blank".
bool isInPlaceAddress(std::u16string_view address);

} // namespace htmltext
