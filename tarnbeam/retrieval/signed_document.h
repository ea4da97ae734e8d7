// The version-information document's own signature, for builds that ask for one: a detached
// CMS/PKCS #7 signature over the document's exact bytes, published beside it.
#pragma once

#include <string>

// Appended to the document's address to name its signature.
const wchar_t kSignatureSuffix[] = L".p7s";

// True when `url` + kSignatureSuffix holds a signature over `document` whose signer chains to a
// trusted root under the code-signing policy and passes the publisher rule.
bool VersionInfoSignatureValid(const std::wstring &url, const std::string &document);
