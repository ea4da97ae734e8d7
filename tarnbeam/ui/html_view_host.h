// The HTML view host: a dialog control that hosts the ActiveX control whose class id is its
// window text (the browser control in the main dialog), and the built-in view that stands in
// where the browser has no document.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <exdisp.h>

#include <string>

class KMyWBHandler;

// The host's window class; dialog templates name it for the control.
extern const wchar_t kHtmlViewHostClass[];

// Registers the host's window class for the process; call once before creating a dialog that
// uses it. True when the class is registered (also when it already was).
bool RegisterHtmlViewHost(HINSTANCE instance);

// The hosted control (a new reference), created now if the host has not created it yet: a
// dialog may ask for it while it initialises. Failure when the host cannot create it.
HRESULT HtmlViewGetControl(HWND host, IUnknown **control);

// Shows `html` in the view: written into the browser's document when the browser has one,
// otherwise in the built-in view, after which the focus goes to the handler's focus-return
// window as it would once the browser's page had loaded. False when neither could show it.
bool ShowHtmlInView(HWND host, KMyWBHandler *handler, IWebBrowser2 *browser, const std::wstring &html);
