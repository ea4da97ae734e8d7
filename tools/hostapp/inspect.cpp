#include "tools/hostapp/inspect.h"

#include <commctrl.h>

#include <vector>

namespace {

const UINT kSendTimeoutMs = 1500;
const int kMaxItems = 500;
const int kItemTextChars = 1024;

// Set when a window of the snapshot did not answer in time: its thread is busy (the
// programs under test do network work on their UI thread), so the rest of the snapshot
// asks nothing more instead of waiting for every control in turn.
bool g_unresponsive = false;

bool Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR *result) {
    *result = 0;
    if (g_unresponsive)
        return false;
    if (SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, result))
        return true;
    g_unresponsive = true;
    return false;
}

// Sends a message that carries no pointers; gives 0 when the target does not answer.
LRESULT Ask(HWND hwnd, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
    DWORD_PTR result = 0;
    if (!Send(hwnd, msg, wp, lp, &result))
        return 0;
    return static_cast<LRESULT>(result);
}

// Memory in another process, freed on scope exit.
class RemoteBuffer {
  public:
    RemoteBuffer(HWND owner, SIZE_T size) : m_size(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(owner, &pid);
        m_process =
            OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                        FALSE, pid);
        if (m_process)
            m_address = VirtualAllocEx(m_process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteBuffer() {
        if (m_address)
            VirtualFreeEx(m_process, m_address, 0, MEM_RELEASE);
        if (m_process)
            CloseHandle(m_process);
    }
    RemoteBuffer(const RemoteBuffer &) = delete;
    RemoteBuffer &operator=(const RemoteBuffer &) = delete;

    bool ok() const { return m_address != nullptr; }
    char *at(SIZE_T offset) const { return static_cast<char *>(m_address) + offset; }
    bool write(SIZE_T offset, const void *data, SIZE_T size) const {
        SIZE_T done = 0;
        return WriteProcessMemory(m_process, at(offset), data, size, &done) && done == size;
    }
    bool read(SIZE_T offset, void *data, SIZE_T size) const {
        SIZE_T done = 0;
        return ReadProcessMemory(m_process, at(offset), data, size, &done) && done == size;
    }
    std::wstring readText(SIZE_T offset, size_t maxChars) const {
        std::vector<wchar_t> buf(maxChars + 1, L'\0');
        if (!read(offset, buf.data(), maxChars * sizeof(wchar_t)))
            return std::wstring();
        buf[maxChars] = L'\0';
        return std::wstring(buf.data());
    }

  private:
    HANDLE m_process = nullptr;
    void *m_address = nullptr;
    SIZE_T m_size;
};

bool IsClass(const std::wstring &cls, const wchar_t *name) {
    return lstrcmpiW(cls.c_str(), name) == 0;
}

void WriteRectValue(JsonWriter &w, const RECT &r) {
    w.beginArray();
    w.num(r.left);
    w.num(r.top);
    w.num(r.right);
    w.num(r.bottom);
    w.endArray();
}

void WriteRect(JsonWriter &w, HWND hwnd) {
    RECT r = {};
    GetWindowRect(hwnd, &r);
    WriteRectValue(w, r);
}

// Each row's image index and the screen rectangle its picture is drawn in (where a screenshot
// shows whether the picture is really there).
void WriteListViewImages(JsonWriter &w, HWND lv, int count) {
    RemoteBuffer buf(lv, sizeof(LVITEMW) + sizeof(RECT));
    w.key("itemImages");
    w.beginArray();
    for (int i = 0; i < count && i < kMaxItems && buf.ok(); ++i) {
        LVITEMW item = {};
        item.mask = LVIF_IMAGE;
        item.iItem = i;
        LVITEMW back = {};
        DWORD_PTR ok = 0;
        if (buf.write(0, &item, sizeof item) &&
            Send(lv, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(buf.at(0)), &ok) && ok &&
            buf.read(0, &back, sizeof back))
            w.num(back.iImage);
        else
            w.num(-1);
    }
    w.endArray();
    w.key("iconRects");
    w.beginArray();
    for (int i = 0; i < count && i < kMaxItems && buf.ok(); ++i) {
        RECT r = {};
        r.left = LVIR_ICON;
        DWORD_PTR ok = 0;
        const SIZE_T at = sizeof(LVITEMW);
        if (buf.write(at, &r, sizeof r) &&
            Send(lv, LVM_GETITEMRECT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf.at(at)), &ok) &&
            ok && buf.read(at, &r, sizeof r))
            MapWindowPoints(lv, nullptr, reinterpret_cast<POINT *>(&r), 2);
        else
            r = RECT{};
        WriteRectValue(w, r);
    }
    w.endArray();
}

