#include "cabforge/ui/shell_tree.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <new>
#include <vector>

#include "cabforge/core/app_state.h"
#include "cabforge/core/win_handles.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"
#include "cabforge/ui/drag_source.h"
#include "cabforge/ui/shell_tree_rules.h"

namespace {

const int kPathChars = 260;
const USHORT kEmptyIdList = 0;

long g_liveItems = 0;
HWND g_tree = nullptr;
ComPtr<IShellFolder> g_desktop;
// The CF_HDROP block of the drag in progress; each data request gets its own copy.
GlobalMemory g_dragData;

// The record behind every item of the tree (its item data).
struct ShellTreeItem {
    ShellTreeItem() { ++g_liveItems; }
    ~ShellTreeItem() { --g_liveItems; }
    ShellTreeItem(const ShellTreeItem &) = delete;
    ShellTreeItem &operator=(const ShellTreeItem &) = delete;

    ComPtr<IShellFolder> folder; // items shown as folders only
    ItemIdListHandle relativeId;
    ItemIdListHandle absoluteId;
    std::wstring path; // empty when the item has no file-system path
    bool enumerated = false;
};

// One child found while loading a folder, before sorting. The folder object, absolute id and
// path found while classifying a folder are kept for its item.
struct ChildEntry {
    bool isFolder = false;
    ItemIdListHandle relativeId;
    SFGAOF attributes = 0;
    std::wstring name;
    bool named = false;
    std::wstring path; // with the absolute id, for entries classified as folders
    ComPtr<IShellFolder> folder;
    ItemIdListHandle absoluteId;
    // Looked up only when two folders come down to their type names.
    mutable std::wstring typeName;
    mutable bool typeKnown = false;
};

struct ShellCollation {
    int compare(const std::wstring &a, const std::wstring &b) const { return lstrcmpW(a.c_str(), b.c_str()); }
    int compareNoCase(const std::wstring &a, const std::wstring &b) const {
        return lstrcmpiW(a.c_str(), b.c_str());
    }
    const std::wstring &typeName(const ChildEntry &entry) const {
        if (!entry.typeKnown) {
            SHFILEINFOW info = {};
            if (entry.absoluteId && SHGetFileInfoW(reinterpret_cast<LPCWSTR>(entry.absoluteId.get()), 0,
                                                   &info, sizeof info, SHGFI_PIDL | SHGFI_TYPENAME))
                entry.typeName = info.szTypeName;
            entry.typeKnown = true;
        }
        return entry.typeName;
    }
};

ItemIdListHandle JoinIds(LPCITEMIDLIST first, LPCITEMIDLIST second) {
    const std::size_t size = shell_tree_rules::joinedSize(first, second);
    void *memory = CoTaskMemAlloc(size);
    if (!memory)
        throw std::bad_alloc();
    ZeroMemory(memory, size);
    shell_tree_rules::joinIdLists(first, second, memory);
    return ItemIdListHandle(static_cast<LPITEMIDLIST>(memory));
}

ItemIdListHandle CopyIds(LPCITEMIDLIST list) {
    return JoinIds(reinterpret_cast<LPCITEMIDLIST>(&kEmptyIdList), list);
}

std::wstring PathOf(LPCITEMIDLIST absolute) {
    wchar_t path[kPathChars] = {};
    if (!SHGetPathFromIDListW(absolute, path))
        return std::wstring();
    path[kPathChars - 1] = L'\0';
    return path;
}

bool NameOf(IShellFolder *folder, LPCITEMIDLIST relative, SHGDNF form, std::wstring &name) {
    STRRET result = {};
    if (FAILED(folder->GetDisplayNameOf(relative, form, &result)))
        return false;
    wchar_t text[kPathChars] = {};
    if (FAILED(StrRetToBufW(&result, relative, text, kPathChars)))
        return false;
    name = text;
    return true;
}

bool DisplayName(IShellFolder *folder, LPCITEMIDLIST relative, std::wstring &name) {
    return NameOf(folder, relative, SHGDN_NORMAL, name);
}

// The file-system path of a child of `folder`, asked of the folder already at hand. Asking with
// the absolute id binds the parent folder again for every child, which costs time growing with
// the folder's size (minutes for 10,000 files); the parsing name is the same path. Anything that
// does not read as a drive or network path is asked the long way.
std::wstring ChildPath(IShellFolder *folder, LPCITEMIDLIST relative, LPCITEMIDLIST absolute) {
    std::wstring path;
    if (NameOf(folder, relative, SHGDN_FORPARSING, path) && path.size() >= 3 &&
        ((path[1] == L':' && path[2] == L'\\') || (path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?')))
        return path;
    return PathOf(absolute);
}

int SmallIcon(LPCITEMIDLIST absolute, UINT extra) {
    SHFILEINFOW info = {};
    if (!SHGetFileInfoW(reinterpret_cast<LPCWSTR>(absolute), 0, &info, sizeof info,
                        SHGFI_PIDL | SHGFI_SYSICONINDEX | SHGFI_SMALLICON | extra))
        return 0;
    return info.iIcon;
}

// A directory, or a path whose attributes cannot be read: either way shown as a folder.
bool NamesFolderOrUnreadable(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

ShellTreeItem *RecordOf(HTREEITEM item) {
    if (!g_tree || !item)
        return nullptr;
    TVITEMW tv = {};
    tv.mask = TVIF_HANDLE | TVIF_PARAM;
    tv.hItem = item;
    return TreeView_GetItem(g_tree, &tv) ? reinterpret_cast<ShellTreeItem *>(tv.lParam) : nullptr;
}

void SetChildMarker(HTREEITEM item, int children) {
    TVITEMW tv = {};
    tv.mask = TVIF_HANDLE | TVIF_CHILDREN;
    tv.hItem = item;
    tv.cChildren = children;
    TreeView_SetItem(g_tree, &tv);
}

HTREEITEM InsertItem(HTREEITEM parent, const std::wstring &name, std::unique_ptr<ShellTreeItem> record,
                     bool folder) {
    TVINSERTSTRUCTW insert = {};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask =
        TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM | (folder ? TVIF_CHILDREN : 0);
    insert.item.pszText = const_cast<LPWSTR>(name.c_str());
    // The icons are asked for when the tree first draws the item (OnGetDisplayInfo): looking up
    // the icons of a folder's every child at once takes most of the time of a large expansion.
    insert.item.iImage = I_IMAGECALLBACK;
    insert.item.iSelectedImage = I_IMAGECALLBACK;
    insert.item.cChildren = folder ? 1 : 0;
    insert.item.lParam = reinterpret_cast<LPARAM>(record.get());
    HTREEITEM item = TreeView_InsertItem(g_tree, &insert);
    if (item)
        record.release(); // freed on the item's delete notification
    return item;
}

// Fills in what the entry is; false for a child that is left out.
bool ClassifyChild(const ShellTreeItem &parent, ChildEntry &entry) {
    IShellFolder *folder = parent.folder.get();
    LPCITEMIDLIST relative = entry.relativeId.get();
    entry.named = DisplayName(folder, relative, entry.name);
    SFGAOF attributes = SFGAO_FOLDER | SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR;
    LPCITEMIDLIST ids[1] = {relative};
    if (FAILED(folder->GetAttributesOf(1, ids, &attributes)))
        attributes = 0;
    entry.attributes = attributes;
    if (!(attributes & SFGAO_FOLDER) || !(attributes & (SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR)))
        return (attributes & SFGAO_FILESYSTEM) != 0;
    if (FAILED(folder->BindToObject(relative, nullptr, IID_IShellFolder,
                                    reinterpret_cast<void **>(entry.folder.put()))) ||
        !entry.folder)
        return false;
    entry.absoluteId = JoinIds(parent.absoluteId.get(), relative);
    entry.path = ChildPath(folder, relative, entry.absoluteId.get());
    entry.isFolder = entry.path.empty() || shell_tree_rules::isDriveRoot(entry.path) ||
                     NamesFolderOrUnreadable(entry.path);
    if (!entry.isFolder) {
        // A file that the shell opens like a folder (an archive, for instance).
        entry.attributes &= ~SFGAO_FOLDER;
        entry.folder.reset();
    }
    return true;
}

// False when the folder cannot be listed at all.
bool ListChildren(const ShellTreeItem &parent, std::vector<ChildEntry> &entries) {
    ComPtr<IEnumIDList> list;
    if (parent.folder->EnumObjects(GetParent(g_tree), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, list.put()) !=
            S_OK ||
        !list)
        return false;
    for (;;) {
        ItemIdListHandle child;
        ULONG fetched = 0;
        if (list->Next(1, child.put(), &fetched) != S_OK || fetched != 1 || !child)
            break;
        ChildEntry entry;
        entry.relativeId = std::move(child);
        if (ClassifyChild(parent, entry))
            entries.push_back(std::move(entry));
    }
    return true;
}

// True when the entry is in the tree, or left out only because it has no name.
bool InsertChild(HTREEITEM parent, const ShellTreeItem &parentRecord, ChildEntry &entry) {
    if (!entry.named)
        return true;
    std::unique_ptr<ShellTreeItem> record(new ShellTreeItem());
    if (entry.absoluteId) {
        record->absoluteId = std::move(entry.absoluteId);
        record->path = std::move(entry.path);
    } else {
        record->absoluteId = JoinIds(parentRecord.absoluteId.get(), entry.relativeId.get());
        record->path = ChildPath(parentRecord.folder.get(), entry.relativeId.get(), record->absoluteId.get());
    }
    record->folder = std::move(entry.folder);
    record->relativeId = std::move(entry.relativeId);
    return InsertItem(parent, entry.name, std::move(record), entry.isFolder) != nullptr;
}

// Lists, sorts and inserts the item's children. Throws std::bad_alloc when memory runs out.
void LoadChildren(HTREEITEM item) {
    ShellTreeItem *record = RecordOf(item);
    if (!record || !record->folder)
        return;
    std::vector<ChildEntry> entries;
    if (!ListChildren(*record, entries))
        return;
    const ShellCollation collation;
    shell_tree_rules::sortSiblings(entries, collation);
    bool inserted = false;
    SendMessageW(g_tree, WM_SETREDRAW, FALSE, 0);
    for (ChildEntry &entry : entries)
        inserted = InsertChild(item, *record, entry) || inserted;
    SendMessageW(g_tree, WM_SETREDRAW, TRUE, 0);
    if (!inserted)
        SetChildMarker(item, 0);
}

bool BuildRoot() {
    ItemIdListHandle desktopIds;
    if (FAILED(SHGetSpecialFolderLocation(GetParent(g_tree), CSIDL_DESKTOP, desktopIds.put())) || !desktopIds)
        return false;
    g_desktop.reset();
    if (FAILED(SHGetDesktopFolder(g_desktop.put())) || !g_desktop)
        return false;
    SHFILEINFOW info = {};
    HIMAGELIST images = reinterpret_cast<HIMAGELIST>(
        SHGetFileInfoW(reinterpret_cast<LPCWSTR>(desktopIds.get()), 0, &info, sizeof info,
                       SHGFI_PIDL | SHGFI_SYSICONINDEX | SHGFI_SMALLICON));
    if (!images)
        return false;
    TreeView_SetImageList(g_tree, images, TVSIL_NORMAL);
    std::wstring name;
    if (!DisplayName(g_desktop.get(), desktopIds.get(), name))
        return false;
    std::unique_ptr<ShellTreeItem> record(new ShellTreeItem());
    record->folder = g_desktop;
    record->relativeId = CopyIds(desktopIds.get());
    record->path = PathOf(desktopIds.get());
    record->absoluteId = std::move(desktopIds);
    HTREEITEM root = InsertItem(TVI_ROOT, name, std::move(record), false);
    if (!root)
        return false;
    LoadChildren(root);
    if (ShellTreeItem *rootRecord = RecordOf(root))
        rootRecord->enumerated = true;
    TreeView_Expand(g_tree, root, TVE_EXPAND);
    return true;
}

LRESULT OnItemExpanding(const NMTREEVIEWW *change) {
    HTREEITEM item = change->itemNew.hItem;
    ShellTreeItem *record = RecordOf(item);
    if (!record || TreeView_GetChild(g_tree, item))
        return FALSE;
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    if (!record->enumerated) {
        try {
            LoadChildren(item);
        } catch (const std::bad_alloc &) {
            ShowResourceMessage(GetAncestor(g_tree, GA_ROOT), IDS_EXPAND_FAILED, MB_OK | MB_ICONERROR);
        }
    }
    record->enumerated = true;
    SetCursor(previous);
    return FALSE;
}

// DROPFILES (wide, list at offset 20) followed by the path, its zero and the zero ending the list.
GlobalMemory DropFilesFor(const std::wstring &path) {
    const SIZE_T bytes = sizeof(DROPFILES) + (path.size() + 2) * sizeof(wchar_t);
    GlobalMemory block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes));
    DROPFILES *header = block ? static_cast<DROPFILES *>(GlobalLock(block.get())) : nullptr;
    if (!header)
        return GlobalMemory();
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    CopyMemory(header + 1, path.c_str(), path.size() * sizeof(wchar_t));
    GlobalUnlock(block.get());
    return block;
}

HGLOBAL CopyOfBlock(HGLOBAL source) {
    const SIZE_T bytes = GlobalSize(source);
    GlobalMemory copy(GlobalAlloc(GMEM_MOVEABLE, bytes));
    void *to = copy ? GlobalLock(copy.get()) : nullptr;
    if (!to)
        return nullptr;
    const void *from = GlobalLock(source);
    if (from)
        CopyMemory(to, from, bytes);
    GlobalUnlock(source);
    GlobalUnlock(copy.get());
    return from ? copy.release() : nullptr;
}

void OnBeginDrag(HWND pane, const NMTREEVIEWW *drag) {
    const ShellTreeItem *record = reinterpret_cast<const ShellTreeItem *>(drag->itemNew.lParam);
    if (!record || record->path.empty())
        return;
    g_dragData = DropFilesFor(record->path);
    if (!g_dragData)
        return;
    RunDrag(pane);
    g_dragData.reset();
}

} // namespace

HWND CreateShellTree(HWND pane) {
    const DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_GROUP | WS_TABSTOP | TVS_HASBUTTONS |
                        TVS_HASLINES | TVS_SHOWSELALWAYS;
    HWND tree =
        CreateWindowExW(WS_EX_CLIENTEDGE, WC_TREEVIEWW, L"", style, 0, 0, 1, 1, pane,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kShellTreeId)), g_instance, nullptr);
    bool built = false;
    if (tree) {
        ApplyExplorerTreeTheme(tree, TVS_HASLINES | TVS_LINESATROOT);
        g_tree = tree;
        try {
            built = BuildRoot();
        } catch (const std::bad_alloc &) {
            built = false;
        }
    }
    if (built)
        return tree;
    DestroyShellTree();
    ShowResourceMessage(g_mainWindow, IDS_TREE_INIT_FAILED, MB_OK | MB_ICONERROR);
    PostMessageW(g_mainWindow, WM_CLOSE, 0, 0);
    return nullptr;
}

