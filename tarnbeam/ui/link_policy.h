// Where the HTML view's links may lead, one rule for the browser control and the built-in view:
// out of the view only http, https and mailto addresses, to the user's own programs for them;
// inside it only http and https pages and its empty page. Every other address (files, shares,
// drives, script, resource and settings schemes, any other protocol) goes nowhere.
#pragma once

#include <windows.h>

#include <string>

// Hands `address` to the user's default program for it when it may leave the view; true when it
// was handed on (whatever that program then does).
bool OpenLinkOutside(HWND owner, const std::wstring &address);

// True when the view may show `address` in place.
bool NavigatesInPlace(const std::wstring &address);