void WriteListViewItems(JsonWriter &w, HWND lv) {
    int count = static_cast<int>(Ask(lv, LVM_GETITEMCOUNT));
    HWND header = reinterpret_cast<HWND>(Ask(lv, LVM_GETHEADER));
    int columns = header ? static_cast<int>(Ask(header, HDM_GETITEMCOUNT)) : 0;
    w.key("itemCount");
    w.num(count);
    w.key("columnCount");
    w.num(columns);
    if (columns < 1)
        columns = 1;
    w.key("selectedItems");
    w.beginArray();
    for (int i = 0; i < count && i < kMaxItems; ++i) {
        if (Ask(lv, LVM_GETITEMSTATE, i, LVIS_SELECTED) & LVIS_SELECTED)
            w.num(i);
    }
    w.endArray();
    w.key("items");
    w.beginArray();
    RemoteBuffer buf(lv, sizeof(LVITEMW) + kItemTextChars * sizeof(wchar_t));
    for (int i = 0; i < count && i < kMaxItems && buf.ok(); ++i) {
        w.beginArray();
        for (int c = 0; c < columns; ++c) {
            LVITEMW item = {};
            item.iSubItem = c;
            item.pszText = reinterpret_cast<LPWSTR>(buf.at(sizeof(LVITEMW)));
            item.cchTextMax = kItemTextChars;
            wchar_t zero = 0;
            std::wstring text;
            if (buf.write(0, &item, sizeof item) && buf.write(sizeof(LVITEMW), &zero, sizeof zero)) {
                DWORD_PTR len = 0;
                if (Send(lv, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(buf.at(0)), &len))
                    text = buf.readText(sizeof(LVITEMW), kItemTextChars - 1);
            }
            w.str(text);
        }
        w.endArray();
    }
    w.endArray();
    WriteListViewImages(w, lv, count);
}

void WriteTabItems(JsonWriter &w, HWND tab) {
    int count = static_cast<int>(Ask(tab, TCM_GETITEMCOUNT));
    w.key("itemCount");
    w.num(count);
    w.key("selectedTab");
    w.num(static_cast<int>(Ask(tab, TCM_GETCURSEL)));
    w.key("tabs");
    w.beginArray();
    RemoteBuffer buf(tab, sizeof(TCITEMW) + kItemTextChars * sizeof(wchar_t));
    for (int i = 0; i < count && i < kMaxItems && buf.ok(); ++i) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = reinterpret_cast<LPWSTR>(buf.at(sizeof(TCITEMW)));
        item.cchTextMax = kItemTextChars;
        wchar_t zero = 0;
        std::wstring text;
        if (buf.write(0, &item, sizeof item) && buf.write(sizeof(TCITEMW), &zero, sizeof zero) &&
            Ask(tab, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(buf.at(0))))
            text = buf.readText(sizeof(TCITEMW), kItemTextChars - 1);
        w.str(text);
    }
    w.endArray();
}

