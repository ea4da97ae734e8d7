// Version check: the installed component against the maker's version-information document.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// One update entry (kind tag 52). The list rows of the main dialog point to these records.
struct UpdateEntry {
    int kind = 52;
    bool newer = false;  // the offered version is newer than the installed one
};

using UpdateEntryList = std::vector<UpdateEntry>;

// Process-wide update entry list, filled once at start-up.
extern UpdateEntryList g_updateEntries;

// Runs the version check into `entries`; `code` receives the check error code (0 on success).
bool RunVersionCheck(UpdateEntryList& entries, int& code);
