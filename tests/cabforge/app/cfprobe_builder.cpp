#include "tests/cabforge/app/cfprobe_builder.h"

#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int kTreeId = 103;
const int kArchivePaneId = 101;
const int kFileSystemPaneId = 102;
const int kSplitterId = 101;

} // namespace

HWND MainWindow() {
    return FindWindowW(L"cabforge_class", nullptr);
}

HWND Splitter() {
    HWND main = MainWindow();
    return main ? GetDlgItem(main, kSplitterId) : nullptr;
}

namespace {

HWND ArchiveTree() {
    HWND splitter = Splitter();
    HWND pane = splitter ? GetDlgItem(splitter, kArchivePaneId) : nullptr;
    return pane ? GetDlgItem(pane, kTreeId) : nullptr;
}

} // namespace

std::vector<TreeItem> WalkTree(HWND tree) {
    std::vector<TreeItem> items;
    std::vector<HTREEITEM> stack;
    HTREEITEM item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    int depth = 0;
    while (item) {
        items.push_back({item, depth});
        HTREEITEM child = reinterpret_cast<HTREEITEM>(
            SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)));
        if (child) {
            item = child;
            ++depth;
            continue;
        }
        while (item) {
            HTREEITEM next = reinterpret_cast<HTREEITEM>(
                SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)));
            if (next) {
                item = next;
                break;
            }
            item = reinterpret_cast<HTREEITEM>(
                SendMessageW(tree, TVM_GETNEXTITEM, TVGN_PARENT, reinterpret_cast<LPARAM>(item)));
            --depth;
        }
    }
    return items;
}

std::wstring ItemText(HWND tree, const Remote &remote, HTREEITEM item) {
    TVITEMW tv = {};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = reinterpret_cast<LPWSTR>(remote.at(512));
    tv.cchTextMax = 1024;
    wchar_t text[1024] = {};
    if (!remote.put(0, &tv, sizeof tv) || !remote.put(512, text, sizeof text) ||
        !SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote.at(0))) ||
        !remote.get(512, text, sizeof text))
        return std::wstring();
    text[1023] = L'\0';
    return text;
}

void PrintJsonString(const std::wstring &text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    std::fputs(out.c_str(), stdout);
}

namespace {

int Tree() {
    HWND tree = ArchiveTree();
    if (!tree)
        return 1;
    Remote remote(tree);
    if (!remote.ok())
        return 1;
    HTREEITEM selected = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    std::printf("{\"items\": [");
    bool first = true;
    for (const TreeItem &item : WalkTree(tree)) {
        std::printf(first ? "{\"text\": " : ", {\"text\": ");
        first = false;
        PrintJsonString(ItemText(tree, remote, item.handle));
        std::printf(", \"depth\": %d, \"selected\": %s}", item.depth,
                    item.handle == selected ? "true" : "false");
    }
    std::printf("]}\n");
    return 0;
}

HTREEITEM NthItem(HWND tree, int n) {
    const std::vector<TreeItem> items = WalkTree(tree);
    return n >= 0 && n < static_cast<int>(items.size()) ? items[n].handle : nullptr;
}

int Select(int n) {
    HWND tree = ArchiveTree();
    if (!tree)
        return 1;
    HTREEITEM item = NthItem(tree, n);
    if (n >= 0 && !item)
        return 1;
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    return 0;
}

int Post(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND main = MainWindow();
    return main && PostMessageW(main, message, wParam, lParam) ? 0 : 1;
}

int Command(int id) {
    HWND main = MainWindow();
    return main && PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, 0), 0) ? 0 : 1;
}

// The builder's thread sees Ctrl held while it takes the key (the accelerator test reads the
// key state of its own thread).
int Key(int vk, bool ctrl) {
    HWND tree = ArchiveTree();
    if (!tree)
        return 1;
    const DWORD target = GetWindowThreadProcessId(tree, nullptr);
    const DWORD self = GetCurrentThreadId();
    BYTE saved[256] = {};
    if (ctrl) {
        AttachThreadInput(self, target, TRUE);
        GetKeyboardState(saved);
        BYTE held[256];
        CopyMemory(held, saved, sizeof held);
        held[VK_CONTROL] = 0x80;
        held[VK_LCONTROL] = 0x80;
        SetKeyboardState(held);
    }
    PostMessageW(tree, WM_KEYDOWN, static_cast<WPARAM>(vk), 1);
    PostMessageW(tree, WM_KEYUP, static_cast<WPARAM>(vk), static_cast<LPARAM>(0xC0000001));
    if (ctrl) {
        // Let the builder take the key before Ctrl is released again.
        Sleep(500);
        SetKeyboardState(saved);
        AttachThreadInput(self, target, FALSE);
    }
    return 0;
}

