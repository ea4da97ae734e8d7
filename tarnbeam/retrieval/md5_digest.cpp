#include "tarnbeam/retrieval/md5_digest.h"

#include <vector>

bool Md5Digest::begin() {
    m_hash.reset();
    m_failed = false;
    if (!m_provider && !CryptAcquireContextW(m_provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                                             CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return false;
    return CryptCreateHash(m_provider.get(), CALG_MD5, 0, 0, m_hash.put()) != FALSE;
}

bool Md5Digest::add(const BYTE *data, DWORD size) {
    if (!m_hash || !CryptHashData(m_hash.get(), data, size, 0))
        m_failed = true;
    return !m_failed;
}

std::wstring Md5Digest::finish() {
    BYTE digest[16] = {};
    DWORD size = sizeof digest;
    const bool ok = m_hash && !m_failed && CryptGetHashParam(m_hash.get(), HP_HASHVAL, digest, &size, 0) &&
                    size == sizeof digest;
    m_hash.reset();
    if (!ok)
        return std::wstring();
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (BYTE b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::wstring Md5OfFile(HANDLE file) {
    Md5Digest digest;
    LARGE_INTEGER start = {};
    if (!digest.begin() || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return std::wstring();
    std::vector<BYTE> buffer(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return std::wstring();
        if (read == 0)
            break;
        if (!digest.add(buffer.data(), read))
            return std::wstring();
    }
    return digest.finish();
}
