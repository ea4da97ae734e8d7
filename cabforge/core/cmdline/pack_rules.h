// What the archive builder packs, shared by cabforge.exe and the native cabforge-cli: the depth-first
// folder scan with its exclusions and the names scanned files get in the archive. Portable: no
// platform header; the file system comes in through `FolderLister`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cabforge/core/cmdline/wildcard.h"

namespace cfcmd {

// One entry of a folder listing.
struct FolderEntry {
    std::wstring name;
    bool isFolder = false;
};

// A file the scan keeps.
struct ScannedFile {
    std::wstring path;        // the scanned folder, the separator, the folders below it, the name
    std::wstring name;        // the file's own name, as listed
    std::wstring archiveName; // the path below the scanned folder, folders joined with backslashes
};

// How the scan reaches the file system.
class FolderLister {
  public:
    enum class Outcome {
        Listed, // `entries` holds the folder's entries in the order they are to be visited
        Skip,   // leave this folder out, with everything below it, and go on
        Stop,   // end the scan (the lister keeps the reason)
    };
    // Lists the folder whose path, ending in a separator, is `prefix`.
    virtual Outcome list(const std::wstring &prefix, std::vector<FolderEntry> &entries) = 0;
    // Told of every file as the scan meets it, excluded or not; false ends the scan.
    virtual bool fileFound(const ScannedFile &file) = 0;

  protected:
    ~FolderLister() = default;
};

struct ScanSettings {
    // Characters that end a path component; the first one joins the components the scan adds.
    const wchar_t *separators = L"\\/";
    CaseFold fold = defaultCaseFold;
};

// Scans `folder` depth first: entries come in the lister's order, "." and ".." are passed over, a
// folder is entered where it is met unless its name matches an exclusion pattern (then it is left
// out with all its contents), and every other entry counts as a file. Files whose own name matches
// an exclusion pattern are left out of `files` afterwards; patterns act on single names, never on
// paths. Returns false when the lister stopped the scan (`files` is then incomplete).
bool scanFolder(const std::wstring &folder, const std::vector<std::wstring> &exclusions,
                const ScanSettings &settings, FolderLister &lister, std::vector<ScannedFile> &files);

} // namespace cfcmd
