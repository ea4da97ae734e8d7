// The code signature of a downloaded update program: the platform's trust verifier, then the
// signer's chain under the code-signing policy, and optionally the signer's name.
#pragma once

#include <windows.h>

#include <string>

enum class SignatureCheck {
    kTrusted,
    kNoVerifier, // the trust verifier cannot be loaded or lacks what the check needs
    kRefused,    // unsigned, altered, untrusted, or signed by someone else
};

// The common name the signer's certificate must carry; empty (the default) accepts any signer
// whose chain is trusted. Set once at start-up from the build setting.
extern std::wstring g_requiredSigner;

// Checks the file open as `file` (read access; the handle is what the verifier reads) whose path
// is `path`. The verifier may show its own window, owned by `owner`, only when it refuses.
SignatureCheck CheckUpdateSignature(HWND owner, const std::wstring &path, HANDLE file);