void WriteTreeItems(JsonWriter &w, HWND tree) {
    w.key("itemCount");
    w.num(static_cast<int>(Ask(tree, TVM_GETCOUNT)));
    w.key("treeItems");
    w.beginArray();
    RemoteBuffer buf(tree, sizeof(TVITEMW) + kItemTextChars * sizeof(wchar_t));
    HTREEITEM selected = reinterpret_cast<HTREEITEM>(Ask(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    // Depth-first walk over the items that exist (children of collapsed lazily filled
    // branches do not exist yet). Siblings are pushed in reverse to come out in order.
    std::vector<std::pair<HTREEITEM, int>> stack;
    auto pushSiblings = [&](HTREEITEM first, int depth) {
        std::vector<HTREEITEM> items;
        for (HTREEITEM it = first; it && items.size() < static_cast<size_t>(kMaxItems);) {
            items.push_back(it);
            it = reinterpret_cast<HTREEITEM>(
                Ask(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(it)));
        }
        for (auto r = items.rbegin(); r != items.rend(); ++r)
            stack.push_back({*r, depth});
    };
    pushSiblings(reinterpret_cast<HTREEITEM>(Ask(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0)), 0);
    int emitted = 0;
    while (!stack.empty() && emitted < kMaxItems && buf.ok()) {
        auto [item, depth] = stack.back();
        stack.pop_back();
        ++emitted;
        TVITEMW tv = {};
        tv.mask = TVIF_TEXT | TVIF_STATE | TVIF_HANDLE;
        tv.hItem = item;
        tv.stateMask = TVIS_EXPANDED | TVIS_SELECTED;
        tv.pszText = reinterpret_cast<LPWSTR>(buf.at(sizeof(TVITEMW)));
        tv.cchTextMax = kItemTextChars;
        wchar_t zero = 0;
        std::wstring text;
        UINT state = 0;
        if (buf.write(0, &tv, sizeof tv) && buf.write(sizeof(TVITEMW), &zero, sizeof zero) &&
            Ask(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(buf.at(0)))) {
            text = buf.readText(sizeof(TVITEMW), kItemTextChars - 1);
            TVITEMW back = {};
            if (buf.read(0, &back, sizeof back))
                state = back.state;
        }
        w.beginObject();
        w.key("text");
        w.str(text);
        w.key("depth");
        w.num(depth);
        w.key("expanded");
        w.boolean((state & TVIS_EXPANDED) != 0);
        w.key("selected");
        w.boolean(item == selected);
        w.endObject();
        pushSiblings(reinterpret_cast<HTREEITEM>(
                         Ask(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item))),
                     depth + 1);
    }
    w.endArray();
}

// Combo and list boxes: the system copies their item texts across processes.
void WriteStringItems(JsonWriter &w, HWND box, bool combo) {
    UINT msgCount = combo ? CB_GETCOUNT : LB_GETCOUNT;
    UINT msgSel = combo ? CB_GETCURSEL : LB_GETCURSEL;
    UINT msgLen = combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN;
    UINT msgText = combo ? CB_GETLBTEXT : LB_GETTEXT;
    int count = static_cast<int>(Ask(box, msgCount));
    w.key("itemCount");
    w.num(count);
    w.key("curSel");
    w.num(static_cast<int>(Ask(box, msgSel)));
    LONG style = GetWindowLongW(box, GWL_STYLE);
    bool hasStrings =
        combo ? (!(style & (CBS_OWNERDRAWFIXED | CBS_OWNERDRAWVARIABLE)) || (style & CBS_HASSTRINGS))
              : (!(style & (LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE)) || (style & LBS_HASSTRINGS));
    w.key("strings");
    w.beginArray();
    for (int i = 0; hasStrings && i < count && i < kMaxItems; ++i) {
        LRESULT len = Ask(box, msgLen, i);
        if (len < 0 || len > 65536) {
            w.str(L"");
            continue;
        }
        std::vector<wchar_t> text(static_cast<size_t>(len) + 2, L'\0');
        DWORD_PTR got = 0;
        Send(box, msgText, i, reinterpret_cast<LPARAM>(text.data()), &got);
        w.str(std::wstring(text.data()));
    }
    w.endArray();
}

void WriteControl(JsonWriter &w, HWND ctrl) {
    std::wstring cls = WindowClassName(ctrl);
    LONG style = GetWindowLongW(ctrl, GWL_STYLE);
    w.beginObject();
    w.key("hwnd");
    w.unum(reinterpret_cast<ULONG_PTR>(ctrl));
    w.key("parent");
    w.unum(reinterpret_cast<ULONG_PTR>(GetParent(ctrl)));
    w.key("id");
    w.num(static_cast<int>(GetWindowLongPtrW(ctrl, GWLP_ID)));
    w.key("class");
    w.str(cls);
    w.key("text");
    w.str(ControlText(ctrl));
    w.key("enabled");
    w.boolean(IsWindowEnabled(ctrl) != FALSE);
    w.key("visible");
    w.boolean(IsWindowVisible(ctrl) != FALSE);
    w.key("style");
    w.unum(static_cast<unsigned long>(style));
    w.key("rect");
    WriteRect(w, ctrl);
    if (IsClass(cls, L"Button")) {
        LONG type = style & BS_TYPEMASK;
        bool checkable = type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON ||
                         type == BS_AUTORADIOBUTTON || type == BS_3STATE || type == BS_AUTO3STATE;
        w.key("checkable");
        w.boolean(checkable);
        w.key("checked");
        w.num(static_cast<int>(Ask(ctrl, BM_GETCHECK)));
        w.key("default");
        w.boolean(type == BS_DEFPUSHBUTTON);
    } else if (IsClass(cls, WC_LISTVIEWW)) {
        WriteListViewItems(w, ctrl);
    } else if (IsClass(cls, WC_TABCONTROLW)) {
        WriteTabItems(w, ctrl);
    } else if (IsClass(cls, WC_TREEVIEWW)) {
        WriteTreeItems(w, ctrl);
    } else if (IsClass(cls, L"ComboBox")) {
        WriteStringItems(w, ctrl, true);
    } else if (IsClass(cls, L"ListBox")) {
        WriteStringItems(w, ctrl, false);
    } else if (IsClass(cls, PROGRESS_CLASSW)) {
        w.key("pos");
        w.num(static_cast<int>(Ask(ctrl, PBM_GETPOS)));
        w.key("rangeLow");
        w.num(static_cast<int>(Ask(ctrl, PBM_GETRANGE, TRUE, 0)));
        w.key("rangeHigh");
        w.num(static_cast<int>(Ask(ctrl, PBM_GETRANGE, FALSE, 0)));
    }
    w.endObject();
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM lp) {
    reinterpret_cast<std::vector<HWND> *>(lp)->push_back(hwnd);
    return TRUE;
}

} // namespace

