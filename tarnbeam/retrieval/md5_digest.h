// MD5 digests (RFC 1321) through the platform's cryptographic service.
#pragma once

#include <windows.h>

#include <string>

#include "tarnbeam/app/win_handles.h"

// One running digest: begin, add the data in pieces, finish once.
class Md5Digest {
  public:
    // False when the platform offers no MD5.
    bool begin();
    bool add(const BYTE *data, DWORD size);
    // The digest as 32 lower-case hexadecimal digits in digest order; empty after a failure.
    // The state is discarded.
    std::wstring finish();

  private:
    CryptProviderHandle m_provider;
    CryptHashHandle m_hash;
    bool m_failed = false;
};

// The digest of everything in `file`, read from its start through the handle; empty when it
// cannot be read.
std::wstring Md5OfFile(HANDLE file);
