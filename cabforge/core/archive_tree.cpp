#include "cabforge/core/archive_tree.h"

#include <shellapi.h>

#include <algorithm>
#include <iterator>

#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_paths.h"
#include "cabforge/core/cab/archive_names.h"
#include "cabforge/core/cmdline/command_line.h"
#include "cabforge/core/progress_dialog.h"
#include "cabforge/core/win_handles.h"
#include "cabforge/core/win_util.h"
#include "cabforge/resources/resource.h"

ArchiveTree g_archiveTree;

namespace {

const int kTextChars = 260;
// Refused paths named in the message after an addition; the rest are counted.
const std::size_t kRefusedShown = 10;

int ShellIcon(const wchar_t *path, DWORD attributes, UINT flags) {
    SHFILEINFOW info = {};
    if (!SHGetFileInfoW(path, attributes, &info, sizeof info, flags | SHGFI_SYSICONINDEX | SHGFI_SMALLICON))
        return -1;
    return info.iIcon;
}

std::wstring LowerExtension(const std::wstring &path) {
    const std::wstring name = cfcmd::fileNamePart(path);
    const std::size_t dot = name.rfind(L'.');
    std::wstring ext = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
    if (!ext.empty())
        CharLowerBuffW(&ext[0], static_cast<DWORD>(ext.size()));
    return ext;
}

std::wstring JoinPath(const std::wstring &folder, const std::wstring &name) {
    if (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        return folder + name;
    return folder + L'\\' + name;
}

// The entries of a folder in the file system's order, "." and ".." left out; none when it cannot
// be listed.
std::vector<std::wstring> ListFolder(const std::wstring &folder) {
    std::vector<std::wstring> entries;
    WIN32_FIND_DATAW found = {};
    FindHandle search(FindFirstFileW(JoinPath(folder, L"*.*").c_str(), &found));
    if (!search)
        return entries;
    do {
        if (lstrcmpW(found.cFileName, L".") == 0 || lstrcmpW(found.cFileName, L"..") == 0)
            continue;
        entries.push_back(JoinPath(folder, found.cFileName));
    } while (FindNextFileW(search.get(), &found));
    return entries;
}

// The path made full and normal: no "." or ".." components, one separator between components.
bool FullPath(const std::wstring &path, std::wstring &full) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    std::wstring buffer(needed, L'\0');
    const DWORD n = GetFullPathNameW(path.c_str(), needed, &buffer[0], nullptr);
    if (n == 0 || n >= needed)
        return false;
    buffer.resize(n);
    full = buffer;
    return true;
}

int CompareOrdinal(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE);
}

// The refused paths as the message lists them: the first few, one a line, then how many more.
std::wstring RefusedList(const std::vector<std::wstring> &refused) {
    std::wstring list;
    for (std::size_t i = 0; i < refused.size() && i < kRefusedShown; ++i)
        list += (i ? L"\n" : L"") + refused[i];
    if (refused.size() > kRefusedShown)
        list += L"\n(+" + std::to_wstring(refused.size() - kRefusedShown) + L")";
    return list;
}

} // namespace

bool SameArchiveName(const std::wstring &a, const std::wstring &b) {
    return CompareOrdinal(a, b) == CSTR_EQUAL;
}

bool IsArchiveComponent(const std::wstring &name) {
    std::string utf8;
    return Utf16ToUtf8(name, utf8) && cabw::componentProblem(utf8) == cabw::NameProblem::None;
}

bool ArchiveTree::NameLess::operator()(const std::wstring &a, const std::wstring &b) const {
    return lstrcmpiW(a.c_str(), b.c_str()) < 0;
}

bool ArchiveTree::OrdinalLess::operator()(const std::wstring &a, const std::wstring &b) const {
    return CompareOrdinal(a, b) == CSTR_LESS_THAN;
}

ArchiveTree::ArchiveTree() = default;
ArchiveTree::~ArchiveTree() = default;