int Layout() {
    HWND splitter = Splitter();
    if (!splitter)
        return 1;
    RECT client = {};
    GetClientRect(splitter, &client);
    RECT first = {};
    RECT second = {};
    GetWindowRect(GetDlgItem(splitter, kArchivePaneId), &first);
    GetWindowRect(GetDlgItem(splitter, kFileSystemPaneId), &second);
    MapWindowPoints(nullptr, splitter, reinterpret_cast<POINT *>(&second), 2);
    RECT main = {};
    GetClientRect(MainWindow(), &main);
    std::printf("{\"client\": %ld, \"height\": %ld, \"mainClient\": %ld, \"pane\": %ld, \"secondLeft\": %ld, "
                "\"secondWidth\": %ld}\n",
                client.right, client.bottom, main.right, first.right - first.left, second.left,
                second.right - second.left);
    return 0;
}

int Bar(int x) {
    HWND splitter = Splitter();
    if (!splitter)
        return 1;
    RECT first = {};
    GetWindowRect(GetDlgItem(splitter, kArchivePaneId), &first);
    const int start = first.right - first.left + 2;
    // The pointer goes along: moves the system makes up while the splitter holds the capture
    // then agree with the posted ones.
    POINT to = {x, 10};
    ClientToScreen(splitter, &to);
    SetCursorPos(to.x, to.y);
    PostMessageW(splitter, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(start, 10));
    PostMessageW(splitter, WM_MOUSEMOVE, MK_LBUTTON,
                 MAKELPARAM(static_cast<WORD>(static_cast<short>(x)), 10));
    PostMessageW(splitter, WM_LBUTTONUP, 0, MAKELPARAM(static_cast<WORD>(static_cast<short>(x)), 10));
    // A sent message is answered before posted ones are handled, so a busy builder may answer
    // before it has taken the drag: wait (at most 5 s) until the pane's width has moved.
    for (int i = 0; i < 100; ++i) {
        SendMessageW(splitter, WM_NULL, 0, 0);
        RECT now = {};
        GetWindowRect(GetDlgItem(splitter, kArchivePaneId), &now);
        if (now.right - now.left != first.right - first.left)
            break;
        Sleep(50);
    }
    return Layout();
}

// CF_HDROP data for a list of paths.
class FileDropData : public IDataObject {
  public:
    explicit FileDropData(const std::vector<std::wstring> &paths) {
        for (const std::wstring &path : paths) {
            m_list.insert(m_list.end(), path.begin(), path.end());
            m_list.push_back(L'\0');
        }
        m_list.push_back(L'\0');
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDataObject)) {
            *out = static_cast<IDataObject *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&m_refs); }
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC *format, STGMEDIUM *medium) override {
        if (QueryGetData(format) != S_OK)
            return DV_E_FORMATETC;
        const SIZE_T bytes = sizeof(DROPFILES) + m_list.size() * sizeof(wchar_t);
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
        if (!memory)
            return E_OUTOFMEMORY;
        char *block = static_cast<char *>(GlobalLock(memory));
        DROPFILES *header = reinterpret_cast<DROPFILES *>(block);
        header->pFiles = sizeof(DROPFILES);
        header->fWide = TRUE;
        CopyMemory(block + sizeof(DROPFILES), m_list.data(), m_list.size() * sizeof(wchar_t));
        GlobalUnlock(memory);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = memory;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC *, STGMEDIUM *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC *format) override {
        return format && format->cfFormat == CF_HDROP && (format->tymed & TYMED_HGLOBAL) ? S_OK
                                                                                         : DV_E_FORMATETC;
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC *, FORMATETC *out) override {
        out->ptd = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC *, STGMEDIUM *, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC **out) override {
        if (direction != DATADIR_GET)
            return E_NOTIMPL;
        FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        return SHCreateStdEnumFmtEtc(1, &format, out);
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC *, DWORD, IAdviseSink *, DWORD *) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA **) override { return OLE_E_ADVISENOTSUPPORTED; }

  private:
    LONG m_refs = 1;
    std::vector<wchar_t> m_list;
};

