// Pure rules of the file-system pane, free of Windows headers so that they run natively under the
// sanitizers: the byte layout of shell item id lists and the order of siblings in the tree.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace shell_tree_rules {

// An item id list is a run of items, each starting with its 16-bit little-endian byte count
// (the count includes those two bytes), ended by a count of zero. Its size is the sum of the
// counts plus the 2 bytes of the terminator.
std::size_t idListSize(const void *list);

// The size of `first` followed by `second`: `first` without its terminator, then `second` whole.
std::size_t joinedSize(const void *first, const void *second);

// Writes the joined list into `out`, which holds joinedSize(first, second) bytes.
void joinIdLists(const void *first, const void *second, void *out);

// A path of exactly three characters ("C:\") names a drive root.
template <class Text> bool isDriveRoot(const Text &path) {
    return path.size() == 3;
}

// Strict "less than" between two siblings of one folder:
//   1. folders before files; two files by display name, ignoring case;
//   2. two folders that both have a path: drive roots before other folders, then by path;
//   3. two folders: by the shell's type name;
//   4. by display name, ignoring case.
// `Entry` has isFolder, path and name; `Collation` supplies compare (locale-aware, case
// sensitive), compareNoCase and typeName(entry), so the caller chooses the collation and how type
// names are looked up (only rule 3 needs them).
template <class Entry, class Collation>
bool siblingLess(const Entry &a, const Entry &b, Collation &collation) {
    if (a.isFolder != b.isFolder)
        return a.isFolder;
    if (!a.isFolder)
        return collation.compareNoCase(a.name, b.name) < 0;
    if (!a.path.empty() && !b.path.empty()) {
        const bool aDrive = isDriveRoot(a.path);
        const bool bDrive = isDriveRoot(b.path);
        if (aDrive != bDrive)
            return aDrive;
        const int byPath = collation.compare(a.path, b.path);
        if (byPath != 0)
            return byPath < 0;
    }
    const int byType = collation.compare(collation.typeName(a), collation.typeName(b));
    if (byType != 0)
        return byType < 0;
    return collation.compareNoCase(a.name, b.name) < 0;
}

// Sorts one folder's children by siblingLess. Between a folder with a path and one without, the
// relation is not transitive (paths rank the first kind among themselves, type names rank the
// mixed pairs), so a plain sort would give an order that depends on the shell's listing order,
// and could even break the sort. Instead each kind is sorted on its own, where siblingLess is a
// strict order, and the two are merged with it; files follow the folders.
template <class Entry, class Collation> void sortSiblings(std::vector<Entry> &entries, Collation &collation) {
    auto less = [&collation](const Entry &a, const Entry &b) { return siblingLess(a, b, collation); };
    auto files =
        std::stable_partition(entries.begin(), entries.end(), [](const Entry &e) { return e.isFolder; });
    auto pathless =
        std::stable_partition(entries.begin(), files, [](const Entry &e) { return !e.path.empty(); });
    std::stable_sort(entries.begin(), pathless, less);
    std::stable_sort(pathless, files, less);
    std::stable_sort(files, entries.end(), less);
    std::inplace_merge(entries.begin(), pathless, files, less);
}

} // namespace shell_tree_rules
