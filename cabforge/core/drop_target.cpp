#include "cabforge/core/drop_target.h"

#include <new>

#include "cabforge/core/win_handles.h"

namespace {

class DropTarget : public ComObject<IDropTarget> {
  public:
    DropTarget(HWND window, const std::vector<CLIPFORMAT> &formats, UINT message)
        : m_window(window), m_formats(formats), m_message(message) {}

    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject *data, DWORD keyState, POINTL point,
                                        DWORD *effect) override {
        if (data)
            data->AddRef();
        m_data = ComPtr<IDataObject>(data);
        return Notify(kDropEnter, keyState, point, effect);
    }
    HRESULT STDMETHODCALLTYPE DragOver(DWORD keyState, POINTL point, DWORD *effect) override {
        return Notify(kDropOver, keyState, point, effect);
    }
    HRESULT STDMETHODCALLTYPE DragLeave() override {
        m_data.reset();
        SendMessageW(m_window, m_message, kDropLeave, 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Drop(IDataObject *data, DWORD keyState, POINTL point, DWORD *effect) override {
        if (data) {
            data->AddRef();
            m_data = ComPtr<IDataObject>(data);
        }
        const HRESULT result = Notify(kDropDrop, keyState, point, effect);
        m_data.reset();
        return result;
    }

  private:
    // Sends the stage with the first accepted format the data offers; the fetched data is
    // released once the window has handled the message.
    HRESULT Notify(DropStage stage, DWORD keyState, POINTL point, DWORD *effect) {
        if (!effect)
            return E_INVALIDARG;
        DropRecord record = {};
        record.point.x = point.x;
        record.point.y = point.y;
        record.effect = DROPEFFECT_NONE;
        record.keyState = keyState;
        record.dataObject = m_data.get();
        STGMEDIUM medium = {};
        bool fetched = false;
        for (CLIPFORMAT format : m_formats) {
            if (!m_data)
                break;
            FORMATETC wanted = {format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
            if (m_data->GetData(&wanted, &medium) == S_OK) {
                if (medium.tymed == TYMED_HGLOBAL) {
                    record.format = format;
                    record.data = medium.hGlobal;
                    fetched = true;
                    break;
                }
                ReleaseStgMedium(&medium);
            }
        }
        // The window may be gone while the drag goes on (it revokes the target on destruction).
        AddRef();
        SendMessageW(m_window, m_message, stage, reinterpret_cast<LPARAM>(&record));
        Release();
        if (fetched)
            ReleaseStgMedium(&medium);
        *effect &= record.effect;
        return S_OK;
    }

    HWND m_window;
    std::vector<CLIPFORMAT> m_formats;
    UINT m_message;
    ComPtr<IDataObject> m_data;
};

} // namespace

bool RegisterDropTarget(HWND window, const std::vector<CLIPFORMAT> &formats, UINT message) {
    // OLE holds its own reference while the target is registered.
    ComPtr<DropTarget> target(new (std::nothrow) DropTarget(window, formats, message));
    return target && SUCCEEDED(RegisterDragDrop(window, target.get()));
}

void RevokeDropTarget(HWND window) {
    RevokeDragDrop(window);
}
