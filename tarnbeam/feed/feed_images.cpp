#include "tarnbeam/feed/feed_images.h"

#include <stdio.h>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/feed/portable/png_dib.h"

namespace {

// Fixed memory: the handle GlobalAlloc returns is the block's address.
void *allocGlobal(size_t bytes, void *) {
    return GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes);
}
void freeGlobal(void *block, void *) {
    GlobalFree(static_cast<HGLOBAL>(block));
}

struct ScreenDC {
    HDC dc = GetDC(nullptr);
    ~ScreenDC() {
        if (dc)
            ReleaseDC(nullptr, dc);
    }
    ScreenDC() = default;
    ScreenDC(const ScreenDC &) = delete;
    ScreenDC &operator=(const ScreenDC &) = delete;
};

} // namespace

int loadPngAsDib(const wchar_t *path, HGLOBAL *dib) {
    FileHandle file(_wfopen(path, L"rb"));
    if (!file)
        return kPngDibOpenFailed;
    const PngDibMemory &heap = defaultPngDibMemory();
    const PngDibMemory memory = {allocGlobal, freeGlobal, heap.allocRows, heap.freeRows, nullptr};
    void *block = nullptr;
    size_t size = 0;
    const int result = decodePngToDib(file.get(), memory, &block, &size);
    if (result == kPngDibOk)
        *dib = static_cast<HGLOBAL>(block);
    return result;
}

HBITMAP createBitmapFromDib(HGLOBAL dib) {
    // The block is checked against its own size before the graphics interface reads it, so a
    // damaged header gives null rather than a read past the block.
    size_t offset = 0;
    if (!dib || !dibPixelOffset(dib, GlobalSize(dib), &offset))
        return nullptr;
    ScreenDC screen;
    if (!screen.dc)
        return nullptr;
    const BITMAPINFO *info = static_cast<const BITMAPINFO *>(static_cast<void *>(dib));
    const BYTE *bits = static_cast<const BYTE *>(static_cast<void *>(dib)) + offset;
    return CreateDIBitmap(screen.dc, &info->bmiHeader, CBM_INIT, bits, info, DIB_RGB_COLORS);
}
