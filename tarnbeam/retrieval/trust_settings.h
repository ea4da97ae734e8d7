// What the client trusts, as built: the build settings beside the trusted domain, set once by
// the entry point, and the transfer rules that follow from them for each kind of address.
#pragma once

#include <string>

#include "tarnbeam/retrieval/url_transfer.h"

struct TrustSettings {
    // The subject every signature must carry in place of the client's own signer's; empty: the
    // client's own signer's, or any trusted signer when the client itself is not signed.
    std::wstring requiredSigner;
    // The version-information document, the feed and update programs only over https.
    bool requireHttps = false;
    // The version-information document must come with a detached signature (address + ".p7s").
    bool signedVersionInfo = false;
    // An update program's own product version must be the version offered for it.
    bool bindInstallerVersion = false;
};

extern TrustSettings g_trust;

// What is fetched; each has its own rules for hosts, schemes and size.
enum class Fetched { kVersionInfo, kUpdateProgram, kFeed, kPicture };

// A category picture larger than this is no picture.
const unsigned long long kMaxPictureBytes = 1024 * 1024;

TransferRules RulesFor(Fetched what);
