// Category pictures of the news feed: PNG files into packed DIBs and screen bitmaps.
#pragma once
#include <windows.h>

// Decodes the PNG file at path into one fixed, zero-filled global memory block holding a packed
// DIB (the handle is the address; free it with GlobalFree). Result 0 on success, otherwise 2 (not
// a PNG), 3 (decode error), 4 (no memory for the block), 6 (cannot open) or 9 (other failure);
// *dib is set only on success.
int loadPngAsDib(const wchar_t *path, HGLOBAL *dib);

// A screen-compatible bitmap made from a packed DIB block, or null. The caller keeps the block.
HBITMAP createBitmapFromDib(HGLOBAL dib);