void ArchiveTree::attach(HWND tree, HIMAGELIST images) {
    m_tree = tree;
    m_images = images;
    m_index.clear();
    m_batch = false;
}

HTREEITEM ArchiveTree::root() const {
    return m_tree ? TreeView_GetRoot(m_tree) : nullptr;
}

bool ArchiveTree::hasEntries() const {
    return m_tree && TreeView_GetCount(m_tree) > 1;
}

void ArchiveTree::reset() {
    if (!m_tree)
        return;
    m_index.clear();
    TreeView_DeleteAllItems(m_tree);
    const int icon = ShellIcon(L"a.cab", FILE_ATTRIBUTE_NORMAL, SHGFI_USEFILEATTRIBUTES);
    const std::wstring text = LoadResourceString(IDS_ARCHIVE_ROOT);
    TVINSERTSTRUCTW insert = {};
    insert.hParent = TVI_ROOT;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = const_cast<LPWSTR>(text.c_str());
    insert.item.iImage = icon;
    insert.item.iSelectedImage = icon;
    insert.item.lParam = 0;
    SendMessageW(m_tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert));
}

void ArchiveTree::freeItemData(LPARAM data) {
    std::unique_ptr<std::wstring> source(reinterpret_cast<std::wstring *>(data));
}

const std::wstring *ArchiveTree::sourceOf(HTREEITEM item) const {
    if (!m_tree || !item)
        return nullptr;
    TVITEMW tv = {};
    tv.mask = TVIF_PARAM | TVIF_HANDLE;
    tv.hItem = item;
    if (!TreeView_GetItem(m_tree, &tv))
        return nullptr;
    return reinterpret_cast<const std::wstring *>(tv.lParam);
}

std::wstring ArchiveTree::textOf(HTREEITEM item) const {
    wchar_t text[kTextChars] = {};
    TVITEMW tv = {};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = text;
    tv.cchTextMax = kTextChars;
    if (!m_tree || !TreeView_GetItem(m_tree, &tv))
        return std::wstring();
    text[kTextChars - 1] = L'\0';
    return text;
}

HTREEITEM ArchiveTree::parentOf(HTREEITEM item) const {
    return m_tree && item ? TreeView_GetParent(m_tree, item) : nullptr;
}

HTREEITEM ArchiveTree::firstChildOf(HTREEITEM item) const {
    return m_tree && item ? TreeView_GetChild(m_tree, item) : nullptr;
}

HTREEITEM ArchiveTree::nextSiblingOf(HTREEITEM item) const {
    return m_tree && item ? TreeView_GetNextSibling(m_tree, item) : nullptr;
}

HTREEITEM ArchiveTree::nextInWalk(HTREEITEM item, HTREEITEM top) const {
    if (!sourceOf(item)) {
        if (HTREEITEM child = firstChildOf(item))
            return child;
    }
    for (HTREEITEM at = item; at && at != top; at = parentOf(at)) {
        if (HTREEITEM next = nextSiblingOf(at))
            return next;
    }
    return nullptr;
}

void ArchiveTree::expand(HTREEITEM item) {
    if (m_tree && item)
        TreeView_Expand(m_tree, item, TVE_EXPAND);
}

void ArchiveTree::beginBatch() {
    m_index.clear();
    m_batch = true;
}

void ArchiveTree::endBatch() {
    m_index.clear();
    m_batch = false;
}

ArchiveTree::Siblings *ArchiveTree::indexOf(HTREEITEM parent) {
    if (!m_batch)
        return nullptr;
    auto found = m_index.find(parent);
    if (found != m_index.end())
        return &found->second;
    Siblings &siblings = m_index[parent];
    for (HTREEITEM child = firstChildOf(parent); child; child = nextSiblingOf(child)) {
        const std::wstring text = textOf(child);
        siblings.sorted.emplace(text, child);
        siblings.byName.emplace(text, child);
    }
    return &siblings;
}