// The small icon and the small open icon of an item, from its absolute id, kept by the tree
// once asked for.
void OnGetDisplayInfo(NMTVDISPINFOW *info) {
    const ShellTreeItem *record = reinterpret_cast<const ShellTreeItem *>(info->item.lParam);
    if (!record || !(info->item.mask & (TVIF_IMAGE | TVIF_SELECTEDIMAGE)))
        return;
    const LPCITEMIDLIST absolute = record->absoluteId.get();
    if (info->item.mask & TVIF_IMAGE)
        info->item.iImage = absolute ? SmallIcon(absolute, 0) : 0;
    if (info->item.mask & TVIF_SELECTEDIMAGE)
        info->item.iSelectedImage = absolute ? SmallIcon(absolute, SHGFI_OPENICON) : 0;
    info->item.mask |= TVIF_DI_SETITEM;
}

LRESULT ShellTreeNotify(HWND pane, WPARAM wParam, LPARAM lParam) {
    const NMHDR *header = reinterpret_cast<const NMHDR *>(lParam);
    const NMTREEVIEWW *change = reinterpret_cast<const NMTREEVIEWW *>(lParam);
    switch (header->code) {
    case TVN_DELETEITEMW:
        delete reinterpret_cast<ShellTreeItem *>(change->itemOld.lParam);
        return 0;
    case TVN_BEGINDRAGW:
        OnBeginDrag(pane, change);
        return 0;
    case TVN_ITEMEXPANDINGW:
        return OnItemExpanding(change);
    case TVN_SELCHANGEDW:
        return 0;
    case TVN_GETDISPINFOW:
        OnGetDisplayInfo(reinterpret_cast<NMTVDISPINFOW *>(lParam));
        return 0;
    }
    return DefWindowProcW(pane, WM_NOTIFY, wParam, lParam);
}

void DestroyShellTree() {
    if (g_tree)
        DestroyWindow(g_tree); // deletes every item, and with it every record
    g_tree = nullptr;
    g_desktop.reset();
}

void AnswerDragDataRequest(UINT format, DragDataRequest *request) {
    if (request && format == CF_HDROP && g_dragData)
        request->data = CopyOfBlock(g_dragData.get());
}

HWND ShellTreeControl() {
    return g_tree;
}

HIMAGELIST ShellTreeImages() {
    return g_tree ? TreeView_GetImageList(g_tree, TVSIL_NORMAL) : nullptr;
}

HTREEITEM ShellTreeSelection() {
    return g_tree ? TreeView_GetSelection(g_tree) : nullptr;
}

std::wstring ShellTreeItemPath(HTREEITEM item) {
    const ShellTreeItem *record = RecordOf(item);
    return record ? record->path : std::wstring();
}

long LiveShellTreeItems() {
    return g_liveItems;
}