// Moves the pointer to the drop point in steps, rests over it, then drops: no mouse buttons.
class PointerDropSource : public IDropSource {
  public:
    explicit PointerDropSource(POINT to) : m_to(to) { GetCursorPos(&m_from); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDropSource)) {
            *out = static_cast<IDropSource *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryContinueDrag(BOOL, DWORD) override {
        ++m_calls;
        if (m_calls <= kSteps) {
            SetCursorPos(m_from.x + (m_to.x - m_from.x) * m_calls / kSteps,
                         m_from.y + (m_to.y - m_from.y) * m_calls / kSteps);
            return S_OK;
        }
        return m_calls < kSteps + kRest ? S_OK : DRAGDROP_S_DROP;
    }
    HRESULT STDMETHODCALLTYPE GiveFeedback(DWORD) override { return DRAGDROP_S_USEDEFAULTCURSORS; }

  private:
    static const int kSteps = 10;
    static const int kRest = 5;
    POINT m_from = {};
    POINT m_to;
    int m_calls = 0;
};

} // namespace

bool LabelCentre(HWND tree, const Remote &remote, HTREEITEM item, POINT &point) {
    SendMessageW(tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item));
    // TVM_GETITEMRECT takes the item handle in the rectangle's place.
    RECT rect = {};
    if (!remote.put(0, &item, sizeof item) ||
        !SendMessageW(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(remote.at(0))) ||
        !remote.get(0, &rect, sizeof rect))
        return false;
    point = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    return true;
}

bool DropPoint(const std::wstring &where, POINT &point) {
    HWND tree = ArchiveTree();
    if (!tree)
        return false;
    RECT client = {};
    GetClientRect(tree, &client);
    if (where == L"empty") {
        point = {client.right / 2, client.bottom - 5};
    } else {
        const int n = where == L"root" ? 0 : (where.rfind(L"item:", 0) == 0 ? _wtoi(where.c_str() + 5) : -1);
        HTREEITEM item = NthItem(tree, n);
        Remote remote(tree);
        if (!item || !remote.ok())
            return false;
        if (!LabelCentre(tree, remote, item, point))
            return false;
    }
    ClientToScreen(tree, &point);
    return true;
}

namespace {

int Drop(const std::wstring &where, const std::vector<std::wstring> &paths) {
    POINT point = {};
    if (!DropPoint(where, point))
        return 1;
    if (FAILED(OleInitialize(nullptr)))
        return 1;
    SetCursorPos(point.x - 40 > 0 ? point.x - 40 : 0, point.y);
    FileDropData data(paths);
    PointerDropSource source(point);
    DWORD effect = DROPEFFECT_NONE;
    const HRESULT result = DoDragDrop(&data, &source, DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect);
    OleUninitialize();
    std::printf("{\"result\": \"0x%08lx\", \"effect\": %lu}\n", static_cast<unsigned long>(result),
                static_cast<unsigned long>(effect));
    return result == DRAGDROP_S_DROP ? 0 : 1;
}

} // namespace

bool IsBuilderCommand(const std::wstring &command) {
    return command == L"tree" || command == L"select" || command == L"command" || command == L"key" ||
           command == L"layout" || command == L"bar" || command == L"drop" || command == L"post";
}

int RunBuilderCommand(const std::wstring &command, int argc, wchar_t **args) {
    if (command == L"tree")
        return Tree();
    if (command == L"layout")
        return Layout();
    if (argc < 1)
        return 2;
    if (command == L"select")
        return Select(_wtoi(args[0]));
    if (command == L"command")
        return Command(_wtoi(args[0]));
    if (command == L"key")
        return Key(_wtoi(args[0]), argc > 1 && std::wstring(args[1]) == L"ctrl");
    if (command == L"post" && argc >= 3)
        return Post(static_cast<UINT>(wcstoul(args[0], nullptr, 0)),
                    static_cast<WPARAM>(wcstoul(args[1], nullptr, 0)),
                    static_cast<LPARAM>(wcstol(args[2], nullptr, 0)));
    if (command == L"bar")
        return Bar(_wtoi(args[0]));
    if (command == L"drop" && argc >= 2)
        return Drop(args[0], std::vector<std::wstring>(args + 1, args + argc));
    return 2;
}
