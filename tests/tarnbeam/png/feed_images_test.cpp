// The Windows side of the category pictures: loadPngAsDib hands the DIB over in fixed global
// memory, and createBitmapFromDib turns it into a screen bitmap whose colours match the picture.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tarnbeam/feed/feed_images.h"
#include "tarnbeam/feed/portable/png_dib.h"
#include "tests/tarnbeam/png/png_writer.h"

using testpng::Bytes;
using testpng::Picture;

namespace {

std::wstring tempPath(const wchar_t *name) {
    wchar_t dir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + name;
}

bool writeWide(const std::wstring &path, const Bytes &data) {
    FILE *f = _wfopen(path.c_str(), L"wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

Picture rgbPicture() {
    Picture p;
    p.width = 3;
    p.height = 2;
    p.rows = {{255, 0, 0, 0, 255, 0, 0, 0, 255}, {10, 20, 30, 40, 50, 60, 70, 80, 90}};
    return p;
}

Picture palettePicture() {
    Picture p;
    p.width = 2;
    p.height = 2;
    p.colorType = PNG_COLOR_TYPE_PALETTE;
    p.palette = {{200, 100, 50}, {5, 6, 7}};
    p.rows = {{0, 1}, {1, 0}};
    return p;
}

// The bitmap read back as top-down 32-bit pixels (blue, green, red, x).
std::vector<DWORD> readBack(HBITMAP bitmap, int w, int h) {
    std::vector<DWORD> pixels(static_cast<size_t>(w) * h);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    HDC dc = GetDC(nullptr);
    int lines = GetDIBits(dc, bitmap, 0, h, pixels.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    EXPECT_EQ(lines, h);
    return pixels;
}

DWORD rgb(int r, int g, int b) {
    return static_cast<DWORD>(b | (g << 8) | (r << 16));
}

} // namespace

TEST(LoadPngAsDib, HandsOverFixedZeroFilledGlobalBlock) {
    const std::wstring path = tempPath(L"tb_feed_\x753b\x50cf.png"); // non-ASCII name
    Bytes png = testpng::encode(rgbPicture());
    ASSERT_TRUE(writeWide(path, png));
    HGLOBAL dib = nullptr;
    ASSERT_EQ(loadPngAsDib(path.c_str(), &dib), 0);
    ASSERT_NE(dib, nullptr);
    EXPECT_EQ(GlobalSize(dib), 40u + 12 * 2);             // header + two rows of 9 bytes padded to 12
    EXPECT_EQ(GlobalLock(dib), static_cast<void *>(dib)); // fixed memory: the handle is the address
    GlobalUnlock(dib);
    const BITMAPINFOHEADER *h = static_cast<const BITMAPINFOHEADER *>(static_cast<void *>(dib));
    EXPECT_EQ(h->biSize, 40u);
    EXPECT_EQ(h->biWidth, 3);
    EXPECT_EQ(h->biHeight, 2);
    EXPECT_EQ(h->biBitCount, 24);
    EXPECT_EQ(h->biCompression, static_cast<DWORD>(BI_RGB));
    const BYTE *bottom = reinterpret_cast<const BYTE *>(h + 1);
    EXPECT_EQ(bottom[0], 30); // bottom-left pixel, blue first
    EXPECT_EQ(bottom[9], 0);  // row padding stays zero
    EXPECT_EQ(GlobalFree(dib), nullptr);
    DeleteFileW(path.c_str());
}

TEST(LoadPngAsDib, ResultCodesLeaveOutputUntouched) {
    const std::wstring html = tempPath(L"tb_feed_error_page.png");
    const char page[] = "<html><body>Not Found</body></html>";
    ASSERT_TRUE(writeWide(html, Bytes(page, page + sizeof page - 1)));
    const std::wstring cut = tempPath(L"tb_feed_cut.png");
    Bytes png = testpng::encode(rgbPicture());
    png.resize(png.size() / 2);
    ASSERT_TRUE(writeWide(cut, png));

    struct Case {
        std::wstring path;
        int expected;
    };
    const Case cases[] = {
        {tempPath(L"tb_feed_missing_picture.png"), 6},
        {tempPath(L""), 6}, // a folder cannot be opened as a file
        {html, 2},
        {cut, 3},
    };
    HGLOBAL sentinel = reinterpret_cast<HGLOBAL>(static_cast<INT_PTR>(0x1234));
    for (const Case &c : cases) {
        HGLOBAL dib = sentinel;
        EXPECT_EQ(loadPngAsDib(c.path.c_str(), &dib), c.expected);
        EXPECT_EQ(dib, sentinel);
    }
    DeleteFileW(html.c_str());
    DeleteFileW(cut.c_str());
}

TEST(CreateBitmapFromDib, ScreenBitmapShowsThePictureColours) {
    struct Case {
        const char *name;
        Picture picture;
        std::vector<DWORD> expected; // top-down
    };
    const Case cases[] = {
        {"rgb24",
         rgbPicture(),
         {rgb(255, 0, 0), rgb(0, 255, 0), rgb(0, 0, 255), rgb(10, 20, 30), rgb(40, 50, 60), rgb(70, 80, 90)}},
        {"palette8", palettePicture(), {rgb(200, 100, 50), rgb(5, 6, 7), rgb(5, 6, 7), rgb(200, 100, 50)}},
    };
    for (const Case &c : cases) {
        const std::wstring path = tempPath(L"tb_feed_bitmap.png");
        ASSERT_TRUE(writeWide(path, testpng::encode(c.picture)));
        HGLOBAL dib = nullptr;
        ASSERT_EQ(loadPngAsDib(path.c_str(), &dib), 0) << c.name;
        DeleteFileW(path.c_str());
        HBITMAP bitmap = createBitmapFromDib(dib);
        ASSERT_NE(bitmap, nullptr) << c.name;
        BITMAP info = {};
        ASSERT_EQ(GetObjectW(bitmap, sizeof info, &info), static_cast<int>(sizeof info));
        EXPECT_EQ(info.bmWidth, static_cast<LONG>(c.picture.width)) << c.name;
        EXPECT_EQ(info.bmHeight, static_cast<LONG>(c.picture.height)) << c.name;
        std::vector<DWORD> got = readBack(bitmap, info.bmWidth, info.bmHeight);
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i] & 0xFFFFFF, c.expected[i]) << c.name << " pixel " << i;
        DeleteObject(bitmap);
        // The caller still owns the block.
        EXPECT_EQ(GlobalFree(dib), nullptr);
    }
}

TEST(CreateBitmapFromDib, DamagedBlocksGiveNull) {
    EXPECT_EQ(createBitmapFromDib(nullptr), nullptr);

    const std::wstring path = tempPath(L"tb_feed_damage.png");
    ASSERT_TRUE(writeWide(path, testpng::encode(rgbPicture())));
    HGLOBAL good = nullptr;
    ASSERT_EQ(loadPngAsDib(path.c_str(), &good), 0);
    DeleteFileW(path.c_str());
    const SIZE_T size = GlobalSize(good);

    struct Damage {
        const char *name;
        size_t offset;
        BYTE value;
        SIZE_T keep;
    };
    const Damage cases[] = {
        {"bitCount", 14, 7, size},       {"headerSize", 0, 12, size},      {"tallerThanBlock", 8, 9, size},
        {"shortBlock", 0, 40, size - 1}, {"hugeColourTable", 33, 1, size},
    };
    for (const Damage &d : cases) {
        HGLOBAL copy = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, d.keep);
        ASSERT_NE(copy, nullptr);
        std::memcpy(copy, good, d.keep);
        static_cast<BYTE *>(static_cast<void *>(copy))[d.offset] = d.value;
        HBITMAP bitmap = createBitmapFromDib(copy);
        EXPECT_EQ(bitmap, nullptr) << d.name;
        if (bitmap)
            DeleteObject(bitmap);
        GlobalFree(copy);
    }
    GlobalFree(good);
}
