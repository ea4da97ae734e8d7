// The archive tree: the document of the interactive builder, held by the tree control of the
// archive pane. One root item ("Archive File"), folder items and file items; a file item's data
// is a heap copy of its source path. Children stay sorted by name, ignoring case, folders and
// files mixed.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class ArchiveTree {
  public:
    ArchiveTree();
    ~ArchiveTree();
    ArchiveTree(const ArchiveTree &) = delete;
    ArchiveTree &operator=(const ArchiveTree &) = delete;

    // The tree control of the archive pane (null once the pane is gone) and its image list.
    void attach(HWND tree, HIMAGELIST images);
    HWND control() const { return m_tree; }

    HTREEITEM root() const;
    // More than the root item: the test for "the tree holds entries".
    bool hasEntries() const;
    // Changed since the last New, or the last successful archive creation.
    bool modified() const { return m_modified; }
    void setModified(bool modified) { m_modified = modified; }

    // Deletes every item and inserts the root item.
    void reset();
    // Adds files and whole folders below `parent` with the progress window (none when silent);
    // Cancel keeps what was added so far. A file item as `parent` stands for the folder it lies in.
    // Paths are made full and normal first; a file whose name in the archive would break the
    // archive's name rule is not added, and the user is told which.
    void addPaths(HTREEITEM parent, const std::vector<std::wstring> &paths);
    // Deletes `item` with its subtree, unless it is the root or no item.
    void removeItem(HTREEITEM item);
    // Source paths and names in the archive of every file item, depth first in tree order.
    void collectFiles(std::vector<std::wstring> &sources, std::vector<std::wstring> &names) const;

    // Insertion at the sorted place without merging (project files keep duplicate names).
    HTREEITEM insertFolder(HTREEITEM parent, const std::wstring &name);
    HTREEITEM insertFile(HTREEITEM parent, const std::wstring &name, const std::wstring &source);

    // The source path of a file item; null for folders and the root.
    const std::wstring *sourceOf(HTREEITEM item) const;
    // The item's text as read back with a 260-character buffer.
    std::wstring textOf(HTREEITEM item) const;
    HTREEITEM parentOf(HTREEITEM item) const;
    HTREEITEM firstChildOf(HTREEITEM item) const;
    HTREEITEM nextSiblingOf(HTREEITEM item) const;
    // The next item of a depth-first walk below `top` that does not enter file items; null at the end.
    HTREEITEM nextInWalk(HTREEITEM item, HTREEITEM top) const;
    void expand(HTREEITEM item);

    // Frees the source path of an item being deleted (the tree's delete notification).
    static void freeItemData(LPARAM data);

    // Between these calls, sibling look-ups use an index instead of walking the children, so that
    // large additions and loads stay near n log n.
    void beginBatch();
    void endBatch();

  private:
    // The tree's display order: alphabetical, ignoring case.
    struct NameLess {
        bool operator()(const std::wstring &a, const std::wstring &b) const;
    };
    // The merge's order: ordinal, ignoring case, so that names equal only to a linguistic
    // comparison (strasse, straße) stay apart.
    struct OrdinalLess {
        bool operator()(const std::wstring &a, const std::wstring &b) const;
    };
    struct Siblings {
        std::multimap<std::wstring, HTREEITEM, NameLess> sorted;
        std::map<std::wstring, HTREEITEM, OrdinalLess> byName;
    };

    void addOne(const std::wstring &base, HTREEITEM parent, const std::wstring &path);
    HTREEITEM findChild(HTREEITEM parent, const std::wstring &name);
    HTREEITEM insertSorted(HTREEITEM parent, const std::wstring &name, int image, int selected,
                           std::unique_ptr<std::wstring> source);
    Siblings *indexOf(HTREEITEM parent);
    void fileIcons(const std::wstring &path, int &image, int &selected);

    HWND m_tree = nullptr;
    HIMAGELIST m_images = nullptr;
    bool m_modified = false;
    int m_folderIcon = -1;
    int m_folderOpenIcon = -1;
    std::map<std::wstring, std::pair<int, int>> m_iconsByExtension;
    bool m_batch = false;
    std::map<HTREEITEM, Siblings> m_index;
    std::vector<std::wstring> m_refused; // paths of the addition in progress whose names break the rule
};

// True when two names are one entry of the archive: equal ignoring case, compared ordinally.
bool SameArchiveName(const std::wstring &a, const std::wstring &b);
// True when the name may be one component of a name in the archive (archive_names.h).
bool IsArchiveComponent(const std::wstring &name);

// The one archive tree of the process.
extern ArchiveTree g_archiveTree;
