// Decoding PNG pictures into packed DIBs: layouts per colour type and depth, transparency,
// strides, and the result codes for files that are not PNGs or are damaged.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "tarnbeam/feed/portable/png_dib.h"
#include "tests/tarnbeam/png/png_writer.h"

using testpng::Bytes;
using testpng::Picture;

namespace {

struct Decoded {
    int result = -1;
    Bytes block;
    DibHeaderFields header{};

    std::size_t tableOffset() const { return kDibHeaderSize; }
    std::size_t pixelOffset() const {
        std::size_t off = 0;
        EXPECT_TRUE(dibPixelOffset(block.data(), block.size(), &off));
        return off;
    }
    std::size_t stride() const {
        return static_cast<std::size_t>(dibStride(static_cast<std::uint32_t>(header.width), header.bitCount));
    }
    // Row y counted from the top of the picture.
    const unsigned char *row(int y) const {
        return block.data() + pixelOffset() + stride() * static_cast<std::size_t>(header.height - 1 - y);
    }
    // Colour-table entry i as blue, green, red, reserved.
    Bytes tableEntry(int i) const {
        const unsigned char *p = block.data() + kDibHeaderSize + 4 * i;
        return Bytes(p, p + 4);
    }
    Bytes pixel32(int x, int y) const { return Bytes(row(y) + 4 * x, row(y) + 4 * x + 4); }
};

// Writes the bytes to a temporary file and decodes it from the start.
Decoded decodeBytes(const Bytes &bytes, const PngDibMemory &memory = defaultPngDibMemory()) {
    Decoded d;
    std::FILE *f = std::tmpfile();
    if (!f) {
        ADD_FAILURE() << "no temporary file";
        return d;
    }
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    void *block = nullptr;
    std::size_t size = 0;
    d.result = decodePngToDib(f, memory, &block, &size);
    std::fclose(f);
    if (d.result == kPngDibOk) {
        d.block.assign(static_cast<unsigned char *>(block), static_cast<unsigned char *>(block) + size);
        memory.freeDib(block, memory.context);
        d.header = readDibHeader(d.block.data());
    } else {
        EXPECT_EQ(block, nullptr) << "a block was handed out on failure";
    }
    return d;
}

Decoded decode(const Picture &p) {
    Bytes png = testpng::encode(p);
    EXPECT_FALSE(png.empty()) << "test picture could not be encoded";
    return decodeBytes(png);
}

Picture rgba8(std::uint32_t w, std::uint32_t h) {
    Picture p;
    p.width = w;
    p.height = h;
    p.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    for (std::uint32_t y = 0; y < h; ++y) {
        Bytes r;
        for (std::uint32_t x = 0; x < w; ++x)
            r.insert(r.end(),
                     {static_cast<unsigned char>(10 * x + 1), static_cast<unsigned char>(20 * y + 2),
                      static_cast<unsigned char>(30 + x + y), static_cast<unsigned char>(40 * x + 7 * y)});
        p.rows.push_back(r);
    }
    return p;
}

std::vector<png_color> threeColours() {
    return {{255, 0, 0}, {0, 128, 0}, {1, 2, 250}};
}

Picture palettePicture(int depth, std::uint32_t w, std::uint32_t h, const std::vector<unsigned> &indices) {
    Picture p;
    p.width = w;
    p.height = h;
    p.colorType = PNG_COLOR_TYPE_PALETTE;
    p.bitDepth = depth;
    p.palette = threeColours();
    for (std::uint32_t y = 0; y < h; ++y) {
        Bytes r((w * depth + 7) / 8, 0);
        for (std::uint32_t x = 0; x < w; ++x) {
            unsigned v = indices[(y * w + x) % indices.size()];
            std::size_t bit = static_cast<std::size_t>(x) * depth;
            r[bit / 8] |= static_cast<unsigned char>(v << (8 - depth - bit % 8));
        }
        p.rows.push_back(r);
    }
    return p;
}

Picture greyPicture(int depth, std::uint32_t w, std::uint32_t h, const std::vector<unsigned> &values) {
    Picture p = palettePicture(depth, w, h, values);
    p.colorType = PNG_COLOR_TYPE_GRAY;
    p.palette.clear();
    return p;
}

// Sample x of a DIB row with the given bit count.
unsigned sampleAt(const unsigned char *row, int bits, int x) {
    std::size_t bit = static_cast<std::size_t>(x) * bits;
    return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}

} // namespace

