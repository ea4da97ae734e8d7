#include "tarnbeam/retrieval/signed_document.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/retrieval/document_fetch.h"
#include "tarnbeam/retrieval/signature_check.h"

namespace {

const DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The signer's chain, built with the certificates the signature carries, for code signing.
CertChainHandle ChainOf(PCCERT_CONTEXT signer, HCERTSTORE carried) {
    static char kCodeSigning[] = szOID_PKIX_KP_CODE_SIGNING;
    char *usages[] = {kCodeSigning};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    CertChainHandle chain;
    CertGetCertificateChain(nullptr, signer, nullptr, carried, &para, 0, nullptr, chain.put());
    return chain;
}

// A message parameter of a variable size.
bool MessageParam(HCRYPTMSG message, DWORD type, std::vector<BYTE> &value) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, 0, nullptr, &size) || size == 0)
        return false;
    value.resize(size);
    return CryptMsgGetParam(message, type, 0, value.data(), &size) != FALSE;
}

// With signed attributes the signature covers them, and they carry the digest of the content:
// that digest must be the one of these bytes (some verifiers check only the signature over the
// attributes). Without signed attributes the signature covers the content itself.
bool DigestAttributeMatches(const BYTE *blob, DWORD blobSize, const std::string &document) {
    CryptMessageHandle message(
        CryptMsgOpenToDecode(kMessageEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
    std::vector<BYTE> computed, attributes;
    if (!message || !CryptMsgUpdate(message.get(), blob, blobSize, TRUE) ||
        !CryptMsgUpdate(message.get(), reinterpret_cast<const BYTE *>(document.data()),
                        static_cast<DWORD>(document.size()), TRUE) ||
        !MessageParam(message.get(), CMSG_COMPUTED_HASH_PARAM, computed))
        return false;
    if (!MessageParam(message.get(), CMSG_SIGNER_AUTH_ATTR_PARAM, attributes))
        return GetLastError() == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING);
    const CRYPT_ATTRIBUTES *list = reinterpret_cast<const CRYPT_ATTRIBUTES *>(attributes.data());
    for (DWORD i = 0; i < list->cAttr; ++i) {
        const CRYPT_ATTRIBUTE &attribute = list->rgAttr[i];
        if (lstrcmpA(attribute.pszObjId, szOID_RSA_messageDigest) != 0 || attribute.cValue != 1)
            continue;
        DWORD size = 0;
        const CRYPT_ATTR_BLOB &value = attribute.rgValue[0];
        if (!CryptDecodeObject(kMessageEncoding, X509_OCTET_STRING, value.pbData, value.cbData, 0, nullptr,
                               &size))
            return false;
        std::vector<BYTE> decoded(size);
        if (!CryptDecodeObject(kMessageEncoding, X509_OCTET_STRING, value.pbData, value.cbData, 0,
                               decoded.data(), &size))
            return false;
        const CRYPT_DATA_BLOB *digest = reinterpret_cast<const CRYPT_DATA_BLOB *>(decoded.data());
        return digest->cbData == computed.size() &&
               std::memcmp(digest->pbData, computed.data(), computed.size()) == 0;
    }
    return false; // signed attributes without the content's digest
}

} // namespace

bool VersionInfoSignatureValid(const std::wstring &url, const std::string &document) {
    std::string signature;
    if (!FetchDocument(url + kSignatureSuffix, Fetched::kVersionInfo, signature) || signature.empty())
        return false;
    const BYTE *blob = reinterpret_cast<const BYTE *>(signature.data());
    const DWORD blobSize = static_cast<DWORD>(signature.size());

    CRYPT_VERIFY_MESSAGE_PARA para = {};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = kMessageEncoding;
    const BYTE *content[] = {reinterpret_cast<const BYTE *>(document.data())};
    DWORD contentSize[] = {static_cast<DWORD>(document.size())};
    CertContextHandle signer;
    if (!CryptVerifyDetachedMessageSignature(&para, 0, blob, blobSize, 1, content, contentSize,
                                             signer.put()) ||
        !signer || !DigestAttributeMatches(blob, blobSize, document))
        return false;
    CertStoreHandle carried(CryptGetMessageCertificates(kMessageEncoding, 0, 0, blob, blobSize));
    const CertChainHandle chain = ChainOf(signer.get(), carried.get());
    return ChainIsTrusted(chain.get()) && IsAcceptedPublisher(signer.get());
}
