// Test pictures: PNG files written with libpng's writer, and hand-made chunk streams for the
// malformed cases libpng would refuse to write.
#pragma once
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testpng {

using Bytes = std::vector<unsigned char>;

struct Picture {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    int colorType = PNG_COLOR_TYPE_RGB;
    int bitDepth = 8;
    bool interlaced = false;
    std::vector<png_color> palette;       // PLTE
    std::vector<unsigned char> trnsAlpha; // tRNS for palette pictures
    bool hasTrnsColor = false;            // tRNS for grey / RGB pictures
    png_color_16 trnsColor{};
    std::vector<Bytes> rows; // raw PNG rows: packed samples, 16-bit big-endian
};

inline void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    Bytes *out = static_cast<Bytes *>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

inline void noFlush(png_structp) {}

// Encodes the picture with libpng; empty on failure.
inline Bytes encode(const Picture &p) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return {};
    }
    std::vector<png_bytep> rowPointers;
    for (const Bytes &r : p.rows)
        rowPointers.push_back(const_cast<png_bytep>(r.data()));
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, appendBytes, noFlush);
    png_set_IHDR(png, info, p.width, p.height, p.bitDepth, p.colorType,
                 p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!p.palette.empty())
        png_set_PLTE(png, info, p.palette.data(), static_cast<int>(p.palette.size()));
    if (!p.trnsAlpha.empty())
        png_set_tRNS(png, info, p.trnsAlpha.data(), static_cast<int>(p.trnsAlpha.size()), nullptr);
    if (p.hasTrnsColor)
        png_set_tRNS(png, info, nullptr, 1, const_cast<png_color_16p>(&p.trnsColor));
    png_write_info(png, info);
    png_write_image(png, rowPointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// One chunk with its length and CRC.
inline void appendChunk(Bytes &out, const char *type, const Bytes &data) {
    auto be32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<unsigned char>(v >> s));
    };
    be32(static_cast<std::uint32_t>(data.size()));
    std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    be32(static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

inline Bytes signature() {
    return {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
}

inline Bytes ihdr(std::uint32_t w, std::uint32_t h, int depth, int colorType) {
    Bytes d;
    for (std::uint32_t v : {w, h})
        for (int s = 24; s >= 0; s -= 8)
            d.push_back(static_cast<unsigned char>(v >> s));
    d.push_back(static_cast<unsigned char>(depth));
    d.push_back(static_cast<unsigned char>(colorType));
    d.push_back(0);
    d.push_back(0);
    d.push_back(0);
    return d;
}

// A PNG whose header claims the given size and whose image data is a single empty row.
inline Bytes headerOnly(std::uint32_t w, std::uint32_t h, int depth, int colorType) {
    Bytes out = signature();
    appendChunk(out, "IHDR", ihdr(w, h, depth, colorType));
    Bytes raw(2, 0);
    Bytes z(64);
    uLongf zlen = static_cast<uLongf>(z.size());
    compress(z.data(), &zlen, raw.data(), static_cast<uLong>(raw.size()));
    z.resize(zlen);
    appendChunk(out, "IDAT", z);
    appendChunk(out, "IEND", {});
    return out;
}

inline bool writeFile(const std::string &path, const Bytes &data) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace testpng
