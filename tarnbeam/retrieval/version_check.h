// Version check: the installed component against the maker's version-information document.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Kind tag that begins every update entry (news items carry 48 in the same place).
const int kUpdateEntryKind = 52;

// One update entry. The list rows of the main dialog and the Update command point to these.
struct UpdateEntry {
    int kind = kUpdateEntryKind;
    bool newer = false;            // the offered version is newer than the installed one
    std::wstring componentName;    // local Name
    std::wstring installedVersion; // "%d.%02d.%02d" of the installed major, minor, build
    std::wstring versionString;    // the remote component's texts
    std::wstring fileUrl;
    std::wstring fileName;
    std::wstring fileMD5;
    std::wstring description;
    SYSTEMTIME releaseDate{}; // local time; all zero when the Date text did not parse
    // The offered version as numbers (VersionMajor, VersionMinor, VersionBuild).
    unsigned offeredMajor = 0;
    unsigned offeredMinor = 0;
    unsigned offeredBuild = 0;
};

using UpdateEntryList = std::vector<UpdateEntry>;

// Process-wide update entry list, filled once at start-up and kept until exit.
extern UpdateEntryList g_updateEntries;

// Check error codes. `code` of RunVersionCheck is written only on failure.
enum VersionCheckCode {
    kCheckLocalDocumentCreate = 101,
    kCheckLocalDocumentLoad = 102,
    kCheckRemoteDocumentCreate = 103,
    kCheckRemoteDocumentLoad = 104,
    kCheckLocalComponentList = 105,
    kCheckNoHostName = 106,
    kCheckHostTooShort = 107,
    kCheckUntrustedHost = 108,
    kCheckVersionInfoSignature = 109, // the document's signature is missing, invalid or not the publisher's
    kCheckLocalIdMissing = 201,
    kCheckLocalNameMissing = 202,
    kCheckLocalModuleMissing = 203,
    kCheckNoVersionResource = 204,
    kCheckRemoteComponentList = 205,
    kCheckRemoteVersionMajorMissing = 301, // 301..310: the remote element in reading order
    kCheckNoMatchingComponent = 401,
};

// Compares the component described by "tarnbeam.xml" in this program's folder with the entry of
// the same ID in the document named by its VersionInfoURL, and appends one update entry to
// `entries`. False: nothing was appended and `code` holds the check error code, except when
// VersionInfoURL is empty (then `code` is left as it was).
bool RunVersionCheck(UpdateEntryList &entries, int &code);
