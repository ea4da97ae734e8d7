#include "tests/tarnbeam/htmlview/view_test_util.h"

#include <cstdio>
#include <cstring>

namespace {

struct ClassSearch {
    const wchar_t *cls;
    HWND found;
};

BOOL CALLBACK MatchClass(HWND hwnd, LPARAM lp) {
    ClassSearch *search = reinterpret_cast<ClassSearch *>(lp);
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    if (lstrcmpiW(name, search->cls) == 0) {
        search->found = hwnd;
        return FALSE;
    }
    EnumChildWindows(hwnd, MatchClass, lp);
    return search->found ? FALSE : TRUE;
}

std::wstring WindowsPath(const char *unixPath) {
    std::wstring path = L"Z:";
    for (const char *c = unixPath; *c; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

} // namespace

void PumpMessages(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

HWND FindWindowOfClass(HWND root, const wchar_t *cls) {
    ClassSearch search = {cls, nullptr};
    if (root)
        EnumChildWindows(root, MatchClass, reinterpret_cast<LPARAM>(&search));
    else
        EnumThreadWindows(GetCurrentThreadId(), MatchClass, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

EventArgList::~EventArgList() {
    for (size_t i = 0; i < m_count; ++i) {
        if (V_VT(&m_args[i]) == VT_BSTR)
            VariantClear(&m_args[i]);
        VariantClear(&m_referred[i]);
    }
}

VARIANT &EventArgList::Add() {
    VARIANT &v = m_args[m_count];
    VariantInit(&v);
    VariantInit(&m_referred[m_count]);
    ++m_count;
    return v;
}

EventArgList &EventArgList::Text(const wchar_t *text) {
    VARIANT &v = Add();
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return *this;
}

EventArgList &EventArgList::TextRef(const wchar_t *text) {
    size_t i = m_count;
    VARIANT &v = Add();
    V_VT(&m_referred[i]) = VT_BSTR;
    V_BSTR(&m_referred[i]) = SysAllocString(text);
    V_VT(&v) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&v) = &m_referred[i];
    return *this;
}

EventArgList &EventArgList::Number(long value) {
    VARIANT &v = Add();
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return *this;
}

EventArgList &EventArgList::NumberRef(long value) {
    size_t i = m_count;
    VARIANT &v = Add();
    V_VT(&m_referred[i]) = VT_I4;
    V_I4(&m_referred[i]) = value;
    V_VT(&v) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&v) = &m_referred[i];
    return *this;
}

EventArgList &EventArgList::Flag(bool value) {
    VARIANT &v = Add();
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return *this;
}

EventArgList &EventArgList::Dispatch(IDispatch *value) {
    VARIANT &v = Add();
    V_VT(&v) = VT_DISPATCH;
    V_DISPATCH(&v) = value;
    return *this;
}

EventArgList &EventArgList::DispatchOut() {
    size_t i = m_count;
    VARIANT &v = Add();
    V_VT(&v) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&v) = &m_dispatchOut[i];
    return *this;
}

EventArgList &EventArgList::BoolOut(VARIANT_BOOL initial) {
    size_t i = m_count;
    VARIANT &v = Add();
    m_bools[i] = initial;
    V_VT(&v) = VT_BYREF | VT_BOOL;
    V_BOOLREF(&v) = &m_bools[i];
    return *this;
}

EventArgList &EventArgList::LongOut(long initial) {
    size_t i = m_count;
    VARIANT &v = Add();
    m_longs[i] = initial;
    V_VT(&v) = VT_BYREF | VT_I4;
    V_I4REF(&v) = &m_longs[i];
    return *this;
}

HRESULT EventArgList::InvokeOn(IDispatch *target, DISPID id) {
    VARIANT reversed[kMaxArgs];
    for (size_t i = 0; i < m_count; ++i)
        reversed[i] = m_args[m_count - 1 - i];
    DISPPARAMS params = {m_count ? reversed : nullptr, nullptr, static_cast<UINT>(m_count), 0};
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                          nullptr);
}

RecorderScheme::RecorderScheme(std::vector<std::wstring> schemes) : m_schemes(std::move(schemes)) {
    wchar_t folder[MAX_PATH] = {};
    wchar_t file[MAX_PATH] = {};
    if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"url", 0, file))
        return;
    m_log = file;
    DeleteFileW(m_log.c_str());
    SetEnvironmentVariableW(L"TB_URLRECORDER_LOG", m_log.c_str());
    const std::wstring command = L"\"" + WindowsPath(TB_URLRECORDER_EXE) + L"\" \"%1\"";
    m_ok = !m_schemes.empty();
    for (const std::wstring &scheme : m_schemes) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, scheme.c_str());
        HKEY key = nullptr;
        const std::wstring path = scheme + L"\\shell\\open\\command";
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr) != 0) {
            m_ok = false;
            continue;
        }
        m_ok = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(command.c_str()),
                              static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) == 0 &&
               m_ok;
        RegCloseKey(key);
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, scheme.c_str(), 0, KEY_WRITE, &key) == 0) {
            RegSetValueExW(key, L"URL Protocol", 0, REG_SZ, reinterpret_cast<const BYTE *>(L""),
                           sizeof(wchar_t));
            RegCloseKey(key);
        }
    }
}

RecorderScheme::~RecorderScheme() {
    for (const std::wstring &scheme : m_schemes)
        RegDeleteTreeW(HKEY_CLASSES_ROOT, scheme.c_str());
    SetEnvironmentVariableW(L"TB_URLRECORDER_LOG", nullptr);
    if (!m_log.empty())
        DeleteFileW(m_log.c_str());
}

std::vector<std::string> RecorderScheme::WaitForLines(size_t count, DWORD timeoutMs) const {
    std::vector<std::string> lines;
    DWORD start = GetTickCount();
    for (;;) {
        lines.clear();
        HANDLE file = CreateFileW(m_log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            std::string text;
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
                text.append(buffer, got);
            CloseHandle(file);
            size_t from = 0;
            for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', from)) {
                lines.push_back(text.substr(from, end - from));
                from = end + 1;
            }
        }
        if (lines.size() >= count || GetTickCount() - start >= timeoutMs)
            return lines;
        PumpMessages(50);
    }
}
