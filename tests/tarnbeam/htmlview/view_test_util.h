// Helpers for the HTML view tests: message pumping, window searches, event arguments as the
// browser passes them, and the recording program registered as an address handler.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

// Handles this thread's messages for `ms` milliseconds.
void PumpMessages(DWORD ms);

// A window of this class among the descendants of `root` (null: the thread's windows and
// theirs), or null.
HWND FindWindowOfClass(HWND root, const wchar_t *cls);

// The arguments of one event, built in the order the event declares them and handed to
// Invoke last first, as the browser does. Owns its strings.
class EventArgList {
  public:
    EventArgList() = default;
    ~EventArgList();
    EventArgList(const EventArgList &) = delete;
    EventArgList &operator=(const EventArgList &) = delete;

    EventArgList &Text(const wchar_t *text);     // VT_BSTR
    EventArgList &TextRef(const wchar_t *text);  // VARIANT* holding a VT_BSTR
    EventArgList &Number(long value);            // VT_I4
    EventArgList &NumberRef(long value);         // VARIANT* holding a VT_I4
    EventArgList &Flag(bool value);              // VT_BOOL
    EventArgList &Dispatch(IDispatch *value);    // VT_DISPATCH
    EventArgList &DispatchOut();                 // VT_BYREF|VT_DISPATCH
    EventArgList &BoolOut(VARIANT_BOOL initial); // VT_BYREF|VT_BOOL
    EventArgList &LongOut(long initial);         // VT_BYREF|VT_I4

    HRESULT InvokeOn(IDispatch *target, DISPID id);
    // The out-parameter of argument `position` after the call.
    VARIANT_BOOL BoolAt(size_t position) const { return m_bools[position]; }
    long LongAt(size_t position) const { return m_longs[position]; }

  private:
    static const size_t kMaxArgs = 8;
    VARIANT &Add();

    VARIANT m_args[kMaxArgs];     // declared order
    VARIANT m_referred[kMaxArgs]; // what a VARIANT* argument points to
    VARIANT_BOOL m_bools[kMaxArgs] = {};
    long m_longs[kMaxArgs] = {};
    IDispatch *m_dispatchOut[kMaxArgs] = {};
    size_t m_count = 0;
};

// Registers urlrecorder.exe as the handler of the address schemes `schemes` (HKCR), logging to a
// fresh file of its own; unregisters and deletes the log on destruction. Registering a scheme the
// prefix has (http) replaces its handler: such tests run in a private prefix.
class RecorderScheme {
  public:
    explicit RecorderScheme(std::vector<std::wstring> schemes);
    ~RecorderScheme();
    RecorderScheme(const RecorderScheme &) = delete;
    RecorderScheme &operator=(const RecorderScheme &) = delete;

    bool ok() const { return m_ok; }
    // The log's lines once `count` are there or `timeoutMs` has passed.
    std::vector<std::string> WaitForLines(size_t count, DWORD timeoutMs) const;

  private:
    std::vector<std::wstring> m_schemes;
    std::wstring m_log;
    bool m_ok = false;
};
