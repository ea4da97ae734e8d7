#include "tarnbeam/retrieval/signature_check.h"

#include <wincrypt.h>
#include <wintrust.h>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/ui/window_utils.h"

std::wstring g_requiredSigner;

namespace {

// The verifier's action for code signatures (Authenticode).
GUID kGenericVerifyV2 = {0xaac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};

using WinVerifyTrustFn = LONG(WINAPI *)(HWND, GUID *, void *);
using ProvDataFromStateDataFn = CRYPT_PROVIDER_DATA *(WINAPI *)(HANDLE);
using ProvSignerFromChainFn = CRYPT_PROVIDER_SGNR *(WINAPI *)(CRYPT_PROVIDER_DATA *, DWORD, BOOL, DWORD);
using ProvCertFromChainFn = CRYPT_PROVIDER_CERT *(WINAPI *)(CRYPT_PROVIDER_SGNR *, DWORD);

struct Verifier {
    LibraryHandle module;
    WinVerifyTrustFn verify = nullptr;
    ProvDataFromStateDataFn providerData = nullptr;
    ProvSignerFromChainFn signer = nullptr;
    ProvCertFromChainFn certificate = nullptr;
};

// Loads the verifier from the system folder only, so that no copy beside the program or in the
// current folder is taken instead.
bool LoadVerifier(Verifier &v) {
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    const wchar_t kName[] = L"\\wintrust.dll";
    if (length == 0 || length + sizeof kName / sizeof kName[0] > MAX_PATH)
        return false;
    lstrcatW(path, kName);
    v.module.reset(LoadLibraryW(path));
    v.verify = LookUpFunction<WinVerifyTrustFn>(v.module.get(), "WinVerifyTrust");
    v.providerData = LookUpFunction<ProvDataFromStateDataFn>(v.module.get(), "WTHelperProvDataFromStateData");
    v.signer = LookUpFunction<ProvSignerFromChainFn>(v.module.get(), "WTHelperGetProvSignerFromChain");
    v.certificate = LookUpFunction<ProvCertFromChainFn>(v.module.get(), "WTHelperGetProvCertFromChain");
    return v.verify && v.providerData && v.signer && v.certificate;
}

// The signer's chain must end in a trusted root under the code-signing policy: the verifier
// alone accepts any intact signature on some systems.
bool ChainIsTrusted(PCCERT_CHAIN_CONTEXT chain) {
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof para;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &para, &status) &&
           status.dwError == 0;
}

bool SignerNameMatches(PCCERT_CONTEXT certificate) {
    if (g_requiredSigner.empty())
        return true;
    wchar_t name[256] = {};
    const DWORD chars = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                           const_cast<char *>(szOID_COMMON_NAME), name, 256);
    return chars > 1 && g_requiredSigner == name;
}

bool SignerAccepted(const Verifier &v, HANDLE state) {
    CRYPT_PROVIDER_DATA *data = v.providerData(state);
    CRYPT_PROVIDER_SGNR *signer = data ? v.signer(data, 0, FALSE, 0) : nullptr;
    if (!signer || !signer->pChainContext || !ChainIsTrusted(signer->pChainContext))
        return false;
    CRYPT_PROVIDER_CERT *certificate = v.certificate(signer, 0);
    return certificate && certificate->pCert && SignerNameMatches(certificate->pCert);
}

} // namespace

SignatureCheck CheckUpdateSignature(HWND owner, const std::wstring &path, HANDLE file) {
    Verifier v;
    if (!LoadVerifier(v))
        return SignatureCheck::kNoVerifier;

    // The verifier reads through the handle; start it at the beginning of the file.
    LARGE_INTEGER start = {};
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof trust;
    trust.dwUIChoice = WTD_UI_NOGOOD;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    const LONG result = v.verify(owner, &kGenericVerifyV2, &trust);
    const bool accepted = result == 0 && trust.hWVTStateData && SignerAccepted(v, trust.hWVTStateData);
    // The state kept by the verify action is released by the close action, whatever the result.
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    v.verify(owner, &kGenericVerifyV2, &trust);
    return accepted ? SignatureCheck::kTrusted : SignatureCheck::kRefused;
}
