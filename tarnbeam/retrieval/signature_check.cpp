#include "tarnbeam/retrieval/signature_check.h"

#include <wintrust.h>

#include <vector>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/retrieval/portable/subject_name.h"
#include "tarnbeam/retrieval/trust_settings.h"
#include "tarnbeam/ui/window_utils.h"

namespace {

// The verifier's action for code signatures (Authenticode).
GUID kGenericVerifyV2 = {0xaac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};
const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

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

// The signer's certificate of an intact signature whose chain is trusted; empty otherwise. `file`
// may be null (the verifier then reads `path`).
CertContextHandle TrustedSignerOf(const Verifier &v, HWND owner, const wchar_t *path, HANDLE file,
                                  DWORD uiChoice) {
    if (file) {
        // The verifier reads through the handle; start it at the beginning of the file.
        LARGE_INTEGER start = {};
        SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    }
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof trust;
    trust.dwUIChoice = uiChoice;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    CertContextHandle signer;
    if (v.verify(owner, &kGenericVerifyV2, &trust) == 0 && trust.hWVTStateData) {
        CRYPT_PROVIDER_DATA *data = v.providerData(trust.hWVTStateData);
        CRYPT_PROVIDER_SGNR *signerData = data ? v.signer(data, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT *certificate = signerData ? v.certificate(signerData, 0) : nullptr;
        if (signerData && signerData->pChainContext && ChainIsTrusted(signerData->pChainContext) &&
            certificate && certificate->pCert)
            signer.reset(CertDuplicateCertificateContext(certificate->pCert));
    }
    // The state kept by the verify action is released by the close action, whatever the result.
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    v.verify(owner, &kGenericVerifyV2, &trust);
    return signer;
}

// The certificate that signed this program, when its signature is intact and trusted; looked up
// once. A damaged signature counts as none.
PCCERT_CONTEXT OwnSigner() {
    static bool looked = false;
    static CertContextHandle own;
    if (!looked) {
        looked = true;
        wchar_t path[MAX_PATH] = {};
        Verifier v;
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH && LoadVerifier(v))
            own = TrustedSignerOf(v, nullptr, path, nullptr, WTD_UI_NONE);
    }
    return own.get();
}

// The subject's attributes in the order the certificate holds them.
bool SubjectOf(PCCERT_CONTEXT certificate, publisher::DistinguishedName &name) {
    const CERT_NAME_BLOB &subject = certificate->pCertInfo->Subject;
    DWORD size = 0;
    if (!CryptDecodeObject(kCertEncoding, X509_NAME, subject.pbData, subject.cbData, 0, nullptr, &size))
        return false;
    std::vector<BYTE> buffer(size);
    if (!CryptDecodeObject(kCertEncoding, X509_NAME, subject.pbData, subject.cbData, 0, buffer.data(), &size))
        return false;
    const CERT_NAME_INFO *info = reinterpret_cast<const CERT_NAME_INFO *>(buffer.data());
    name.clear();
    for (DWORD r = 0; r < info->cRDN; ++r) {
        for (DWORD a = 0; a < info->rgRDN[r].cRDNAttr; ++a) {
            const CERT_RDN_ATTR &attribute = info->rgRDN[r].rgRDNAttr[a];
            publisher::NameAttribute entry;
            PCCRYPT_OID_INFO known =
                CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, attribute.pszObjId, CRYPT_RDN_ATTR_OID_GROUP_ID);
            if (known && known->pwszName)
                entry.type = known->pwszName;
            else
                entry.type.assign(attribute.pszObjId, attribute.pszObjId + lstrlenA(attribute.pszObjId));
            const DWORD chars = CertRDNValueToStrW(
                attribute.dwValueType, const_cast<CERT_RDN_VALUE_BLOB *>(&attribute.Value), nullptr, 0);
            std::vector<wchar_t> value(chars ? chars : 1);
            CertRDNValueToStrW(attribute.dwValueType, const_cast<CERT_RDN_VALUE_BLOB *>(&attribute.Value),
                               value.data(), static_cast<DWORD>(value.size()));
            entry.value = value.data();
            name.push_back(entry);
        }
    }
    return true;
}

} // namespace

bool ChainIsTrusted(PCCERT_CHAIN_CONTEXT chain) {
    // The chain's own status as well: some policy checks pass a chain that never reached a root.
    if (!chain || chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR)
        return false;
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof para;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &para, &status) &&
           status.dwError == 0;
}

bool IsAcceptedPublisher(PCCERT_CONTEXT signer) {
    if (!signer)
        return false;
    if (!g_trust.requiredSigner.empty()) {
        publisher::DistinguishedName required, actual;
        return publisher::parseSubject(g_trust.requiredSigner, required) && SubjectOf(signer, actual) &&
               publisher::sameSubject(required, actual);
    }
    PCCERT_CONTEXT own = OwnSigner();
    if (!own)
        return true; // a development build: any signer whose chain is trusted
    return CertCompareCertificateName(X509_ASN_ENCODING, &own->pCertInfo->Subject,
                                      &signer->pCertInfo->Subject) != FALSE;
}

SignatureCheck CheckUpdateSignature(HWND owner, const std::wstring &path, HANDLE file) {
    Verifier v;
    if (!LoadVerifier(v))
        return SignatureCheck::kNoVerifier;
    const CertContextHandle signer = TrustedSignerOf(v, owner, path.c_str(), file, WTD_UI_NOGOOD);
    return IsAcceptedPublisher(signer.get()) ? SignatureCheck::kTrusted : SignatureCheck::kRefused;
}
