// Catches leaks of the file-system pane (item records, shell id lists, folder references that
// outlive the tree) and wrong answers of its drag objects to the OLE calls a drop target makes.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "cabforge/core/app_state.h"
#include "cabforge/core/archive_pane.h"
#include "cabforge/core/win_handles.h"
#include "cabforge/ui/drag_source.h"
#include "cabforge/ui/shell_tree.h"

namespace {

// Counts the blocks of the COM task allocator (where the shell and the tree put id lists) that
// are allocated while it is registered and not yet freed.
class TaskAllocatorSpy : public IMallocSpy {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMallocSpy)) {
            *out = static_cast<IMallocSpy *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
    void *STDMETHODCALLTYPE PostAlloc(void *block) override {
        if (block)
            m_live[block] = m_next++;
        return block;
    }
    void *STDMETHODCALLTYPE PreFree(void *block, BOOL) override {
        m_live.erase(block);
        return block;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void *block, SIZE_T size, void **request, BOOL) override {
        m_reallocated = block;
        *request = block;
        return size;
    }
    void *STDMETHODCALLTYPE PostRealloc(void *block, BOOL) override {
        if (block) {
            m_live.erase(m_reallocated);
            m_live[block] = m_next++;
        }
        return block;
    }
    void *STDMETHODCALLTYPE PreGetSize(void *block, BOOL) override { return block; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void *STDMETHODCALLTYPE PreDidAlloc(void *block, BOOL) override { return block; }
    int STDMETHODCALLTYPE PostDidAlloc(void *, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

    std::size_t live() const { return m_live.size(); }

  private:
    std::map<void *, unsigned> m_live;
    unsigned m_next = 0;
    void *m_reallocated = nullptr;
};

class Shell : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_ole.ok());
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TREEVIEW_CLASSES};
        InitCommonControlsEx(&controls);
        g_instance = GetModuleHandleW(nullptr);
        m_parent = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480, nullptr, nullptr,
                                   g_instance, nullptr);
        ASSERT_TRUE(m_parent);
        g_mainWindow = m_parent;
    }
    void TearDown() override {
        g_mainWindow = nullptr;
        if (m_parent)
            DestroyWindow(m_parent);
    }

    HWND m_parent = nullptr;
    OleSession m_ole;
};

HTREEITEM Child(HWND tree, HTREEITEM item) {
    return TreeView_GetChild(tree, item);
}
HTREEITEM Sibling(HWND tree, HTREEITEM item) {
    return TreeView_GetNextSibling(tree, item);
}

// Builds both panes, expands the computer item (a root child without a path that holds C:\),
// C:\ and every folder in C:\, and destroys the panes. Returns the records alive at the peak.
long BuildExpandAndDestroy(HWND parent) {
    HWND archivePane = nullptr;
    HWND fileSystemPane = nullptr;
    if (!CreatePanes(parent, archivePane, fileSystemPane) || !ShellTreeControl())
        return -1;
    HWND tree = ShellTreeControl();
    for (HTREEITEM top = Child(tree, TreeView_GetRoot(tree)); top; top = Sibling(tree, top)) {
        if (!ShellTreeItemPath(top).empty())
            continue;
        TreeView_Expand(tree, top, TVE_EXPAND);
        for (HTREEITEM drive = Child(tree, top); drive; drive = Sibling(tree, drive)) {
            if (ShellTreeItemPath(drive) != L"C:\\")
                continue;
            TreeView_Expand(tree, drive, TVE_EXPAND);
            for (HTREEITEM folder = Child(tree, drive); folder; folder = Sibling(tree, folder))
                TreeView_Expand(tree, folder, TVE_EXPAND);
        }
    }
    const long peak = LiveShellTreeItems();
    DestroyWindow(fileSystemPane);
    DestroyWindow(archivePane);
    return peak;
}

TEST_F(Shell, DestroyingTheTreeFreesEveryRecordIdListAndFolder) {
    ComPtr<IShellFolder> desktop;
    ASSERT_EQ(SHGetDesktopFolder(desktop.put()), S_OK);
    auto desktopRefs = [&desktop] {
        desktop->AddRef();
        return desktop->Release();
    };
    // A first round fills the shell's own caches (icons, type names) so that they do not count.
    ASSERT_GT(BuildExpandAndDestroy(m_parent), 0);
    const ULONG refsBefore = desktopRefs();
    TaskAllocatorSpy spy;
    ASSERT_EQ(CoRegisterMallocSpy(&spy), S_OK);
    const std::size_t before = spy.live();
    const long peak = BuildExpandAndDestroy(m_parent);
    const std::size_t after = spy.live();
    CoRevokeMallocSpy();
    // The root, the computer item, the drives and C:\'s folders with their children.
    EXPECT_GT(peak, 20);
    EXPECT_EQ(LiveShellTreeItems(), 0);
    EXPECT_EQ(ShellTreeControl(), nullptr);
    EXPECT_EQ(after, before) << "task allocator blocks left after the tree was destroyed";
    EXPECT_EQ(desktopRefs(), refsBefore);
}

// A pane stand-in that answers the drag's data requests with a block, or leaves them empty.
struct RequestLog {
    UINT format = 0;
    int requests = 0;
    bool answer = true;
};

