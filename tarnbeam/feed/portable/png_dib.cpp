#include "tarnbeam/feed/portable/png_dib.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace {

const unsigned char kPngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

void *callocBytes(std::size_t bytes, void *) {
    return std::calloc(1, bytes);
}
void *mallocBytes(std::size_t bytes, void *) {
    return std::malloc(bytes);
}
void freeBytes(void *block, void *) {
    std::free(block);
}

const PngDibMemory kDefaultMemory = {callocBytes, freeBytes, mallocBytes, freeBytes, nullptr};

// libpng reports through these; nothing is logged, an error jumps back to the decoder.
void silentError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void silentWarning(png_structp, png_const_charp) {}

void putU16(unsigned char *p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void putU32(unsigned char *p, std::uint32_t v) {
    putU16(p, v & 0xFFFF);
    putU16(p + 2, v >> 16);
}

std::uint32_t getU32(const unsigned char *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t getU16(const unsigned char *p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Colour-table entry: blue, green, red, alpha.
struct TableEntry {
    unsigned char b, g, r, a;
};

// What the header chunks tell, and what the decoder derived from them.
struct Layout {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    unsigned sourceBits = 0; // bit count chosen from colour type and depth, before transparency
    unsigned dibBits = 0;    // final bit count
    unsigned tableEntries = 0;
    std::size_t rowBytes = 0; // bytes libpng delivers per row after the transformations
    bool alphaChannel = false;
    bool transparencyChunk = false;
    unsigned char transRed = 0, transGreen = 0, transBlue = 0;
    TableEntry table[256] = {};
};

// DIB bit count for a colour type and (already stripped) bit depth; 0 when unsupported.
unsigned chooseBitCount(int colorType, int depth, bool *pack) {
    *pack = false;
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
        switch (depth) {
        case 1:
            return 1;
        case 2:
            *pack = true;
            return 8;
        case 4:
            return 4;
        case 8:
            return 8;
        }
        return 0;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return depth == 8 ? 8 : 0;
    case PNG_COLOR_TYPE_RGB:
    case PNG_COLOR_TYPE_RGB_ALPHA:
        return depth == 8 ? 24 : 0;
    }
    return 0;
}

// Fills the 256-entry colour table and the transparency facts (steps 7 and 8).
void buildColourTable(png_structp png, png_infop info, Layout &l) {
    png_bytep transAlpha = nullptr;
    int numTrans = 0;
    png_color_16p transColor = nullptr;
    if (png_get_valid(png, info, PNG_INFO_tRNS) &&
        png_get_tRNS(png, info, &transAlpha, &numTrans, &transColor) && numTrans > 0) {
        l.transparencyChunk = true;
    } else {
        numTrans = 0;
    }

    if (l.colorType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp palette = nullptr;
        int numPalette = 0;
        if (!png_get_PLTE(png, info, &palette, &numPalette) || numPalette < 0)
            numPalette = 0;
        if (numPalette > 256)
            numPalette = 256;
        for (int i = 0; i < numPalette; ++i)
            l.table[i] = {palette[i].blue, palette[i].green, palette[i].red, 255};
        if (transAlpha) {
            for (int i = 0; i < numTrans && i < 256; ++i)
                l.table[i].a = transAlpha[i];
        }
        l.tableEntries = static_cast<unsigned>(numPalette);
        return;
    }

    if (transColor) {
        l.transRed = static_cast<unsigned char>(transColor->red & 0xFF);
        l.transGreen = static_cast<unsigned char>(transColor->green & 0xFF);
        l.transBlue = static_cast<unsigned char>(transColor->blue & 0xFF);
    }
    if (l.colorType == PNG_COLOR_TYPE_RGB || l.colorType == PNG_COLOR_TYPE_RGB_ALPHA)
        return; // no colour table for 24 bits

    unsigned levels = 1u << l.sourceBits;
    for (unsigned i = 0; i < levels; ++i) {
        unsigned char v = static_cast<unsigned char>(i * 255 / (levels - 1));
        l.table[i] = {v, v, v, 255};
    }
    if (l.transparencyChunk && transColor)
        l.table[transColor->gray & 0xFF].a = 0;
    l.tableEntries = levels;
}

// Converts one delivered row into one DIB row (step 13).
void convertRow(const Layout &l, const unsigned char *src, unsigned char *dst, std::size_t stride) {
    if (l.dibBits != 32) {
        // Only the delivered bytes: the padding of the zero-filled block stays zero instead of
        // taking whatever the row buffer held.
        std::memcpy(dst, src, l.rowBytes < stride ? l.rowBytes : stride);
        return;
    }
    const png_uint_32 w = l.width;
    if (l.alphaChannel) {
        if (l.colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
            for (png_uint_32 x = 0; x < w; ++x) {
                const TableEntry &e = l.table[src[2 * x]];
                unsigned char *d = dst + 4 * x;
                d[0] = e.b;
                d[1] = e.g;
                d[2] = e.r;
                d[3] = src[2 * x + 1];
            }
        } else {
            std::memcpy(dst, src, 4 * static_cast<std::size_t>(w));
        }
        return;
    }
    if (l.sourceBits == 24) {
        for (png_uint_32 x = 0; x < w; ++x) {
            const unsigned char *s = src + 3 * x;
            unsigned char *d = dst + 4 * x;
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
            d[3] = (s[0] == l.transBlue && s[1] == l.transGreen && s[2] == l.transRed) ? 0 : 255;
        }
        return;
    }
    // 1-, 4- and 8-bit samples, most significant bits first.
    const unsigned bits = l.sourceBits;
    const unsigned mask = (1u << bits) - 1;
    for (png_uint_32 x = 0; x < w; ++x) {
        std::size_t bitPos = static_cast<std::size_t>(x) * bits;
        unsigned shift = 8 - bits - static_cast<unsigned>(bitPos % 8);
        unsigned sample = (src[bitPos / 8] >> shift) & mask;
        const TableEntry &e = l.table[sample];
        unsigned char *d = dst + 4 * x;
        d[0] = e.b;
        d[1] = e.g;
        d[2] = e.r;
        d[3] = e.a;
    }
}

void writeHeaderAndTable(const Layout &l, unsigned char *block) {
    putU32(block + 0, kDibHeaderSize);
    putU32(block + 4, l.width);
    putU32(block + 8, l.height);
    putU16(block + 12, 1);
    putU16(block + 14, l.dibBits);
    // compression, image size and resolutions stay 0 (the block is zero-filled)
    unsigned entries = l.dibBits <= 8 ? l.tableEntries : 0;
    putU32(block + 32, entries);
    unsigned char *table = block + kDibHeaderSize;
    for (unsigned i = 0; i < entries; ++i) {
        table[4 * i + 0] = l.table[i].b;
        table[4 * i + 1] = l.table[i].g;
        table[4 * i + 2] = l.table[i].r;
        table[4 * i + 3] = 255;
    }
}

// Everything the failure paths must release. Lives in the caller's frame so that a jump out of
// libpng finds it intact; only trivially destructible members.
struct DecodeResources {
    png_structp png = nullptr;
    png_infop info = nullptr;
    unsigned char *dib = nullptr;
    std::size_t dibSize = 0;
    unsigned char *rowData = nullptr;
    png_bytepp rows = nullptr;
};

void releaseRows(const PngDibMemory &memory, DecodeResources &r) {
    if (r.rows)
        memory.freeRows(r.rows, memory.context);
    if (r.rowData)
        memory.freeRows(r.rowData, memory.context);
    r.rows = nullptr;
    r.rowData = nullptr;
}

// The part that runs under libpng's error jump. Holds no object with a destructor.
int decodeUnderJump(std::FILE *file, const PngDibMemory &memory, DecodeResources &r, Layout &l) {
    if (setjmp(png_jmpbuf(r.png)))
        return kPngDibDecodeError;

    png_init_io(r.png, file);
    png_read_info(r.png, r.info);
    int interlace = 0;
    png_get_IHDR(r.png, r.info, &l.width, &l.height, &l.bitDepth, &l.colorType, &interlace, nullptr, nullptr);
    if (l.bitDepth == 16)
        png_set_strip_16(r.png);
    const int depth = l.bitDepth == 16 ? 8 : l.bitDepth;

    bool pack = false;
    l.sourceBits = chooseBitCount(l.colorType, depth, &pack);
    if (l.sourceBits == 0)
        return kPngDibDecodeError;
    if (pack)
        png_set_packing(r.png);

    buildColourTable(r.png, r.info, l);
    png_set_bgr(r.png);

    l.alphaChannel = (l.colorType & PNG_COLOR_MASK_ALPHA) != 0;
    l.dibBits = (l.alphaChannel || l.transparencyChunk) ? 32 : l.sourceBits;

    const std::uint64_t stride = dibStride(l.width, l.dibBits);
    const std::uint64_t tableBytes = l.dibBits <= 8 ? 4ull * l.tableEntries : 0;
    const std::uint64_t total = kDibHeaderSize + tableBytes + stride * l.height;
    if (total > kMaxDibBytes)
        return kPngDibNoMemory;
    r.dibSize = static_cast<std::size_t>(total);
    r.dib = static_cast<unsigned char *>(memory.allocDib(r.dibSize, memory.context));
    if (!r.dib)
        return kPngDibNoMemory;
    writeHeaderAndTable(l, r.dib);

    png_set_interlace_handling(r.png);
    png_read_update_info(r.png, r.info);
    std::size_t rowLength = static_cast<std::size_t>(2 * stride);
    l.rowBytes = png_get_rowbytes(r.png, r.info);
    if (rowLength < l.rowBytes)
        rowLength = l.rowBytes;
    r.rowData = static_cast<unsigned char *>(memory.allocRows(rowLength * l.height, memory.context));
    r.rows = static_cast<png_bytepp>(memory.allocRows(sizeof(png_bytep) * l.height, memory.context));
    if (!r.rowData || !r.rows)
        return kPngDibOtherFailure;
    for (png_uint_32 y = 0; y < l.height; ++y)
        r.rows[y] = r.rowData + rowLength * y;
    png_read_image(r.png, r.rows);

    unsigned char *pixels = r.dib + kDibHeaderSize + tableBytes;
    for (png_uint_32 y = 0; y < l.height; ++y)
        convertRow(l, r.rows[y], pixels + stride * (l.height - 1 - y), static_cast<std::size_t>(stride));

    releaseRows(memory, r);
    png_read_end(r.png, nullptr);
    return kPngDibOk;
}

} // namespace

const PngDibMemory &defaultPngDibMemory() {
    return kDefaultMemory;
}

std::uint64_t dibStride(std::uint32_t width, unsigned bitCount) {
    return (static_cast<std::uint64_t>(bitCount) * width + 31) / 32 * 4;
}

int decodePngToDib(std::FILE *file, const PngDibMemory &memory, void **block, std::size_t *blockSize) {
    unsigned char head[9] = {};
    std::size_t got = std::fread(head, 1, sizeof head, file);
    if (got < 8 || std::memcmp(head, kPngSignature, 8) != 0)
        return kPngDibNotPng;
    if (std::fseek(file, 0, SEEK_SET) != 0)
        return kPngDibOtherFailure;

    DecodeResources r;
    r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, silentError, silentWarning);
    if (!r.png)
        return kPngDibDecodeError;
    r.info = png_create_info_struct(r.png);
    if (!r.info) {
        png_destroy_read_struct(&r.png, nullptr, nullptr);
        return kPngDibDecodeError;
    }

    Layout layout;
    int result = decodeUnderJump(file, memory, r, layout);

    releaseRows(memory, r);
    png_destroy_read_struct(&r.png, &r.info, nullptr);
    if (result != kPngDibOk) {
        if (r.dib)
            memory.freeDib(r.dib, memory.context);
        return result;
    }
    *block = r.dib;
    *blockSize = r.dibSize;
    return kPngDibOk;
}

