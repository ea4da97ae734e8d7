// New-information rule: is the newest news item different from the one last seen?
#pragma once
#include <windows.h>

#include <string>

// The news marker's text for a published time: "%04d/%02d/%02d %02d:%02d:%02d".
std::wstring FormatNewsMarker(const SYSTEMTIME &published);

// Compares newsItems[0] with LastRSSItemDate under the common key. When they differ the marker
// is replaced by the newest item's time and the answer is true; an empty list is never new.
bool hasNewInformation();
