// The built-in HTML view: a read-only rich-text control that shows the text of an HTML page
// where the browser control has no document to write into.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A link of the shown text: characters [first, last) of the control open `address`.
struct RichTextLink {
    LONG first = 0;
    LONG last = 0;
    std::wstring address;
};

// One view, owned by the window that hosts it.
struct RichTextView {
    HWND edit = nullptr;
    std::vector<RichTextLink> links;
    HWND owner = nullptr; // owner window for the user's browser when a link is opened
};

// Shows `html` in the view, replacing what it showed, over the whole client area of `host`; the
// control is created on first use. The font is that of the host's parent dialog. `owner` owns
// what a link click opens. False when the control cannot be created.
bool ShowRichText(RichTextView &view, HWND host, const std::wstring &html, HWND owner);
void HideRichText(RichTextView &view);
bool RichTextVisible(const RichTextView &view);
void SizeRichText(RichTextView &view, int width, int height);
// Handles a WM_NOTIFY of the host: true (with the message result) when it came from the view.
bool RichTextOnNotify(RichTextView &view, const NMHDR *header, LRESULT *result);