std::wstring RemoteWindowText(HWND hwnd) {
    DWORD_PTR len = 0;
    if (!Send(hwnd, WM_GETTEXTLENGTH, 0, 0, &len))
        return std::wstring();
    if (len > (1u << 20))
        len = 1u << 20;
    std::vector<wchar_t> buf(len + 2, L'\0');
    DWORD_PTR got = 0;
    if (!Send(hwnd, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), &got))
        return std::wstring();
    buf[buf.size() - 1] = L'\0';
    return std::wstring(buf.data());
}

std::wstring ControlText(HWND hwnd) {
    std::wstring cls = WindowClassName(hwnd);
    if (IsClass(cls, L"Button") || IsClass(cls, L"Static"))
        return WindowCaption(hwnd);
    return RemoteWindowText(hwnd);
}

HWND KeyboardFocus(HWND top) {
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    return GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &gui) ? gui.hwndFocus : nullptr;
}

std::wstring WindowCaption(HWND hwnd) {
    wchar_t text[1024] = {};
    InternalGetWindowText(hwnd, text, 1024);
    return text;
}

std::wstring WindowClassName(HWND hwnd) {
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

void WriteWindowSnapshot(JsonWriter &w, HWND top, HWND host, DWORD elapsedMs) {
    g_unresponsive = false;
    DWORD pid = 0;
    GetWindowThreadProcessId(top, &pid);
    HWND owner = GetWindow(top, GW_OWNER);
    w.key("ms");
    w.num(elapsedMs);
    w.key("hwnd");
    w.unum(reinterpret_cast<ULONG_PTR>(top));
    w.key("pid");
    w.num(pid);
    w.key("class");
    w.str(WindowClassName(top));
    w.key("caption");
    w.str(WindowCaption(top));
    w.key("enabled");
    w.boolean(IsWindowEnabled(top) != FALSE);
    w.key("visible");
    w.boolean(IsWindowVisible(top) != FALSE);
    w.key("owner");
    w.unum(reinterpret_cast<ULONG_PTR>(owner));
    w.key("ownerIsHost");
    w.boolean(owner != nullptr && owner == host);
    w.key("style");
    w.unum(static_cast<unsigned long>(GetWindowLongW(top, GWL_STYLE)));
    w.key("exStyle");
    w.unum(static_cast<unsigned long>(GetWindowLongW(top, GWL_EXSTYLE)));
    w.key("rect");
    WriteRect(w, top);
    // The keyboard focus of the window's thread: {hwnd, id, class}, hwnd 0 when it has none.
    HWND focus = KeyboardFocus(top);
    w.key("focus");
    w.beginObject();
    w.key("hwnd");
    w.unum(reinterpret_cast<ULONG_PTR>(focus));
    w.key("id");
    w.num(focus ? static_cast<int>(GetWindowLongPtrW(focus, GWLP_ID)) : 0);
    w.key("class");
    w.str(focus ? WindowClassName(focus) : std::wstring());
    w.endObject();
    std::vector<HWND> children;
    EnumChildWindows(top, CollectChild, reinterpret_cast<LPARAM>(&children));
    w.key("controls");
    w.beginArray();
    for (HWND c : children)
        WriteControl(w, c);
    w.endArray();
    w.key("responsive");
    w.boolean(!g_unresponsive);
    g_unresponsive = false;
}

bool ReadRemoteString(DWORD pid, ULONG_PTR address, std::wstring &out) {
    out.clear();
    HANDLE process = OpenProcess(PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process)
        return false;
    const size_t kLimit = 32768;
    const size_t kChunk = 128;
    bool ok = true;
    wchar_t buf[kChunk];
    while (out.size() < kLimit) {
        SIZE_T done = 0;
        const char *from = reinterpret_cast<const char *>(address) + out.size() * sizeof(wchar_t);
        size_t take = kChunk;
        if (!ReadProcessMemory(process, from, buf, take * sizeof(wchar_t), &done) || done == 0) {
            // The chunk may cross into an unreadable page: fall back to one character.
            take = 1;
            if (!ReadProcessMemory(process, from, buf, sizeof(wchar_t), &done) || done != sizeof(wchar_t)) {
                ok = false;
                break;
            }
        } else {
            take = done / sizeof(wchar_t);
        }
        size_t i = 0;
        while (i < take && buf[i] != L'\0')
            ++i;
        out.append(buf, i);
        if (i < take)
            break;
    }
    CloseHandle(process);
    return ok;
}

bool SelectListViewItem(HWND list, int index) {
    RemoteBuffer buf(list, sizeof(LVITEMW));
    if (!buf.ok())
        return false;
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0;
    DWORD_PTR result = 0;
    g_unresponsive = false;
    // Clear every row, then select the one asked for.
    if (!buf.write(0, &item, sizeof item) ||
        !Send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(buf.at(0)), &result))
        return false;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (!buf.write(0, &item, sizeof item) ||
        !Send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buf.at(0)),
              &result) ||
        !result)
        return false;
    Send(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), FALSE, &result);
    return true;
}