HTREEITEM ArchiveTree::findChild(HTREEITEM parent, const std::wstring &name) {
    if (Siblings *siblings = indexOf(parent)) {
        auto found = siblings->byName.find(name);
        return found == siblings->byName.end() ? nullptr : found->second;
    }
    for (HTREEITEM child = firstChildOf(parent); child; child = nextSiblingOf(child)) {
        if (SameArchiveName(textOf(child), name))
            return child;
    }
    return nullptr;
}

HTREEITEM ArchiveTree::insertSorted(HTREEITEM parent, const std::wstring &name, int image, int selected,
                                    std::unique_ptr<std::wstring> source) {
    if (!m_tree || !parent)
        return nullptr;
    const std::wstring text = name.substr(0, kTextChars - 1);
    TVINSERTSTRUCTW insert = {};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_SORT;
    Siblings *siblings = indexOf(parent);
    if (siblings) {
        // After the last sibling that does not sort behind the new name.
        auto behind = siblings->sorted.upper_bound(text);
        insert.hInsertAfter = behind == siblings->sorted.begin() ? TVI_FIRST : std::prev(behind)->second;
    }
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = const_cast<LPWSTR>(text.c_str());
    insert.item.iImage = image;
    insert.item.iSelectedImage = selected;
    insert.item.lParam = reinterpret_cast<LPARAM>(source.get());
    HTREEITEM item = reinterpret_cast<HTREEITEM>(
        SendMessageW(m_tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    if (!item)
        return nullptr;
    source.release(); // now owned by the item, freed on its delete notification
    if (siblings) {
        siblings->sorted.emplace(text, item);
        siblings->byName.emplace(text, item);
    }
    return item;
}

HTREEITEM ArchiveTree::insertFolder(HTREEITEM parent, const std::wstring &name) {
    if (m_folderIcon < 0) {
        m_folderIcon = ShellIcon(L"folder", FILE_ATTRIBUTE_DIRECTORY, SHGFI_USEFILEATTRIBUTES);
        m_folderOpenIcon =
            ShellIcon(L"folder", FILE_ATTRIBUTE_DIRECTORY, SHGFI_USEFILEATTRIBUTES | SHGFI_OPENICON);
    }
    return insertSorted(parent, name, m_folderIcon, m_folderOpenIcon, nullptr);
}

void ArchiveTree::fileIcons(const std::wstring &path, int &image, int &selected) {
    const std::wstring ext = LowerExtension(path);
    // Every type but the few with icons of their own shares one icon per extension, so a drop of
    // thousands of files does not ask the shell once per file.
    if (archive_paths::asksOwnIcon(path)) {
        image = ShellIcon(path.c_str(), 0, 0);
        selected = ShellIcon(path.c_str(), 0, SHGFI_OPENICON);
        if (image >= 0)
            return;
    }
    auto cached = m_iconsByExtension.find(ext);
    if (cached == m_iconsByExtension.end()) {
        const std::wstring probe = L"a" + ext;
        const int normal = ShellIcon(probe.c_str(), FILE_ATTRIBUTE_NORMAL, SHGFI_USEFILEATTRIBUTES);
        const int open =
            ShellIcon(probe.c_str(), FILE_ATTRIBUTE_NORMAL, SHGFI_USEFILEATTRIBUTES | SHGFI_OPENICON);
        cached = m_iconsByExtension.emplace(ext, std::make_pair(normal, open)).first;
    }
    image = cached->second.first;
    selected = cached->second.second;
}

HTREEITEM ArchiveTree::insertFile(HTREEITEM parent, const std::wstring &name, const std::wstring &source) {
    int image = 0;
    int selected = 0;
    fileIcons(source, image, selected);
    return insertSorted(parent, name, image, selected,
                        std::unique_ptr<std::wstring>(new std::wstring(source)));
}

void ArchiveTree::addPaths(HTREEITEM parent, const std::vector<std::wstring> &paths) {
    if (!m_tree || !parent || paths.empty())
        return;
    // Entries never go below a file item: its folder takes them.
    if (sourceOf(parent))
        parent = parentOf(parent);
    // Full and normal before they are cut: ".." never becomes an item.
    std::vector<std::wstring> full;
    m_refused.clear();
    for (const std::wstring &path : paths) {
        std::wstring normal;
        if (FullPath(path, normal))
            full.push_back(normal);
        else
            m_refused.push_back(path);
    }
    if (!full.empty()) {
        const std::wstring firstBase = archive_paths::folderOf(full.front());
        if (!g_silent && !ProgressDialog::open(g_mainWindow, true))
            return;
        ProgressDialog::clearCancel();
        beginBatch();
        for (const std::wstring &path : full)
            addOne(archive_paths::baseFor(firstBase, path, ShellCaseFold), parent, path);
        endBatch();
        ProgressDialog::close();
        expand(parent);
        m_modified = true;
    }
    if (!m_refused.empty() && !g_silent)
        MessageBoxW(g_mainWindow, FormatResource(IDS_NAMES_REFUSED, RefusedList(m_refused)).c_str(),
                    LoadResourceString(IDS_CAPTION).c_str(), MB_OK | MB_ICONWARNING);
    m_refused.clear();
}

void ArchiveTree::addOne(const std::wstring &base, HTREEITEM parent, const std::wstring &path) {
    if (ProgressDialog::cancelled())
        return;
    ProgressDialog::pump();
    ProgressDialog::setDetail(cfcmd::fileNamePart(path));
    // The pump may have run the pane's destruction.
    if (!m_tree)
        return;
    if (IsExistingFolder(path)) {
        for (const std::wstring &entry : ListFolder(path))
            addOne(base, parent, entry);
        return;
    }
    std::wstring relative = archive_paths::relativeBelow(base, path, ShellCaseFold);
    if (relative.empty())
        relative = cfcmd::fileNamePart(path);
    std::vector<std::wstring> components = archive_paths::splitComponents(relative);
    for (std::wstring &component : components) {
        component = component.substr(0, kTextChars - 1);
        if (!IsArchiveComponent(component)) {
            m_refused.push_back(path);
            return;
        }
    }
    HTREEITEM cur = parent;
    for (std::size_t i = 0; i < components.size() && cur; ++i) {
        const bool last = i + 1 == components.size();
        const std::wstring &name = components[i];
        HTREEITEM existing = findChild(cur, name);
        if (existing) {
            if (last)
                return; // the item already there keeps its source path
            // A folder that meets a file of its name: its entries go to the file's folder.
            if (!sourceOf(existing))
                cur = existing;
            continue;
        }
        cur = last ? insertFile(cur, name, path) : insertFolder(cur, name);
    }
}

void ArchiveTree::removeItem(HTREEITEM item) {
    if (!m_tree || !item || item == root())
        return;
    TVITEMW probe = {};
    probe.mask = TVIF_HANDLE | TVIF_PARAM;
    probe.hItem = item;
    if (!TreeView_GetItem(m_tree, &probe))
        return;
    m_modified = true;
    m_index.clear();
    TreeView_DeleteItem(m_tree, item);
}

void ArchiveTree::collectFiles(std::vector<std::wstring> &sources, std::vector<std::wstring> &names) const {
    const HTREEITEM top = root();
    for (HTREEITEM item = firstChildOf(top); item; item = nextInWalk(item, top)) {
        const std::wstring *source = sourceOf(item);
        if (!source)
            continue;
        std::wstring name = textOf(item);
        for (HTREEITEM up = parentOf(item); up && up != top; up = parentOf(up))
            name = textOf(up) + L'\\' + name;
        sources.push_back(*source);
        names.push_back(name);
    }
}