LRESULT CALLBACK StandInPane(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DRAG_DATA_REQUEST) {
        RequestLog *log = reinterpret_cast<RequestLog *>(GetWindowLongPtrW(window, GWLP_USERDATA));
        log->format = static_cast<UINT>(wParam);
        ++log->requests;
        if (log->answer)
            reinterpret_cast<DragDataRequest *>(lParam)->data = GlobalAlloc(GMEM_MOVEABLE, 16);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(Shell, DragDataAnswersAsADropTargetExpects) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = StandInPane;
    wc.hInstance = g_instance;
    wc.lpszClassName = L"StandInPane";
    RegisterClassW(&wc);
    HWND pane =
        CreateWindowExW(0, L"StandInPane", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, g_instance, nullptr);
    ASSERT_TRUE(pane);
    RequestLog log;
    SetWindowLongPtrW(pane, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&log));
    ComPtr<IDataObject> data = CreateDragData(pane);
    ASSERT_TRUE(data);

    FORMATETC drop = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL | TYMED_ISTREAM};
    FORMATETC text = {CF_UNICODETEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    FORMATETC stream = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM};
    EXPECT_EQ(data->QueryGetData(&drop), S_OK);
    EXPECT_EQ(data->QueryGetData(&text), DV_E_FORMATETC);
    EXPECT_EQ(data->QueryGetData(&stream), DV_E_FORMATETC);

    STGMEDIUM medium = {};
    EXPECT_EQ(data->GetData(&text, &medium), DV_E_FORMATETC);
    EXPECT_EQ(log.requests, 0);
    ASSERT_EQ(data->GetData(&drop, &medium), S_OK);
    EXPECT_EQ(log.format, static_cast<UINT>(CF_HDROP));
    EXPECT_EQ(medium.tymed, static_cast<DWORD>(TYMED_HGLOBAL));
    EXPECT_TRUE(medium.hGlobal);
    EXPECT_EQ(medium.pUnkForRelease, nullptr); // the receiver owns the block
    ReleaseStgMedium(&medium);
    log.answer = false;
    EXPECT_EQ(data->GetData(&drop, &medium), STG_E_MEDIUMFULL);
    EXPECT_EQ(log.requests, 2);

    EXPECT_EQ(data->GetDataHere(&drop, &medium), E_NOTIMPL);
    FORMATETC canonical = {};
    EXPECT_EQ(data->GetCanonicalFormatEtc(&drop, &canonical), E_NOTIMPL);
    EXPECT_EQ(data->SetData(&drop, &medium, FALSE), E_NOTIMPL);
    DWORD connection = 0;
    EXPECT_EQ(data->DAdvise(&drop, 0, nullptr, &connection), OLE_E_ADVISENOTSUPPORTED);
    IEnumSTATDATA *advises = nullptr;
    EXPECT_EQ(data->EnumDAdvise(&advises), OLE_E_ADVISENOTSUPPORTED);
    EXPECT_EQ(data->DUnadvise(1), OLE_E_NOCONNECTION);
    IEnumFORMATETC *setFormats = nullptr;
    EXPECT_EQ(data->EnumFormatEtc(DATADIR_SET, &setFormats), E_NOTIMPL);
    DestroyWindow(pane);
}

TEST_F(Shell, FormatEnumeratorWalksOneFormat) {
    ComPtr<IDataObject> data = CreateDragData(m_parent);
    ASSERT_TRUE(data);
    ComPtr<IEnumFORMATETC> formats;
    ASSERT_EQ(data->EnumFormatEtc(DATADIR_GET, formats.put()), S_OK);
    FORMATETC got[2] = {};
    ULONG fetched = 9;
    EXPECT_EQ(formats->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got[0].cfFormat, CF_HDROP);
    EXPECT_EQ(got[0].tymed, static_cast<DWORD>(TYMED_HGLOBAL));
    EXPECT_EQ(got[0].dwAspect, static_cast<DWORD>(DVASPECT_CONTENT));
    EXPECT_EQ(got[0].lindex, -1);
    EXPECT_EQ(formats->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(formats->Reset(), S_OK);
    EXPECT_EQ(formats->Skip(5), S_FALSE); // stops at the end
    EXPECT_EQ(formats->Next(1, got, nullptr), S_FALSE);
    EXPECT_EQ(formats->Reset(), S_OK);
    ComPtr<IEnumFORMATETC> clone;
    ASSERT_EQ(formats->Clone(clone.put()), S_OK);
    EXPECT_EQ(formats->Skip(1), S_OK);
    EXPECT_EQ(formats->Next(1, got, nullptr), S_FALSE);
    EXPECT_EQ(clone->Next(1, got, nullptr), S_OK); // the clone kept its own position
}

TEST_F(Shell, DropSourceFollowsTheLeftButtonAndEsc) {
    ComPtr<IDropSource> source = CreateDropSource();
    ASSERT_TRUE(source);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_LBUTTON), S_OK);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, MK_RBUTTON), DRAGDROP_S_DROP);
    EXPECT_EQ(source->QueryContinueDrag(FALSE, 0), DRAGDROP_S_DROP);
    EXPECT_EQ(source->QueryContinueDrag(TRUE, MK_LBUTTON), DRAGDROP_S_CANCEL);
    EXPECT_EQ(source->GiveFeedback(DROPEFFECT_COPY), DRAGDROP_S_USEDEFAULTCURSORS);
}

} // namespace
