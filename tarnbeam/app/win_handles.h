// Holders for the update client's platform resources: each closes what it holds when it goes
// out of scope, so every path through a function releases what it opened.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdio>
#include <utility>

// One owner of one resource of kind T; Traits names the empty value and how to release.
template <class T, class Traits> class UniqueHolder {
  public:
    UniqueHolder() : m_value(Traits::empty()) {}
    explicit UniqueHolder(T value) : m_value(value) {}
    ~UniqueHolder() { reset(); }
    UniqueHolder(const UniqueHolder &) = delete;
    UniqueHolder &operator=(const UniqueHolder &) = delete;
    UniqueHolder(UniqueHolder &&other) noexcept : m_value(other.release()) {}
    UniqueHolder &operator=(UniqueHolder &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T get() const { return m_value; }
    bool valid() const { return Traits::valid(m_value); }
    explicit operator bool() const { return valid(); }
    // For functions that return the resource through a pointer; whatever was held is released.
    T *put() {
        reset();
        return &m_value;
    }
    void reset(T value = Traits::empty()) {
        if (Traits::valid(m_value))
            Traits::close(m_value);
        m_value = value;
    }
    T release() {
        T value = m_value;
        m_value = Traits::empty();
        return value;
    }

  private:
    T m_value;
};

namespace handle_traits {

// Kernel handles: null and INVALID_HANDLE_VALUE both mean none.
struct Kernel {
    static HANDLE empty() { return nullptr; }
    static bool valid(HANDLE h) { return h && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct Find {
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) { return h && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};
struct RegistryKey {
    static HKEY empty() { return nullptr; }
    static bool valid(HKEY h) { return h != nullptr; }
    static void close(HKEY h) { RegCloseKey(h); }
};
struct Internet {
    static HINTERNET empty() { return nullptr; }
    static bool valid(HINTERNET h) { return h != nullptr; }
    static void close(HINTERNET h) { InternetCloseHandle(h); }
};
struct GlobalMemory {
    static HGLOBAL empty() { return nullptr; }
    static bool valid(HGLOBAL h) { return h != nullptr; }
    static void close(HGLOBAL h) { GlobalFree(h); }
};
// Memory the system allocated for us with LocalAlloc (CommandLineToArgvW, FormatMessageW).
struct LocalMemory {
    static void *empty() { return nullptr; }
    static bool valid(void *p) { return p != nullptr; }
    static void close(void *p) { LocalFree(p); }
};
// Icons created or loaded without LR_SHARED.
struct Icon {
    static HICON empty() { return nullptr; }
    static bool valid(HICON h) { return h != nullptr; }
    static void close(HICON h) { DestroyIcon(h); }
};
template <class G> struct Gdi {
    static G empty() { return nullptr; }
    static bool valid(G h) { return h != nullptr; }
    static void close(G h) { DeleteObject(h); }
};
struct File {
    static std::FILE *empty() { return nullptr; }
    static bool valid(std::FILE *f) { return f != nullptr; }
    static void close(std::FILE *f) { std::fclose(f); }
};

struct Library {
    static HMODULE empty() { return nullptr; }
    static bool valid(HMODULE h) { return h != nullptr; }
    static void close(HMODULE h) { FreeLibrary(h); }
};
struct CryptProvider {
    static HCRYPTPROV empty() { return 0; }
    static bool valid(HCRYPTPROV h) { return h != 0; }
    static void close(HCRYPTPROV h) { CryptReleaseContext(h, 0); }
};
struct CryptHash {
    static HCRYPTHASH empty() { return 0; }
    static bool valid(HCRYPTHASH h) { return h != 0; }
    static void close(HCRYPTHASH h) { CryptDestroyHash(h); }
};

struct CertContext {
    static PCCERT_CONTEXT empty() { return nullptr; }
    static bool valid(PCCERT_CONTEXT c) { return c != nullptr; }
    static void close(PCCERT_CONTEXT c) { CertFreeCertificateContext(c); }
};
struct CertStore {
    static HCERTSTORE empty() { return nullptr; }
    static bool valid(HCERTSTORE s) { return s != nullptr; }
    static void close(HCERTSTORE s) { CertCloseStore(s, 0); }
};
struct CryptMessage {
    static HCRYPTMSG empty() { return nullptr; }
    static bool valid(HCRYPTMSG m) { return m != nullptr; }
    static void close(HCRYPTMSG m) { CryptMsgClose(m); }
};
struct CertChain {
    static PCCERT_CHAIN_CONTEXT empty() { return nullptr; }
    static bool valid(PCCERT_CHAIN_CONTEXT c) { return c != nullptr; }
    static void close(PCCERT_CHAIN_CONTEXT c) { CertFreeCertificateChain(c); }
};

struct Bstr {
    static BSTR empty() { return nullptr; }
    static bool valid(BSTR s) { return s != nullptr; }
    static void close(BSTR s) { SysFreeString(s); }
};
struct SafeArray {
    static SAFEARRAY *empty() { return nullptr; }
    static bool valid(SAFEARRAY *a) { return a != nullptr; }
    static void close(SAFEARRAY *a) { SafeArrayDestroy(a); }
};

} // namespace handle_traits

using KernelHandle = UniqueHolder<HANDLE, handle_traits::Kernel>;
using FindHandle = UniqueHolder<HANDLE, handle_traits::Find>;
using RegKeyHandle = UniqueHolder<HKEY, handle_traits::RegistryKey>;
using InternetHandle = UniqueHolder<HINTERNET, handle_traits::Internet>;
using GlobalMemory = UniqueHolder<HGLOBAL, handle_traits::GlobalMemory>;
using LocalMemory = UniqueHolder<void *, handle_traits::LocalMemory>;
using IconHandle = UniqueHolder<HICON, handle_traits::Icon>;
template <class G> using GdiObject = UniqueHolder<G, handle_traits::Gdi<G>>;
using FileHandle = UniqueHolder<std::FILE *, handle_traits::File>;
using LibraryHandle = UniqueHolder<HMODULE, handle_traits::Library>;
using CryptProviderHandle = UniqueHolder<HCRYPTPROV, handle_traits::CryptProvider>;
using CryptHashHandle = UniqueHolder<HCRYPTHASH, handle_traits::CryptHash>;
using CertContextHandle = UniqueHolder<PCCERT_CONTEXT, handle_traits::CertContext>;
using CertStoreHandle = UniqueHolder<HCERTSTORE, handle_traits::CertStore>;
using CertChainHandle = UniqueHolder<PCCERT_CHAIN_CONTEXT, handle_traits::CertChain>;
using CryptMessageHandle = UniqueHolder<HCRYPTMSG, handle_traits::CryptMessage>;
using BstrHandle = UniqueHolder<BSTR, handle_traits::Bstr>;
using SafeArrayHandle = UniqueHolder<SAFEARRAY *, handle_traits::SafeArray>;

// One counted reference to a COM interface.
template <class I> class ComPtr {
  public:
    ComPtr() : m_p(nullptr) {}
    // Takes over a reference the caller already owns.
    explicit ComPtr(I *owned) : m_p(owned) {}
    ComPtr(const ComPtr &other) : m_p(other.m_p) {
        if (m_p)
            m_p->AddRef();
    }
    ComPtr(ComPtr &&other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ComPtr &operator=(ComPtr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~ComPtr() { reset(); }

    I *get() const { return m_p; }
    I *operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // For out-parameters of type I**; whatever was held is released first.
    I **put() {
        reset();
        return &m_p;
    }
    void reset() {
        if (m_p) {
            I *p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }
    I *detach() {
        I *p = m_p;
        m_p = nullptr;
        return p;
    }
    // Another interface of the same object, empty when the object does not answer it.
    template <class J> ComPtr<J> as() const {
        ComPtr<J> other;
        if (m_p)
            m_p->QueryInterface(__uuidof(J), reinterpret_cast<void **>(other.put()));
        return other;
    }

  private:
    I *m_p;
};

// Balances a successful OleInitialize on this thread.
class OleSession {
  public:
    OleSession() : m_ok(SUCCEEDED(OleInitialize(nullptr))) {}
    ~OleSession() {
        if (m_ok)
            OleUninitialize();
    }
    OleSession(const OleSession &) = delete;
    OleSession &operator=(const OleSession &) = delete;

    bool ok() const { return m_ok; }

  private:
    bool m_ok;
};
