#include "cabforge/ui/drag_source.h"

#include <new>
#include <vector>

#include "cabforge/ui/shell_tree.h"

namespace {

class FormatEnumerator : public ComObject<IEnumFORMATETC> {
  public:
    FormatEnumerator(const std::vector<FORMATETC> &formats, ULONG position)
        : m_formats(formats), m_position(position) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, FORMATETC *out, ULONG *fetched) override {
        if (!out || (!fetched && count != 1))
            return E_INVALIDARG;
        ULONG done = 0;
        while (done < count && m_position < m_formats.size())
            out[done++] = m_formats[m_position++];
        if (fetched)
            *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const ULONG left = static_cast<ULONG>(m_formats.size()) - m_position;
        if (count > left) {
            m_position = static_cast<ULONG>(m_formats.size());
            return S_FALSE;
        }
        m_position += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        m_position = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumFORMATETC **out) override {
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) FormatEnumerator(m_formats, m_position);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

  private:
    std::vector<FORMATETC> m_formats;
    ULONG m_position;
};

class DragData : public ComObject<IDataObject> {
  public:
    explicit DragData(HWND pane) : m_pane(pane) {
        m_formats.push_back({CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL});
    }

    HRESULT STDMETHODCALLTYPE GetData(FORMATETC *wanted, STGMEDIUM *medium) override {
        if (!wanted || !medium)
            return E_INVALIDARG;
        const FORMATETC *format = Find(*wanted);
        if (!format)
            return DV_E_FORMATETC;
        DragDataRequest request = {nullptr};
        SendMessageW(m_pane, WM_DRAG_DATA_REQUEST, format->cfFormat, reinterpret_cast<LPARAM>(&request));
        if (!request.data)
            return STG_E_MEDIUMFULL;
        // No release object: the receiver owns the block and frees it.
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = request.data;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC *, STGMEDIUM *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC *wanted) override {
        return wanted && Find(*wanted) ? S_OK : DV_E_FORMATETC;
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC *, FORMATETC *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC *, STGMEDIUM *, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC **out) override {
        if (direction != DATADIR_GET)
            return E_NOTIMPL;
        if (!out)
            return E_POINTER;
        *out = new (std::nothrow) FormatEnumerator(m_formats, 0);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC *, DWORD, IAdviseSink *, DWORD *) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_NOCONNECTION; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA **) override { return OLE_E_ADVISENOTSUPPORTED; }

  private:
    const FORMATETC *Find(const FORMATETC &wanted) const {
        for (const FORMATETC &format : m_formats) {
            if (format.cfFormat == wanted.cfFormat && (wanted.tymed & format.tymed))
                return &format;
        }
        return nullptr;
    }

    HWND m_pane;
    std::vector<FORMATETC> m_formats;
};

class DropSource : public ComObject<IDropSource> {
  public:
    DropSource() : m_button(GetKeyState(VK_RBUTTON) < 0 ? MK_RBUTTON : MK_LBUTTON) {}

    HRESULT STDMETHODCALLTYPE QueryContinueDrag(BOOL escapePressed, DWORD keyState) override {
        if (escapePressed)
            return DRAGDROP_S_CANCEL;
        return keyState & m_button ? S_OK : DRAGDROP_S_DROP;
    }
    HRESULT STDMETHODCALLTYPE GiveFeedback(DWORD) override { return DRAGDROP_S_USEDEFAULTCURSORS; }

  private:
    DWORD m_button;
};

} // namespace

ComPtr<IDataObject> CreateDragData(HWND pane) {
    return ComPtr<IDataObject>(new (std::nothrow) DragData(pane));
}

ComPtr<IDropSource> CreateDropSource() {
    return ComPtr<IDropSource>(new (std::nothrow) DropSource());
}

void RunDrag(HWND pane) {
    ComPtr<IDataObject> data = CreateDragData(pane);
    ComPtr<IDropSource> source = CreateDropSource();
    if (!data || !source)
        return;
    DWORD effect = DROPEFFECT_NONE;
    DoDragDrop(data.get(), source.get(), DROPEFFECT_COPY, &effect);
}
