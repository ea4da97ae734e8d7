// Code signatures: the platform's trust verifier, then the signer's chain under the code-signing
// policy, then the publisher rule, which is one for everything the client accepts signed (update
// programs and, when the build asks for it, the version-information document).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

enum class SignatureCheck {
    kTrusted,
    kNoVerifier, // the trust verifier cannot be loaded or lacks what the check needs
    kRefused,    // unsigned, altered, untrusted, or signed by someone else
};

// True when `chain` ends in a trusted root under the code-signing policy.
bool ChainIsTrusted(PCCERT_CHAIN_CONTEXT chain);

// The publisher rule. With a required signer built in (TrustSettings::requiredSigner), the
// signer's whole subject must be that one; otherwise, when this program carries a signature that
// chains to a trusted root, the signer's subject must equal the subject of the certificate that
// signed this program, compared as encoded; an unsigned program (a development build) accepts
// any signer whose chain is trusted.
bool IsAcceptedPublisher(PCCERT_CONTEXT signer);

// Checks the file open as `file` (read access; the handle is what the verifier reads) whose path
// is `path`. The verifier may show its own window, owned by `owner`, only when it refuses.
SignatureCheck CheckUpdateSignature(HWND owner, const std::wstring &path, HANDLE file);
