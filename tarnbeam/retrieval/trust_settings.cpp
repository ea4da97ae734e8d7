#include "tarnbeam/retrieval/trust_settings.h"

#include "tarnbeam/feed/xml/lx_xml.h"

TrustSettings g_trust;

TransferRules RulesFor(Fetched what) {
    TransferRules rules;
    switch (what) {
    case Fetched::kVersionInfo:
        rules.trustedHostsOnly = true;
        rules.httpsOnly = g_trust.requireHttps;
        rules.maxBytes = lx_xml::kMaxDocumentBytes;
        break;
    case Fetched::kUpdateProgram: // as large as the disk allows
        rules.trustedHostsOnly = true;
        rules.httpsOnly = g_trust.requireHttps;
        break;
    case Fetched::kFeed:
        rules.httpsOnly = g_trust.requireHttps;
        rules.maxBytes = lx_xml::kMaxDocumentBytes;
        break;
    case Fetched::kPicture:
        rules.maxBytes = kMaxPictureBytes;
        break;
    }
    return rules;
}