// ---- Layouts that keep a colour table --------------------------------------------------------

struct IndexedCase {
    const char *name;
    bool palette;
    int pngDepth;
    int dibBits;
    std::uint32_t colorsUsed;
};

class IndexedLayout : public ::testing::TestWithParam<IndexedCase> {};

// Palette and grey pictures without transparency keep their samples and get the table of the
// colour-type rules; 2-bit pictures are unpacked to one byte per pixel.
TEST_P(IndexedLayout, KeepsSamplesAndTable) {
    const IndexedCase &c = GetParam();
    const std::uint32_t w = 7, h = 3;
    std::vector<unsigned> values;
    if (c.pngDepth == 1)
        values = {0, 1, 1, 0, 1, 0, 0};
    else if (c.palette)
        values = {0, 1, 2, 1, 0, 2, 2};
    else if (c.pngDepth == 2)
        values = {0, 3, 2, 1, 3, 0, 2};
    else if (c.pngDepth == 4)
        values = {0, 3, 9, 15, 1, 14, 7};
    else
        values = {0, 3, 90, 255, 17, 128, 254};
    Picture p = c.palette ? palettePicture(c.pngDepth, w, h, values) : greyPicture(c.pngDepth, w, h, values);
    if (c.palette && c.pngDepth == 1)
        p.palette.resize(2); // a 1-bit palette holds at most two entries
    Decoded d = decode(p);
    ASSERT_EQ(d.result, kPngDibOk);
    EXPECT_EQ(d.header.size, 40u);
    EXPECT_EQ(d.header.width, 7);
    EXPECT_EQ(d.header.height, 3);
    EXPECT_EQ(d.header.planes, 1);
    EXPECT_EQ(d.header.bitCount, c.dibBits);
    EXPECT_EQ(d.header.compression, 0u);
    EXPECT_EQ(d.header.sizeImage, 0u);
    EXPECT_EQ(d.header.xPelsPerMeter, 0);
    EXPECT_EQ(d.header.yPelsPerMeter, 0);
    EXPECT_EQ(d.header.colorsImportant, 0u);
    std::uint32_t expectedUsed = c.palette ? static_cast<std::uint32_t>(p.palette.size()) : c.colorsUsed;
    EXPECT_EQ(d.header.colorsUsed, expectedUsed);
    EXPECT_EQ(d.block.size(), 40 + 4 * expectedUsed + d.stride() * h);

    if (c.palette) {
        for (std::size_t i = 0; i < p.palette.size(); ++i)
            EXPECT_EQ(d.tableEntry(static_cast<int>(i)),
                      (Bytes{p.palette[i].blue, p.palette[i].green, p.palette[i].red, 255}))
                << "entry " << i;
    } else {
        for (std::uint32_t i = 0; i < c.colorsUsed; ++i) {
            unsigned char v = static_cast<unsigned char>(i * 255 / (c.colorsUsed - 1));
            EXPECT_EQ(d.tableEntry(static_cast<int>(i)), (Bytes{v, v, v, 255})) << "entry " << i;
        }
    }
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            EXPECT_EQ(sampleAt(d.row(static_cast<int>(y)), c.dibBits, static_cast<int>(x)),
                      values[(y * w + x) % values.size()])
                << "pixel " << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(
    ColourTypes, IndexedLayout,
    ::testing::Values(IndexedCase{"palette1", true, 1, 1, 0}, IndexedCase{"palette2", true, 2, 8, 0},
                      IndexedCase{"palette4", true, 4, 4, 0}, IndexedCase{"palette8", true, 8, 8, 0},
                      IndexedCase{"grey1", false, 1, 1, 2}, IndexedCase{"grey2", false, 2, 8, 256},
                      IndexedCase{"grey4", false, 4, 4, 16}, IndexedCase{"grey8", false, 8, 8, 256}),
    [](const ::testing::TestParamInfo<IndexedCase> &i) { return std::string(i.param.name); });

// The 2-bit grey picture looks almost black: samples 0-3 index a 256-level grey table.
TEST(PngDib, TwoBitGreyKeepsSmallValuesOverFullGreyTable) {
    Decoded d = decode(greyPicture(2, 4, 1, {0, 1, 2, 3}));
    ASSERT_EQ(d.result, kPngDibOk);
    EXPECT_EQ(d.header.bitCount, 8);
    EXPECT_EQ(d.header.colorsUsed, 256u);
    EXPECT_EQ(Bytes(d.row(0), d.row(0) + 4), (Bytes{0, 1, 2, 3}));
    EXPECT_EQ(d.tableEntry(3), (Bytes{3, 3, 3, 255}));
    EXPECT_EQ(d.tableEntry(255), (Bytes{255, 255, 255, 255}));
}

// ---- 24- and 32-bit layouts -----------------------------------------------------------------

TEST(PngDib, Rgba8IsBottomUpBgraWithAlphaUnchanged) {
    Picture p = rgba8(3, 2);
    Decoded d = decode(p);
    ASSERT_EQ(d.result, kPngDibOk);
    EXPECT_EQ(d.header.bitCount, 32);
    EXPECT_EQ(d.header.colorsUsed, 0u);
    EXPECT_EQ(d.block.size(), 40u + 12 * 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            const unsigned char *s = p.rows[y].data() + 4 * x;
            EXPECT_EQ(d.pixel32(x, y), (Bytes{s[2], s[1], s[0], s[3]})) << x << "," << y;
        }
    // The first stored row is the bottom one.
    EXPECT_EQ(d.block[40 + 3], p.rows[1][3]);
}

TEST(PngDib, Rgb16IsStrippedTo24Bit) {
    Picture p;
    p.width = 2;
    p.height = 2;
    p.bitDepth = 16;
    p.rows = {{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xFF, 0xFF, 0x00, 0x01, 0x80, 0x00},
              {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    Decoded d = decode(p);
    ASSERT_EQ(d.result, kPngDibOk);
    EXPECT_EQ(d.header.bitCount, 24);
    EXPECT_EQ(d.header.colorsUsed, 0u);
    EXPECT_EQ(d.stride(), 8u);
    EXPECT_EQ(Bytes(d.row(0), d.row(0) + 6), (Bytes{0x9A, 0x56, 0x12, 0x80, 0x00, 0xFF}));
    EXPECT_EQ(Bytes(d.row(1), d.row(1) + 6), (Bytes{0x03, 0x02, 0x01, 0xEE, 0xCC, 0xAA}));
}

TEST(PngDib, Grey16IsStrippedTo8BitWithGreyTable) {
    Picture p;
    p.width = 3;
    p.height = 1;
    p.colorType = PNG_COLOR_TYPE_GRAY;
    p.bitDepth = 16;
    p.rows = {{0x00, 0xFF, 0x7F, 0x01, 0xFF, 0x00}};
    Decoded d = decode(p);
    ASSERT_EQ(d.result, kPngDibOk);
    EXPECT_EQ(d.header.bitCount, 8);
    EXPECT_EQ(d.header.colorsUsed, 256u);
    EXPECT_EQ(Bytes(d.row(0), d.row(0) + 4), (Bytes{0x00, 0x7F, 0xFF, 0}));
}

TEST(PngDib, InterlacedPictureDecodesLikePlainOne) {
    Picture plain = rgba8(11, 9);
    Picture interlaced = plain;
    interlaced.interlaced = true;
    Decoded a = decode(plain), b = decode(interlaced);
    ASSERT_EQ(a.result, kPngDibOk);
    ASSERT_EQ(b.result, kPngDibOk);
    EXPECT_EQ(a.block, b.block);
}

TEST(PngDib, GreyWithAlphaTakesGreyLevelAndAlphaSample) {
    for (int depth : {8, 16}) {
        Picture p;
        p.width = 2;
        p.height = 1;
        p.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
        p.bitDepth = depth;
        p.rows = depth == 8 ? std::vector<Bytes>{{200, 10, 7, 255}}
                            : std::vector<Bytes>{{200, 1, 10, 2, 7, 3, 255, 4}};
        Decoded d = decode(p);
        ASSERT_EQ(d.result, kPngDibOk) << depth;
        EXPECT_EQ(d.header.bitCount, 32);
        EXPECT_EQ(d.header.colorsUsed, 0u);
        EXPECT_EQ(d.pixel32(0, 0), (Bytes{200, 200, 200, 10})) << depth;
        EXPECT_EQ(d.pixel32(1, 0), (Bytes{7, 7, 7, 255})) << depth;
    }
}

// ---- Transparency chunk ---------------------------------------------------------------------

// Palette pictures with tRNS become 32-bit; alpha comes from the chunk for the entries it names
// and is 255 for the rest, at every depth.
TEST(PngDib, PaletteTransparencyGivesAlphaZeroExactlyAtTransparentEntries) {
    for (int depth : {1, 2, 4, 8}) {
        std::vector<unsigned> idx =
            depth == 1 ? std::vector<unsigned>{0, 1, 1, 0} : std::vector<unsigned>{0, 1, 2, 1};
        Picture p = palettePicture(depth, 4, 2, idx);
        if (depth == 1)
            p.palette.resize(2);
        p.trnsAlpha = {0, 128};
        Decoded d = decode(p);
        ASSERT_EQ(d.result, kPngDibOk) << depth;
        EXPECT_EQ(d.header.bitCount, 32) << depth;
        EXPECT_EQ(d.header.colorsUsed, 0u) << depth;
        EXPECT_EQ(d.block.size(), 40u + 16 * 2) << depth;
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x) {
                unsigned i = idx[x];
                const png_color &c = p.palette[i];
                unsigned char a = i == 0 ? 0 : i == 1 ? 128 : 255;
                EXPECT_EQ(d.pixel32(x, y), (Bytes{c.blue, c.green, c.red, a})) << depth << ":" << x;
            }
    }
}

TEST(PngDib, RgbTransparentColourGivesAlphaZeroOnlyOnExactMatch) {
    Picture p;
    p.width = 4;
    p.height = 1;
    p.hasTrnsColor = true;
    p.trnsColor.red = 10;
    p.trnsColor.green = 20;
    p.trnsColor.blue = 30;
    p.rows = {{10, 20, 30, 10, 20, 31, 11, 20, 30, 10, 20, 30}};
    Decoded d = decode(p);
    ASSERT_EQ(d.result, kPngDibOk);
    EXPECT_EQ(d.header.bitCount, 32);
    EXPECT_EQ(d.pixel32(0, 0), (Bytes{30, 20, 10, 0}));
    EXPECT_EQ(d.pixel32(1, 0), (Bytes{31, 20, 10, 255}));
    EXPECT_EQ(d.pixel32(2, 0), (Bytes{30, 20, 11, 255}));
    EXPECT_EQ(d.pixel32(3, 0), (Bytes{30, 20, 10, 0}));
}

TEST(PngDib, GreyTransparentLevelGetsAlphaZero) {
    Picture p = greyPicture(4, 3, 1, {5, 6, 15});
    p.hasTrnsColor = true;
    p.trnsColor.gray = 6;
    Decoded d = decode(p);
    ASSERT_EQ(d.result, kPngDibOk);
    EXPECT_EQ(d.header.bitCount, 32);
    EXPECT_EQ(d.pixel32(0, 0), (Bytes{0x55, 0x55, 0x55, 255}));
    EXPECT_EQ(d.pixel32(1, 0), (Bytes{0x66, 0x66, 0x66, 0}));
    EXPECT_EQ(d.pixel32(2, 0), (Bytes{0xFF, 0xFF, 0xFF, 255}));
}

// ---- Strides --------------------------------------------------------------------------------

// Width 1 pads every row to 4 bytes whatever the bit count.
TEST(PngDib, WidthOneRowsAreFourBytes) {
    struct Case {
        Picture picture;
        int bits;
    };
    Picture grey8 = greyPicture(8, 1, 3, {9, 8, 7});
    Picture grey1 = greyPicture(1, 1, 3, {1, 0, 1});
    Picture grey4 = greyPicture(4, 1, 3, {1, 2, 3});
    Picture rgb;
    rgb.width = 1;
    rgb.height = 3;
    rgb.rows = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    Picture rgba = rgba8(1, 3);
    for (const Case &c : {Case{grey8, 8}, Case{grey1, 1}, Case{grey4, 4}, Case{rgb, 24}, Case{rgba, 32}}) {
        Decoded d = decode(c.picture);
        ASSERT_EQ(d.result, kPngDibOk) << c.bits;
        EXPECT_EQ(d.header.bitCount, c.bits);
        EXPECT_EQ(d.stride(), 4u) << c.bits;
        EXPECT_EQ(d.block.size(), 40 + 4 * d.header.colorsUsed + 12) << c.bits;
    }
    Decoded d = decode(rgb);
    EXPECT_EQ(Bytes(d.row(2), d.row(2) + 4), (Bytes{9, 8, 7, 0}));
}

// ---- Result codes ---------------------------------------------------------------------------

struct FailureCase {
    const char *name;
    Bytes bytes;
    int expected;
};

Bytes text(const char *s) {
    return Bytes(s, s + std::strlen(s));
}

Bytes truncated(std::size_t keep) {
    Bytes png = testpng::encode(rgba8(32, 16));
    png.resize(keep < png.size() ? keep : png.size());
    return png;
}

Bytes badCrc() {
    Bytes png = testpng::encode(rgba8(4, 4));
    png[29] ^= 0xFF; // last byte of the IHDR CRC
    return png;
}

Bytes unsupportedDepth() {
    // Grey at depth 16 is fine, but 16-bit palette pictures do not exist: libpng rejects them.
    return testpng::headerOnly(4, 4, 16, PNG_COLOR_TYPE_PALETTE);
}

class ResultCodes : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ResultCodes, ReportsTheFailure) {
    Decoded d = decodeBytes(GetParam().bytes);
    EXPECT_EQ(d.result, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ResultCodes,
    ::testing::Values(
        FailureCase{"gif", text("GIF89a\x01\x00\x01\x00\x80\x00\x00"), kPngDibNotPng},
        FailureCase{"html", text("<html><body>404 Not Found</body></html>"), kPngDibNotPng},
        FailureCase{"empty", {}, kPngDibNotPng},
        FailureCase{"signatureOnlyPart", Bytes{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A}, kPngDibNotPng},
        FailureCase{"signatureOnly", testpng::signature(), kPngDibDecodeError},
        FailureCase{"truncatedHeader", truncated(20), kPngDibDecodeError},
        FailureCase{"truncatedData", truncated(60), kPngDibDecodeError},
        FailureCase{"noEnd", truncated(testpng::encode(rgba8(32, 16)).size() - 12), kPngDibDecodeError},
        FailureCase{"badCrc", badCrc(), kPngDibDecodeError},
        FailureCase{"unsupportedDepth", unsupportedDepth(), kPngDibDecodeError},
        FailureCase{"hugeHeader", testpng::headerOnly(20000, 20000, 8, PNG_COLOR_TYPE_RGB_ALPHA),
                    kPngDibNoMemory},
        FailureCase{"hugeWidthOneBit", testpng::headerOnly(1000000, 1000, 1, PNG_COLOR_TYPE_GRAY),
                    kPngDibNoMemory}),
    [](const ::testing::TestParamInfo<FailureCase> &i) { return std::string(i.param.name); });

// Memory hooks that can refuse and that count what is still outstanding.
struct CountingMemory {
    bool refuseDib = false;
    bool refuseRows = false;
    int outstanding = 0;
    static CountingMemory &of(void *c) { return *static_cast<CountingMemory *>(c); }
    static void *dib(std::size_t n, void *c) {
        if (of(c).refuseDib)
            return nullptr;
        ++of(c).outstanding;
        return std::calloc(1, n);
    }
    static void *rows(std::size_t n, void *c) {
        if (of(c).refuseRows)
            return nullptr;
        ++of(c).outstanding;
        return std::malloc(n);
    }
    static void release(void *p, void *c) {
        --of(c).outstanding;
        std::free(p);
    }
    PngDibMemory hooks() { return {dib, release, rows, release, this}; }
};

TEST(PngDib, AllocationFailuresGiveTheirCodesAndReleaseEverything) {
    Bytes png = testpng::encode(rgba8(5, 5));
    CountingMemory noDib;
    noDib.refuseDib = true;
    EXPECT_EQ(decodeBytes(png, noDib.hooks()).result, kPngDibNoMemory);
    EXPECT_EQ(noDib.outstanding, 0);

    CountingMemory noRows;
    noRows.refuseRows = true;
    EXPECT_EQ(decodeBytes(png, noRows.hooks()).result, kPngDibOtherFailure);
    EXPECT_EQ(noRows.outstanding, 0);

    // A read error after the block was allocated gives the block back.
    CountingMemory lateError;
    EXPECT_EQ(decodeBytes(truncated(png.size() - 20), lateError.hooks()).result, kPngDibDecodeError);
    EXPECT_EQ(lateError.outstanding, 0);

    CountingMemory ok;
    Decoded d = decodeBytes(png, ok.hooks());
    EXPECT_EQ(d.result, kPngDibOk);
    EXPECT_EQ(ok.outstanding, 0); // rows freed by the decoder, the block by decodeBytes
}

// ---- The pixel offset the bitmap maker relies on -------------------------------------------

TEST(DibPixelOffset, FollowsColourTableRulesAndRejectsDamage) {
    Decoded pal = decode(palettePicture(8, 3, 2, {0, 1, 2}));
    ASSERT_EQ(pal.result, kPngDibOk);
    std::size_t off = 0;
    ASSERT_TRUE(dibPixelOffset(pal.block.data(), pal.block.size(), &off));
    EXPECT_EQ(off, 40u + 3 * 4);

    Bytes noUsed = pal.block; // colours used 0 at 8 bits: a table of 256 entries is implied
    noUsed[32] = 0;
    noUsed.resize(40 + 256 * 4 + 4 * 2);
    ASSERT_TRUE(dibPixelOffset(noUsed.data(), noUsed.size(), &off));
    EXPECT_EQ(off, 40u + 1024);
    EXPECT_FALSE(dibPixelOffset(noUsed.data(), noUsed.size() - 1, &off));

    Bytes bigTable = pal.block;
    bigTable[33] = 1; // 259 entries
    EXPECT_FALSE(dibPixelOffset(bigTable.data(), bigTable.size(), &off));
    Bytes badBits = pal.block;
    badBits[14] = 7;
    EXPECT_FALSE(dibPixelOffset(badBits.data(), badBits.size(), &off));
    Bytes tall = pal.block;
    tall[8] = 200;
    EXPECT_FALSE(dibPixelOffset(tall.data(), tall.size(), &off));
    EXPECT_FALSE(dibPixelOffset(pal.block.data(), 39, &off));
}