DibHeaderFields readDibHeader(const void *block) {
    const unsigned char *p = static_cast<const unsigned char *>(block);
    DibHeaderFields h;
    h.size = getU32(p + 0);
    h.width = static_cast<std::int32_t>(getU32(p + 4));
    h.height = static_cast<std::int32_t>(getU32(p + 8));
    h.planes = getU16(p + 12);
    h.bitCount = getU16(p + 14);
    h.compression = getU32(p + 16);
    h.sizeImage = getU32(p + 20);
    h.xPelsPerMeter = static_cast<std::int32_t>(getU32(p + 24));
    h.yPelsPerMeter = static_cast<std::int32_t>(getU32(p + 28));
    h.colorsUsed = getU32(p + 32);
    h.colorsImportant = getU32(p + 36);
    return h;
}

bool dibPixelOffset(const void *block, std::size_t blockSize, std::size_t *offset) {
    if (!block || blockSize < kDibHeaderSize)
        return false;
    const DibHeaderFields h = readDibHeader(block);
    if (h.size != kDibHeaderSize || h.planes != 1 || h.compression != 0 || h.width <= 0 || h.height == 0 ||
        h.height == INT32_MIN)
        return false;
    switch (h.bitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        return false;
    }
    std::uint64_t entries = h.colorsUsed;
    if (entries == 0 && h.bitCount <= 8)
        entries = 1ull << h.bitCount;
    if (entries > 256)
        return false;
    const std::uint64_t rows = h.height < 0 ? -static_cast<std::int64_t>(h.height) : h.height;
    const std::uint64_t start = kDibHeaderSize + 4 * entries;
    const std::uint64_t need = start + dibStride(static_cast<std::uint32_t>(h.width), h.bitCount) * rows;
    if (need > blockSize)
        return false;
    *offset = static_cast<std::size_t>(start);
    return true;
}
