// The host window: a visible top-level window that records what the hosted program tells
// it (registered messages, WM_ARCHIVE_CREATED) and whether it was disabled.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tools/hostapp/json_writer.h"

// Registers the messages to record and creates and shows the window ("TbHostAppWindow",
// caption "Host Application").
bool CreateHostWindow(HINSTANCE instance, const std::vector<std::wstring> &registeredNames);
HWND HostWindow();
// Milliseconds since CreateHostWindow.
DWORD ElapsedMs();
// Records the window's enabled state now (between WM_ENABLE notifications).
void PollHostEnabled();
void PumpMessages();
void PumpFor(DWORD ms);
// Writes the members notifications, archiveCreated, hostDisabledSeen, hostEnabledAtEnd,
// enableEvents and hostRect into the current JSON object.
void WriteHostRecords(JsonWriter &w);
