// HTML to rich text: one forward pass over the input. The parser reads tags, references and
// text; the output keeps the text, the RTF and the links in step, applying line ends, spaces and
// formatting lazily, when the next visible character arrives, so nothing trails.
#include "tarnbeam/ui/portable/html_rich_text.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <utility>

namespace htmltext {
namespace {

// Counters of open elements stop here. Real descriptions nest a few levels; the clamp only keeps
// the counters from wrapping.
constexpr std::uint32_t kMaxNesting = 1u << 20;
// List levels whose kind and next number are remembered; items deeper down get a bullet. A fixed
// array: the input cannot make it grow.
constexpr std::size_t kListLevels = 32;
// Paragraphs indent at most this many steps of kIndentTwips (a quarter inch): deeper nesting
// would push the text out of a dialog-sized view.
constexpr int kMaxIndentSteps = 8;
constexpr int kIndentTwips = 360;
// Longest font face a LOGFONT holds.
constexpr std::size_t kMaxFaceLength = 31;
constexpr int kDefaultPointSize = 9;
constexpr int kHeadingPercent[6] = {200, 150, 125, 115, 110, 105};
// List numbers stay within this magnitude so that a marker is at most 12 units.
constexpr long kMaxListNumber = 999999999;

// ---------------------------------------------------------------------------------------------
// Character references

struct Entity {
    std::string_view name;
    char32_t codePoint;
};

// The HTML 4 named references (lang and rang as browsers map them today), &apos;, and the
// upper-case spellings browsers accept for six of them. Sorted by name in ASCII order.
constexpr Entity kEntities[] = {
    {"AElig", 0x00C6},   {"AMP", 0x0026},      {"Aacute", 0x00C1}, {"Acirc", 0x00C2},   {"Agrave", 0x00C0},
    {"Alpha", 0x0391},   {"Aring", 0x00C5},    {"Atilde", 0x00C3}, {"Auml", 0x00C4},    {"Beta", 0x0392},
    {"COPY", 0x00A9},    {"Ccedil", 0x00C7},   {"Chi", 0x03A7},    {"Dagger", 0x2021},  {"Delta", 0x0394},
    {"ETH", 0x00D0},     {"Eacute", 0x00C9},   {"Ecirc", 0x00CA},  {"Egrave", 0x00C8},  {"Epsilon", 0x0395},
    {"Eta", 0x0397},     {"Euml", 0x00CB},     {"GT", 0x003E},     {"Gamma", 0x0393},   {"Iacute", 0x00CD},
    {"Icirc", 0x00CE},   {"Igrave", 0x00CC},   {"Iota", 0x0399},   {"Iuml", 0x00CF},    {"Kappa", 0x039A},
    {"LT", 0x003C},      {"Lambda", 0x039B},   {"Mu", 0x039C},     {"Ntilde", 0x00D1},  {"Nu", 0x039D},
    {"OElig", 0x0152},   {"Oacute", 0x00D3},   {"Ocirc", 0x00D4},  {"Ograve", 0x00D2},  {"Omega", 0x03A9},
    {"Omicron", 0x039F}, {"Oslash", 0x00D8},   {"Otilde", 0x00D5}, {"Ouml", 0x00D6},    {"Phi", 0x03A6},
    {"Pi", 0x03A0},      {"Prime", 0x2033},    {"Psi", 0x03A8},    {"QUOT", 0x0022},    {"REG", 0x00AE},
    {"Rho", 0x03A1},     {"Scaron", 0x0160},   {"Sigma", 0x03A3},  {"THORN", 0x00DE},   {"Tau", 0x03A4},
    {"Theta", 0x0398},   {"Uacute", 0x00DA},   {"Ucirc", 0x00DB},  {"Ugrave", 0x00D9},  {"Upsilon", 0x03A5},
    {"Uuml", 0x00DC},    {"Xi", 0x039E},       {"Yacute", 0x00DD}, {"Yuml", 0x0178},    {"Zeta", 0x0396},
    {"aacute", 0x00E1},  {"acirc", 0x00E2},    {"acute", 0x00B4},  {"aelig", 0x00E6},   {"agrave", 0x00E0},
    {"alefsym", 0x2135}, {"alpha", 0x03B1},    {"amp", 0x0026},    {"and", 0x2227},     {"ang", 0x2220},
    {"apos", 0x0027},    {"aring", 0x00E5},    {"asymp", 0x2248},  {"atilde", 0x00E3},  {"auml", 0x00E4},
    {"bdquo", 0x201E},   {"beta", 0x03B2},     {"brvbar", 0x00A6}, {"bull", 0x2022},    {"cap", 0x2229},
    {"ccedil", 0x00E7},  {"cedil", 0x00B8},    {"cent", 0x00A2},   {"chi", 0x03C7},     {"circ", 0x02C6},
    {"clubs", 0x2663},   {"cong", 0x2245},     {"copy", 0x00A9},   {"crarr", 0x21B5},   {"cup", 0x222A},
    {"curren", 0x00A4},  {"dArr", 0x21D3},     {"dagger", 0x2020}, {"darr", 0x2193},    {"deg", 0x00B0},
    {"delta", 0x03B4},   {"diams", 0x2666},    {"divide", 0x00F7}, {"eacute", 0x00E9},  {"ecirc", 0x00EA},
    {"egrave", 0x00E8},  {"empty", 0x2205},    {"emsp", 0x2003},   {"ensp", 0x2002},    {"epsilon", 0x03B5},
    {"equiv", 0x2261},   {"eta", 0x03B7},      {"eth", 0x00F0},    {"euml", 0x00EB},    {"euro", 0x20AC},
    {"exist", 0x2203},   {"fnof", 0x0192},     {"forall", 0x2200}, {"frac12", 0x00BD},  {"frac14", 0x00BC},
    {"frac34", 0x00BE},  {"frasl", 0x2044},    {"gamma", 0x03B3},  {"ge", 0x2265},      {"gt", 0x003E},
    {"hArr", 0x21D4},    {"harr", 0x2194},     {"hearts", 0x2665}, {"hellip", 0x2026},  {"iacute", 0x00ED},
    {"icirc", 0x00EE},   {"iexcl", 0x00A1},    {"igrave", 0x00EC}, {"image", 0x2111},   {"infin", 0x221E},
    {"int", 0x222B},     {"iota", 0x03B9},     {"iquest", 0x00BF}, {"isin", 0x2208},    {"iuml", 0x00EF},
    {"kappa", 0x03BA},   {"lArr", 0x21D0},     {"lambda", 0x03BB}, {"lang", 0x27E8},    {"laquo", 0x00AB},
    {"larr", 0x2190},    {"lceil", 0x2308},    {"ldquo", 0x201C},  {"le", 0x2264},      {"lfloor", 0x230A},
    {"lowast", 0x2217},  {"loz", 0x25CA},      {"lrm", 0x200E},    {"lsaquo", 0x2039},  {"lsquo", 0x2018},
    {"lt", 0x003C},      {"macr", 0x00AF},     {"mdash", 0x2014},  {"micro", 0x00B5},   {"middot", 0x00B7},
    {"minus", 0x2212},   {"mu", 0x03BC},       {"nabla", 0x2207},  {"nbsp", 0x00A0},    {"ndash", 0x2013},
    {"ne", 0x2260},      {"ni", 0x220B},       {"not", 0x00AC},    {"notin", 0x2209},   {"nsub", 0x2284},
    {"ntilde", 0x00F1},  {"nu", 0x03BD},       {"oacute", 0x00F3}, {"ocirc", 0x00F4},   {"oelig", 0x0153},
    {"ograve", 0x00F2},  {"oline", 0x203E},    {"omega", 0x03C9},  {"omicron", 0x03BF}, {"oplus", 0x2295},
    {"or", 0x2228},      {"ordf", 0x00AA},     {"ordm", 0x00BA},   {"oslash", 0x00F8},  {"otilde", 0x00F5},
    {"otimes", 0x2297},  {"ouml", 0x00F6},     {"para", 0x00B6},   {"part", 0x2202},    {"permil", 0x2030},
    {"perp", 0x22A5},    {"phi", 0x03C6},      {"pi", 0x03C0},     {"piv", 0x03D6},     {"plusmn", 0x00B1},
    {"pound", 0x00A3},   {"prime", 0x2032},    {"prod", 0x220F},   {"prop", 0x221D},    {"psi", 0x03C8},
    {"quot", 0x0022},    {"rArr", 0x21D2},     {"radic", 0x221A},  {"rang", 0x27E9},    {"raquo", 0x00BB},
    {"rarr", 0x2192},    {"rceil", 0x2309},    {"rdquo", 0x201D},  {"real", 0x211C},    {"reg", 0x00AE},
    {"rfloor", 0x230B},  {"rho", 0x03C1},      {"rlm", 0x200F},    {"rsaquo", 0x203A},  {"rsquo", 0x2019},
    {"sbquo", 0x201A},   {"scaron", 0x0161},   {"sdot", 0x22C5},   {"sect", 0x00A7},    {"shy", 0x00AD},
    {"sigma", 0x03C3},   {"sigmaf", 0x03C2},   {"sim", 0x223C},    {"spades", 0x2660},  {"sub", 0x2282},
    {"sube", 0x2286},    {"sum", 0x2211},      {"sup", 0x2283},    {"sup1", 0x00B9},    {"sup2", 0x00B2},
    {"sup3", 0x00B3},    {"supe", 0x2287},     {"szlig", 0x00DF},  {"tau", 0x03C4},     {"there4", 0x2234},
    {"theta", 0x03B8},   {"thetasym", 0x03D1}, {"thinsp", 0x2009}, {"thorn", 0x00FE},   {"tilde", 0x02DC},
    {"times", 0x00D7},   {"trade", 0x2122},    {"uArr", 0x21D1},   {"uacute", 0x00FA},  {"uarr", 0x2191},
    {"ucirc", 0x00FB},   {"ugrave", 0x00F9},   {"uml", 0x00A8},    {"upsih", 0x03D2},   {"upsilon", 0x03C5},
    {"uuml", 0x00FC},    {"weierp", 0x2118},   {"xi", 0x039E},     {"yacute", 0x00FD},  {"yen", 0x00A5},
    {"yuml", 0x00FF},    {"zeta", 0x03B6},     {"zwj", 0x200D},    {"zwnj", 0x200C},
};
constexpr std::size_t kLongestEntityName = 8; // "thetasym"
constexpr std::size_t kLongestLegacyName = 6; // "frac12", "Ccedil", ...

template <typename Table> constexpr bool sortedByName(const Table &table) {
    for (std::size_t i = 1; i < std::size(table); ++i)
        if (!(table[i - 1].name < table[i].name))
            return false;
    return true;
}
static_assert(std::size(kEntities) == 252 + 7, "the HTML 4 set, &apos; and six upper-case spellings");
static_assert(sortedByName(kEntities), "lookups search kEntities by halves");

// Numeric references 128-159 name the Windows-1252 characters there (0 = left as it is).
constexpr char16_t kWindows1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                           0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool isAsciiAlpha(char32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char32_t c) {
    return c >= '0' && c <= '9';
}
bool isAsciiAlnum(char32_t c) {
    return isAsciiAlpha(c) || isAsciiDigit(c);
}
char lowerAscii(char16_t c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}
bool isHtmlSpace(char32_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}
bool isHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

int hexValue(char16_t c) {
    if (isAsciiDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const Entity *findEntity(std::u16string_view name) {
    if (name.size() > kLongestEntityName)
        return nullptr;
    char ascii[kLongestEntityName];
    for (std::size_t i = 0; i < name.size(); ++i)
        ascii[i] = static_cast<char>(name[i]); // callers pass ASCII letters and digits only
    const std::string_view key(ascii, name.size());
    const Entity *end = std::end(kEntities);
    const Entity *it = std::lower_bound(std::begin(kEntities), end, key,
                                        [](const Entity &e, std::string_view k) { return e.name < k; });
    return it != end && it->name == key ? it : nullptr;
}

// Names a browser also reads without the ";": the Latin-1 set and quot, amp, lt, gt.
bool isLegacyEntity(const Entity &e) {
    return e.codePoint <= 0xFF && e.name != "apos";
}

char32_t numericReference(std::uint32_t value) {
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0xFFFD;
    if (value >= 0x80 && value <= 0x9F && kWindows1252High[value - 0x80] != 0)
        return kWindows1252High[value - 0x80];
    return value;
}

// Reads the character reference at src[pos] (an '&'). Returns how many units it takes, 0 when
// the '&' is a plain character. In an attribute value a name without ";" followed by "=" or a
// letter or digit stays text, as browsers keep query strings such as "?a=1&copy=2" intact.
std::size_t readReference(std::u16string_view src, std::size_t pos, bool inAttribute, char32_t &codePoint) {
    std::size_t p = pos + 1;
    if (p < src.size() && src[p] == '#') {
        ++p;
        const bool hex = p < src.size() && (src[p] == 'x' || src[p] == 'X');
        if (hex)
            ++p;
        const std::size_t digitsStart = p;
        std::uint32_t value = 0;
        for (; p < src.size(); ++p) {
            const int digit = hex ? hexValue(src[p]) : (isAsciiDigit(src[p]) ? src[p] - '0' : -1);
            if (digit < 0)
                break;
            value = std::min<std::uint32_t>(value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit),
                                            0x110000);
        }
        if (p == digitsStart)
            return 0;
        if (p < src.size() && src[p] == ';')
            ++p;
        codePoint = numericReference(value);
        return p - pos;
    }
    std::size_t nameEnd = p;
    while (nameEnd < src.size() && nameEnd - p <= kLongestEntityName && isAsciiAlnum(src[nameEnd]))
        ++nameEnd;
    const std::u16string_view name = src.substr(p, nameEnd - p);
    if (nameEnd < src.size() && src[nameEnd] == ';') {
        if (const Entity *e = findEntity(name)) {
            codePoint = e->codePoint;
            return name.size() + 2;
        }
    }
    for (std::size_t length = std::min(name.size(), kLongestLegacyName); length >= 2; --length) {
        const Entity *e = findEntity(name.substr(0, length));
        if (!e || !isLegacyEntity(*e))
            continue;
        const std::size_t next = p + length;
        if (inAttribute && next < src.size() && (src[next] == '=' || isAsciiAlnum(src[next])))
            return 0;
        codePoint = e->codePoint;
        return length + 1;
    }
    return 0;
}

void appendCodePoint(std::u16string &out, char32_t c) {
    if (c >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

// ---------------------------------------------------------------------------------------------
// Output: text, RTF and links in step

void appendRtfUnit(std::string &rtf, char16_t unit) {
    if (unit == '\\' || unit == '{' || unit == '}') {
        rtf += '\\';
        rtf += static_cast<char>(unit);
    } else if (unit == '\t') {
        rtf += "\\tab ";
    } else if (unit >= 0x20 && unit < 0x7F) {
        rtf += static_cast<char>(unit);
    } else {
        // \uN takes a signed 16-bit number; "?" is what readers without Unicode show.
        rtf += "\\u";
        rtf += std::to_string(unit < 0x8000 ? static_cast<int>(unit) : static_cast<int>(unit) - 0x10000);
        rtf += '?';
    }
}

struct CharFormat {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    int heading = 0; // 1-6, 0 for body text
};

class Output {
  public:
    explicit Output(const TextStyle &style);

    bool full() const { return m_full; }
    // The formatting and the indentation of the characters to come.
    void setFormat(const CharFormat &format, int indentSteps) {
        m_format = format;
        m_indentSteps = indentSteps;
    }

    // A character of the document: white space collapses unless preformatted.
    void character(char32_t c, bool preformatted);
    // The next visible character starts a paragraph with at least `lineEnds` line ends before it
    // (2 leaves one empty line).
    void paragraphBreak(std::uint32_t lineEnds);
    // br: exactly one more line end.
    void lineBreak();
    // A tab between two cells of a row.
    void cellSeparator();
    // The marker ("• ", "3. ") the next paragraph starts with; empty to drop a pending one.
    void setMarker(std::u16string marker) { m_marker = std::move(marker); }
    // Anchors: the visible characters written while one is open become its link when the
    // address is openable. Opening one closes the previous one.
    void openLink(std::u16string address, bool openable);
    void closeLink();
    RichText finish();

  private:
    void writeVisible(const char16_t *units, std::size_t count);
    void put(char16_t unit);
    void applyFormat();
    void applyIndent();

    RichText m_out;
    bool m_full = false;
    CharFormat m_format;
    int m_indentSteps = 0;
    std::uint32_t m_pendingBreaks = 0;
    std::uint32_t m_pendingTabs = 0;
    bool m_pendingSpace = false;
    std::u16string m_marker;
    int m_baseHalfPoints;
    int m_headingHalfPoints[6];
    CharFormat m_rtfFormat; // what the RTF written so far says
    int m_rtfIndentSteps = 0;
    bool m_paragraphEnded = false;    // a \par has been written
    std::size_t m_paragraphUnits = 0; // units written since the paragraph began
    bool m_cutting = false;           // the paragraph is being cut into pieces
    int m_endedIndentSteps = 0;       // the indentation of the paragraph the last \par ended
    struct OpenLink {
        bool open = false;
        bool openable = false;
        bool hasText = false;
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        std::u16string address;
    } m_link;
};

Output::Output(const TextStyle &style) {
    const int points = style.pointSize >= 1 && style.pointSize <= 200 ? style.pointSize : kDefaultPointSize;
    m_baseHalfPoints = points * 2;
    for (int i = 0; i < 6; ++i)
        m_headingHalfPoints[i] =
            std::max(m_baseHalfPoints + 1, (m_baseHalfPoints * kHeadingPercent[i] + 50) / 100);

    // The face goes into the font table as it is, less what would end the entry. DEFAULT_CHARSET
    // (\fcharset1) lets the system take the face whatever its script, so Japanese faces and
    // Japanese text both work; every non-ASCII character travels as \uN anyway.
    std::string face;
    const std::u16string_view faceIn =
        style.fontFace.empty() ? std::u16string_view(u"MS Shell Dlg 2") : std::u16string_view(style.fontFace);
    for (std::size_t i = 0; i < faceIn.size() && i < kMaxFaceLength; ++i) {
        const char16_t c = faceIn[i];
        if (c >= 0x20 && c != ';' && c != '\\' && c != '{' && c != '}')
            appendRtfUnit(face, c);
    }
    m_out.rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset1 " + face +
                ";}}\\viewkind4\\uc1\\pard\\f0\\fs" + std::to_string(m_baseHalfPoints) + " ";
}

void Output::character(char32_t c, bool preformatted) {
    if (isHtmlSpace(c) || c == 0x2028 || c == 0x2029) {
        if (!preformatted) {
            m_pendingSpace = true;
            return;
        }
        if (c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029) {
            lineBreak();
            return;
        }
        c = c == '\t' ? '\t' : ' ';
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xFEFF) {
        return; // invisible controls and byte-order marks
    } else if (c == 0xFFFE || c == 0xFFFF) {
        c = 0xFFFD;
    }
    char16_t units[2];
    std::size_t count = 1;
    if (c >= 0x10000) {
        units[0] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        units[1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        count = 2;
    } else {
        units[0] = static_cast<char16_t>(c);
    }
    writeVisible(units, count);
}

void Output::paragraphBreak(std::uint32_t lineEnds) {
    m_pendingSpace = false;
    m_pendingTabs = 0;
    m_pendingBreaks = std::max(m_pendingBreaks, lineEnds);
}

void Output::lineBreak() {
    m_pendingSpace = false;
    m_pendingTabs = 0;
    if (!m_out.text.empty() && m_pendingBreaks < kMaxTextLength)
        ++m_pendingBreaks;
}

void Output::cellSeparator() {
    if (m_pendingTabs < kMaxTextLength)
        ++m_pendingTabs;
}

void Output::openLink(std::u16string address, bool openable) {
    closeLink();
    m_link.open = true;
    m_link.openable = openable;
    m_link.hasText = false;
    m_link.address = std::move(address);
}

void Output::closeLink() {
    if (m_link.open && m_link.openable && m_link.hasText)
        m_out.links.push_back(Link{m_link.first, m_link.last, std::move(m_link.address)});
    m_link.open = false;
    m_link.address.clear();
}

RichText Output::finish() {
    closeLink();
    // Some rich-text readers (Wine's) give the last paragraph the indentation of the one before
    // it when no \par ends it. Where the two differ, the last paragraph is ended too: the reader
    // takes that \par as the document's own final paragraph mark, so the text is unchanged.
    if (m_paragraphEnded && m_rtfIndentSteps != m_endedIndentSteps)
        m_out.rtf += "\\par ";
    m_out.rtf += '}';
    return std::move(m_out);
}

// Writes what is pending (line ends or a separating space or tabs, indentation, a list marker)
// and then the character, or nothing at all when the whole would pass kMaxTextLength.
void Output::writeVisible(const char16_t *units, std::size_t count) {
    if (m_full)
        return;
    std::u16string &text = m_out.text;
    std::size_t breaks = text.empty() ? 0 : m_pendingBreaks;
    if (breaks > 0)
        m_cutting = false;
    // A long paragraph is cut where a space would go, or anywhere once it is twice too long.
    const std::size_t longest = m_cutting ? kSplitParagraphLength : kLongParagraphLength;
    const bool cut = breaks == 0 && !text.empty() && m_pendingTabs == 0 && m_paragraphUnits >= longest &&
                     (m_pendingSpace || m_paragraphUnits >= 2 * longest);
    if (cut) {
        breaks = 1;
        m_pendingSpace = false;
        m_cutting = true;
    }
    const bool paragraphStart = text.empty() || breaks > 0;
    const std::size_t spaces = !paragraphStart && m_pendingSpace && m_pendingTabs == 0 ? 1 : 0;
    if (text.size() + breaks + m_pendingTabs + spaces + m_marker.size() + count > kMaxTextLength) {
        m_full = true;
        return;
    }
    for (std::size_t i = 0; i < breaks; ++i) {
        text += u'\r';
        m_out.rtf += "\\par ";
        m_paragraphEnded = true;
        m_endedIndentSteps = m_rtfIndentSteps;
    }
    if (paragraphStart) {
        applyIndent();
        m_paragraphUnits = 0;
    }
    applyFormat();
    for (std::uint32_t i = 0; i < m_pendingTabs; ++i)
        put(u'\t');
    if (spaces)
        put(u' ');
    for (char16_t unit : m_marker)
        put(unit);
    if (m_link.open && !m_link.hasText) {
        m_link.hasText = true;
        m_link.first = static_cast<std::uint32_t>(text.size());
    }
    for (std::size_t i = 0; i < count; ++i)
        put(units[i]);
    if (m_link.open)
        m_link.last = static_cast<std::uint32_t>(text.size());
    m_pendingBreaks = 0;
    m_pendingTabs = 0;
    m_pendingSpace = false;
    m_marker.clear();
}

void Output::put(char16_t unit) {
    m_out.text += unit;
    ++m_paragraphUnits;
    appendRtfUnit(m_out.rtf, unit);
}

void Output::applyFormat() {
    std::string &rtf = m_out.rtf;
    const CharFormat &f = m_format;
    if (f.bold != m_rtfFormat.bold)
        rtf += f.bold ? "\\b " : "\\b0 ";
    if (f.italic != m_rtfFormat.italic)
        rtf += f.italic ? "\\i " : "\\i0 ";
    if (f.underline != m_rtfFormat.underline)
        rtf += f.underline ? "\\ul " : "\\ulnone ";
    if (f.strike != m_rtfFormat.strike)
        rtf += f.strike ? "\\strike " : "\\strike0 ";
    if (f.heading != m_rtfFormat.heading) {
        const int halfPoints = f.heading > 0 ? m_headingHalfPoints[f.heading - 1] : m_baseHalfPoints;
        rtf += "\\fs" + std::to_string(halfPoints) + " ";
    }
    m_rtfFormat = f;
}

void Output::applyIndent() {
    if (m_indentSteps == m_rtfIndentSteps)
        return;
    m_out.rtf += "\\pard";
    if (m_indentSteps > 0)
        m_out.rtf += "\\li" + std::to_string(m_indentSteps * kIndentTwips);
    m_out.rtf += ' ';
    m_rtfIndentSteps = m_indentSteps;
}

// ---------------------------------------------------------------------------------------------
// Elements

enum class Kind : std::uint8_t {
    Anchor,
    Bold,
    Italic,
    Underline,
    Strike,
    Break,
    Image,
    Block,       // a line of its own
    SpacedBlock, // a line of its own with an empty line around it
    Address,     // block, italic
    Heading,     // arg: level
    ListItem,
    List, // arg: 1 when ordered
    Pre,
    Quote,
    DefinitionList,
    DefinitionTerm,
    DefinitionData,
    TablePart,  // table, tr, caption: a line of its own, a new row
    Cell,       // arg: 1 for th
    Dropped,    // contents hidden, tags still counted
    RawDropped, // raw text up to the end tag, hidden
    RawShown,   // xmp: raw text up to the end tag, preformatted
    Plaintext,  // everything after it, preformatted
};

struct TagInfo {
    std::string_view name;
    Kind kind;
    int arg;
};

// clang-format off
constexpr TagInfo kTags[] = {
    {"a", Kind::Anchor, 0}, {"address", Kind::Address, 0}, {"applet", Kind::Dropped, 0},
    {"article", Kind::Block, 0}, {"aside", Kind::Block, 0}, {"b", Kind::Bold, 0},
    {"blockquote", Kind::Quote, 0}, {"br", Kind::Break, 0}, {"caption", Kind::TablePart, 0},
    {"center", Kind::Block, 0}, {"cite", Kind::Italic, 0}, {"dd", Kind::DefinitionData, 0},
    {"del", Kind::Strike, 0}, {"details", Kind::Block, 0}, {"dfn", Kind::Italic, 0}, {"dir", Kind::List, 0},
    {"div", Kind::Block, 0}, {"dl", Kind::DefinitionList, 0}, {"dt", Kind::DefinitionTerm, 0},
    {"em", Kind::Italic, 0}, {"fieldset", Kind::Block, 0}, {"figcaption", Kind::Block, 0},
    {"figure", Kind::SpacedBlock, 0}, {"footer", Kind::Block, 0}, {"form", Kind::Block, 0},
    {"h1", Kind::Heading, 1}, {"h2", Kind::Heading, 2}, {"h3", Kind::Heading, 3}, {"h4", Kind::Heading, 4},
    {"h5", Kind::Heading, 5}, {"h6", Kind::Heading, 6}, {"header", Kind::Block, 0},
    {"hgroup", Kind::Block, 0}, {"hr", Kind::SpacedBlock, 0}, {"i", Kind::Italic, 0},
    {"iframe", Kind::RawDropped, 0}, {"img", Kind::Image, 0}, {"ins", Kind::Underline, 0},
    {"legend", Kind::Block, 0}, {"li", Kind::ListItem, 0}, {"listing", Kind::Pre, 0},
    {"main", Kind::Block, 0}, {"menu", Kind::List, 0}, {"nav", Kind::Block, 0},
    {"noembed", Kind::RawDropped, 0}, {"noframes", Kind::RawDropped, 0}, {"object", Kind::Dropped, 0},
    {"ol", Kind::List, 1}, {"p", Kind::SpacedBlock, 0}, {"plaintext", Kind::Plaintext, 0},
    {"pre", Kind::Pre, 0}, {"s", Kind::Strike, 0}, {"script", Kind::RawDropped, 0},
    {"section", Kind::Block, 0}, {"strike", Kind::Strike, 0}, {"strong", Kind::Bold, 0},
    {"style", Kind::RawDropped, 0}, {"summary", Kind::Block, 0}, {"table", Kind::TablePart, 0},
    {"td", Kind::Cell, 0}, {"template", Kind::Dropped, 0}, {"textarea", Kind::RawDropped, 0},
    {"th", Kind::Cell, 1}, {"title", Kind::RawDropped, 0}, {"tr", Kind::TablePart, 0},
    {"u", Kind::Underline, 0}, {"ul", Kind::List, 0}, {"var", Kind::Italic, 0}, {"xmp", Kind::RawShown, 0},
};
// clang-format on
static_assert(sortedByName(kTags), "lookups search kTags by halves");
constexpr std::size_t kLongestTagName = 10; // "blockquote", "figcaption"

const TagInfo *findTag(std::string_view name) {
    const TagInfo *end = std::end(kTags);
    const TagInfo *it = std::lower_bound(std::begin(kTags), end, name,
                                         [](const TagInfo &t, std::string_view k) { return t.name < k; });
    return it != end && it->name == name ? it : nullptr;
}

// The attributes the conversion uses, as ranges of the input (first occurrence wins).
struct AttributeRange {
    bool present = false;
    std::size_t begin = 0;
    std::size_t end = 0;
};
enum Attribute { kHref, kAlt, kStart, kValue, kAttributeCount };
constexpr std::string_view kAttributeNames[kAttributeCount] = {"href", "alt", "start", "value"};

struct Tag {
    const TagInfo *info = nullptr; // null for elements without an effect
    bool isEnd = false;
    std::string_view name; // lower case; empty when longer than any known name
    AttributeRange attributes[kAttributeCount];
};

struct ListLevel {
    bool ordered = false;
    long next = 1;
};

void enter(std::uint32_t &counter) {
    if (counter < kMaxNesting)
        ++counter;
}
void leave(std::uint32_t &counter) {
    if (counter > 0)
        --counter;
}

// Reads an optional sign and leading digits as browsers read start= and value=.
bool parseInteger(std::u16string_view text, long &value) {
    std::size_t p = 0;
    while (p < text.size() && isHtmlSpace(text[p]))
        ++p;
    const bool negative = p < text.size() && text[p] == '-';
    if (p < text.size() && (text[p] == '-' || text[p] == '+'))
        ++p;
    if (p >= text.size() || !isAsciiDigit(text[p]))
        return false;
    long magnitude = 0;
    for (; p < text.size() && isAsciiDigit(text[p]); ++p)
        magnitude = std::min(magnitude * 10 + (text[p] - '0'), kMaxListNumber);
    value = negative ? -magnitude : magnitude;
    return true;
}

// The address of a link as a browser would take it from href: tabs and line feeds removed, then
// leading and trailing spaces and controls; spaces and '"' percent-encoded so that no address
// can split a command line.
std::u16string linkAddress(std::u16string_view href) {
    std::u16string address;
    for (char16_t c : href) {
        if (c == '\t' || c == '\n' || c == '\r')
            continue;
        address += c;
    }
    std::size_t first = 0;
    std::size_t last = address.size();
    while (first < last && address[first] <= 0x20)
        ++first;
    while (last > first && address[last - 1] <= 0x20)
        --last;
    std::u16string encoded;
    for (std::size_t i = first; i < last; ++i) {
        if (address[i] == ' ')
            encoded += u"%20";
        else if (address[i] == '"')
            encoded += u"%22";
        else
            encoded += address[i];
    }
    return encoded;
}

// ---------------------------------------------------------------------------------------------
// Parser

class Parser {
  public:
    Parser(std::u16string_view html, Output &out);
    void run();

  private:
    void markup();
    bool readTag(Tag &tag, char (&nameBuffer)[kLongestTagName + 1]);
    void skipPast(std::u16string_view terminator);
    std::size_t findEndTag(std::string_view name) const;
    void text();
    void reference();
    std::u16string attributeValue(const AttributeRange &range) const;
    void startTag(const Tag &tag);
    void endTag(const Tag &tag);
    void rawText(std::size_t end, bool shown);
    void listItem(const Tag &tag);
    void sync();

    std::u16string m_src;
    std::size_t m_pos = 0;
    Output &m_out;

    std::uint32_t m_bold = 0, m_italic = 0, m_underline = 0, m_strike = 0;
    std::uint32_t m_pre = 0, m_dropped = 0, m_quote = 0, m_lists = 0;
    int m_heading = 0;
    bool m_cellHeader = false;
    bool m_cellInRow = false;
    bool m_inDefinition = false;
    std::array<ListLevel, kListLevels> m_listLevels{};
};

// Keeps a copy of the input with NULs dropped, unpaired surrogates replaced and CR LF and CR
// turned into LF, so that the rest reads well-formed UTF-16 with one kind of line end.
Parser::Parser(std::u16string_view html, Output &out) : m_out(out) {
    m_src.reserve(html.size());
    for (std::size_t i = 0; i < html.size(); ++i) {
        const char16_t c = html[i];
        if (c == 0)
            continue;
        if (c == '\r') {
            m_src += u'\n';
            if (i + 1 < html.size() && html[i + 1] == '\n')
                ++i;
        } else if (isHighSurrogate(c) && i + 1 < html.size() && isLowSurrogate(html[i + 1])) {
            m_src += c;
            m_src += html[++i];
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            m_src += u'\xFFFD';
        } else {
            m_src += c;
        }
    }
    sync();
}

void Parser::run() {
    while (m_pos < m_src.size() && !m_out.full()) {
        const char16_t c = m_src[m_pos];
        if (c == '<')
            markup();
        else if (c == '&')
            reference();
        else
            text();
    }
}

void Parser::text() {
    char32_t c = m_src[m_pos++];
    if (isHighSurrogate(c)) // always followed by its low half, see the constructor
        c = 0x10000 + ((c - 0xD800) << 10) + (m_src[m_pos++] - 0xDC00);
    if (m_dropped == 0)
        m_out.character(c, m_pre > 0);
}

void Parser::reference() {
    char32_t c = 0;
    const std::size_t length = readReference(m_src, m_pos, false, c);
    if (length == 0) {
        c = '&';
        ++m_pos;
    } else {
        m_pos += length;
    }
    if (m_dropped == 0)
        m_out.character(c, m_pre > 0);
}

std::u16string Parser::attributeValue(const AttributeRange &range) const {
    const std::u16string_view value = std::u16string_view(m_src).substr(range.begin, range.end - range.begin);
    std::u16string decoded;
    for (std::size_t p = 0; p < value.size();) {
        char32_t c = 0;
        const std::size_t length = value[p] == '&' ? readReference(value, p, true, c) : 0;
        if (length > 0) {
            appendCodePoint(decoded, c);
            p += length;
        } else {
            decoded += value[p++];
        }
    }
    return decoded;
}

void Parser::skipPast(std::u16string_view terminator) {
    const std::size_t found = m_src.find(terminator, m_pos);
    m_pos = found == std::u16string::npos ? m_src.size() : found + terminator.size();
}

// At a "<": a tag, a comment or declaration, or a plain "<".
void Parser::markup() {
    const std::u16string_view rest = std::u16string_view(m_src).substr(m_pos);
    const char16_t next = rest.size() > 1 ? rest[1] : 0;
    if (isAsciiAlpha(next) || (next == '/' && rest.size() > 2 && isAsciiAlpha(rest[2]))) {
        char nameBuffer[kLongestTagName + 1];
        Tag tag;
        if (!readTag(tag, nameBuffer))
            return; // cut off by the end of the input: dropped
        if (tag.isEnd)
            endTag(tag);
        else
            startTag(tag);
        return;
    }
    if (next == '/' && rest.size() > 2) {
        m_pos += 2;
        skipPast(u">"); // "</>" and "</ ...>": ignored
    } else if (rest.substr(0, 4) == u"<!--") {
        m_pos += 4;
        if (rest.substr(4, 1) == u">" || rest.substr(4, 2) == u"->")
            m_pos += rest.substr(4, 1) == u">" ? 1 : 2; // "<!-->" and "<!--->" are whole comments
        else
            skipPast(u"-->");
    } else if (rest.substr(0, 9) == u"<![CDATA[") {
        m_pos += 9;
        skipPast(u"]]>");
    } else if (next == '!' || next == '?') {
        m_pos += 2;
        skipPast(u">");
    } else {
        ++m_pos;
        if (m_dropped == 0)
            m_out.character('<', m_pre > 0);
    }
}

// Reads a start or end tag from m_pos. False when the input ends inside it (m_pos at the end).
bool Parser::readTag(Tag &tag, char (&nameBuffer)[kLongestTagName + 1]) {
    const std::size_t size = m_src.size();
    std::size_t p = m_pos + 1;
    tag.isEnd = m_src[p] == '/';
    if (tag.isEnd)
        ++p;
    const std::size_t nameStart = p;
    while (p < size && !isHtmlSpace(m_src[p]) && m_src[p] != '/' && m_src[p] != '>')
        ++p;
    if (p - nameStart <= kLongestTagName) {
        for (std::size_t i = nameStart; i < p; ++i)
            nameBuffer[i - nameStart] = lowerAscii(m_src[i]);
        tag.name = std::string_view(nameBuffer, p - nameStart);
        tag.info = findTag(tag.name);
    }
    for (;;) {
        while (p < size && (isHtmlSpace(m_src[p]) || m_src[p] == '/'))
            ++p;
        if (p >= size) {
            m_pos = size;
            return false;
        }
        if (m_src[p] == '>')
            break;
        const std::size_t attrStart = p++; // a first "=" belongs to the name
        while (p < size && !isHtmlSpace(m_src[p]) && m_src[p] != '/' && m_src[p] != '>' && m_src[p] != '=')
            ++p;
        int which = -1;
        for (int i = 0; i < kAttributeCount; ++i) {
            const std::string_view wanted = kAttributeNames[i];
            if (p - attrStart != wanted.size())
                continue;
            bool same = true;
            for (std::size_t k = 0; k < wanted.size() && same; ++k)
                same = lowerAscii(m_src[attrStart + k]) == wanted[k];
            if (same)
                which = i;
        }
        while (p < size && isHtmlSpace(m_src[p]))
            ++p;
        AttributeRange value;
        value.present = true;
        value.begin = value.end = p;
        if (p < size && m_src[p] == '=') {
            ++p;
            while (p < size && isHtmlSpace(m_src[p]))
                ++p;
            if (p < size && (m_src[p] == '"' || m_src[p] == '\'')) {
                const std::size_t close = m_src.find(m_src[p], p + 1);
                if (close == std::u16string::npos) {
                    m_pos = size;
                    return false;
                }
                value.begin = p + 1;
                value.end = close;
                p = close + 1;
            } else {
                value.begin = p;
                while (p < size && !isHtmlSpace(m_src[p]) && m_src[p] != '>')
                    ++p;
                value.end = p;
            }
        }
        if (which >= 0 && !tag.attributes[which].present)
            tag.attributes[which] = value;
    }
    m_pos = p + 1;
    return true;
}

// Where the end tag of a raw-text element starts ("</name" followed by space, "/" or ">"), or
// the end of the input.
std::size_t Parser::findEndTag(std::string_view name) const {
    const std::size_t size = m_src.size();
    for (std::size_t p = m_src.find(u"</", m_pos); p != std::u16string::npos; p = m_src.find(u"</", p + 2)) {
        const std::size_t after = p + 2 + name.size();
        if (after >= size)
            break;
        bool same = true;
        for (std::size_t k = 0; k < name.size() && same; ++k)
            same = lowerAscii(m_src[p + 2 + k]) == name[k];
        if (same && (isHtmlSpace(m_src[after]) || m_src[after] == '/' || m_src[after] == '>'))
            return p;
    }
    return size;
}

void Parser::rawText(std::size_t end, bool shown) {
    if (shown) {
        while (m_pos < end && !m_out.full())
            text();
    }
    m_pos = end;
}

void Parser::startTag(const Tag &tag) {
    if (!tag.info)
        return;
    const Kind kind = tag.info->kind;
    if (kind == Kind::RawDropped || kind == Kind::RawShown) {
        const bool shown = kind == Kind::RawShown && m_dropped == 0;
        if (shown) {
            m_out.paragraphBreak(2);
            enter(m_pre);
            sync();
        }
        rawText(findEndTag(tag.name), shown);
        return;
    }
    if (m_dropped > 0) {
        if (kind == Kind::Dropped)
            enter(m_dropped);
        return;
    }
    switch (kind) {
    case Kind::Anchor: {
        const AttributeRange &href = tag.attributes[kHref];
        std::u16string address = href.present ? linkAddress(attributeValue(href)) : std::u16string();
        const bool openable = isOpenableAddress(address);
        m_out.openLink(std::move(address), openable);
        break;
    }
    case Kind::Bold:
        enter(m_bold);
        break;
    case Kind::Italic:
        enter(m_italic);
        break;
    case Kind::Underline:
        enter(m_underline);
        break;
    case Kind::Strike:
        enter(m_strike);
        break;
    case Kind::Break:
        m_out.lineBreak();
        break;
    case Kind::Image:
        if (tag.attributes[kAlt].present) {
            const std::u16string alt = attributeValue(tag.attributes[kAlt]);
            for (std::size_t i = 0; i < alt.size(); ++i) {
                char32_t c = alt[i];
                if (isHighSurrogate(c) && i + 1 < alt.size() && isLowSurrogate(alt[i + 1]))
                    c = 0x10000 + ((c - 0xD800) << 10) + (alt[++i] - 0xDC00);
                m_out.character(c, m_pre > 0);
            }
        }
        break;
    case Kind::Block:
        m_out.paragraphBreak(1);
        break;
    case Kind::SpacedBlock:
        m_out.paragraphBreak(2);
        break;
    case Kind::Address:
        m_out.paragraphBreak(1);
        enter(m_italic);
        break;
    case Kind::Heading:
        m_out.paragraphBreak(2);
        m_heading = tag.info->arg; // an open heading ends here
        break;
    case Kind::ListItem:
        listItem(tag);
        break;
    case Kind::List: {
        m_out.paragraphBreak(m_lists > 0 ? 1 : 2);
        if (m_lists < kListLevels) {
            ListLevel &level = m_listLevels[m_lists];
            level.ordered = tag.info->arg == 1;
            level.next = 1;
            if (tag.attributes[kStart].present)
                parseInteger(attributeValue(tag.attributes[kStart]), level.next);
        }
        enter(m_lists);
        break;
    }
    case Kind::Pre:
        m_out.paragraphBreak(2);
        enter(m_pre);
        if (m_pos < m_src.size() && m_src[m_pos] == '\n')
            ++m_pos;
        break;
    case Kind::Quote:
        m_out.paragraphBreak(2);
        enter(m_quote);
        break;
    case Kind::DefinitionList:
        m_out.paragraphBreak(2);
        m_inDefinition = false;
        break;
    case Kind::DefinitionTerm:
        m_out.paragraphBreak(1);
        m_inDefinition = false;
        break;
    case Kind::DefinitionData:
        m_out.paragraphBreak(1);
        m_inDefinition = true;
        break;
    case Kind::TablePart:
        m_out.paragraphBreak(1);
        m_cellInRow = false;
        m_cellHeader = false;
        break;
    case Kind::Cell:
        if (m_cellInRow)
            m_out.cellSeparator();
        m_cellInRow = true;
        m_cellHeader = tag.info->arg == 1;
        break;
    case Kind::Dropped:
        enter(m_dropped);
        break;
    case Kind::Plaintext:
        m_out.paragraphBreak(2);
        enter(m_pre);
        sync();
        rawText(m_src.size(), true);
        break;
    case Kind::RawDropped:
    case Kind::RawShown:
        break;
    }
    sync();
}

void Parser::listItem(const Tag &tag) {
    m_out.paragraphBreak(1);
    if (m_lists == 0 || m_lists > kListLevels || !m_listLevels[m_lists - 1].ordered) {
        m_out.setMarker(u"\u2022 ");
        return;
    }
    ListLevel &level = m_listLevels[m_lists - 1];
    if (tag.attributes[kValue].present)
        parseInteger(attributeValue(tag.attributes[kValue]), level.next);
    const std::string number = std::to_string(level.next) + ". ";
    m_out.setMarker(std::u16string(number.begin(), number.end()));
    level.next = std::min(level.next + 1, kMaxListNumber);
}

void Parser::endTag(const Tag &tag) {
    if (!tag.info)
        return;
    const Kind kind = tag.info->kind;
    if (m_dropped > 0) {
        if (kind == Kind::Dropped)
            leave(m_dropped);
        return;
    }
    switch (kind) {
    case Kind::Anchor:
        m_out.closeLink();
        break;
    case Kind::Bold:
        leave(m_bold);
        break;
    case Kind::Italic:
        leave(m_italic);
        break;
    case Kind::Underline:
        leave(m_underline);
        break;
    case Kind::Strike:
        leave(m_strike);
        break;
    case Kind::Break: // browsers read </br> as <br>
        m_out.lineBreak();
        break;
    case Kind::Block:
        m_out.paragraphBreak(1);
        break;
    case Kind::SpacedBlock:
        m_out.paragraphBreak(2);
        break;
    case Kind::Address:
        m_out.paragraphBreak(1);
        leave(m_italic);
        break;
    case Kind::Heading:
        m_out.paragraphBreak(2);
        m_heading = 0;
        break;
    case Kind::ListItem:
        m_out.paragraphBreak(1);
        m_out.setMarker(std::u16string());
        break;
    case Kind::List:
        m_out.paragraphBreak(m_lists > 1 ? 1 : 2);
        m_out.setMarker(std::u16string());
        leave(m_lists);
        break;
    case Kind::Pre:
    case Kind::RawShown:
        m_out.paragraphBreak(2);
        leave(m_pre);
        break;
    case Kind::Quote:
        m_out.paragraphBreak(2);
        leave(m_quote);
        break;
    case Kind::DefinitionList:
        m_out.paragraphBreak(2);
        m_inDefinition = false;
        break;
    case Kind::DefinitionTerm:
        m_out.paragraphBreak(1);
        break;
    case Kind::DefinitionData:
        m_out.paragraphBreak(1);
        m_inDefinition = false;
        break;
    case Kind::TablePart:
        m_out.paragraphBreak(1);
        m_cellInRow = false;
        m_cellHeader = false;
        break;
    case Kind::Cell:
        m_cellHeader = false;
        break;
    case Kind::Image:
    case Kind::Dropped:
    case Kind::RawDropped:
    case Kind::Plaintext:
        break;
    }
    sync();
}

// Hands the open-element counters to the output as formatting and indentation.
void Parser::sync() {
    CharFormat f;
    f.bold = m_bold > 0 || m_cellHeader || m_heading > 0;
    f.italic = m_italic > 0;
    f.underline = m_underline > 0;
    f.strike = m_strike > 0;
    f.heading = m_heading;
    const std::uint32_t steps = m_lists + m_quote + (m_inDefinition ? 1u : 0u);
    m_out.setFormat(f, static_cast<int>(std::min<std::uint32_t>(steps, kMaxIndentSteps)));
}

// Characters an address may not contain anywhere: controls, spaces and invisible formatting
// characters could hide what it really is or split the command line it is passed on.
bool isForbiddenInAddress(char16_t c) {
    return c <= 0x20 || c == '"' || (c >= 0x7F && c <= 0xA0) || c == 0x00AD || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) ||
           c == 0x3000 || c == 0xFEFF;
}

bool startsWithNoCase(std::u16string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lowerAscii(text[i]) != prefix[i])
            return false;
    return true;
}

} // namespace

RichText convertHtml(std::u16string_view html, const TextStyle &style) {
    Output out(style);
    Parser parser(html, out);
    parser.run();
    return out.finish();
}

namespace {

bool isWebAddress(std::u16string_view address, bool mailto) {
    if (address.empty() || address.size() > kMaxAddressLength)
        return false;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const char16_t c = address[i];
        if (isForbiddenInAddress(c))
            return false;
        if (isHighSurrogate(c) && i + 1 < address.size() && isLowSurrogate(address[i + 1]))
            ++i;
        else if (isHighSurrogate(c) || isLowSurrogate(c))
            return false;
    }
    if (mailto && startsWithNoCase(address, "mailto:"))
        return address.size() > 7;
    std::size_t rest = 0;
    if (startsWithNoCase(address, "http://"))
        rest = 7;
    else if (startsWithNoCase(address, "https://"))
        rest = 8;
    else
        return false;
    // A host must follow the "//".
    return address.size() > rest && address[rest] != '/' && address[rest] != '\\' && address[rest] != '?' &&
           address[rest] != '#';
}

} // namespace

bool isOpenableAddress(std::u16string_view address) {
    return isWebAddress(address, true);
}

bool isInPlaceAddress(std::u16string_view address) {
    return isWebAddress(address, false) || address == u"about:blank";
}

} // namespace htmltext
