// The one way documents come from the network: fetched as bytes through UrlTransfer, under the
// rules of what they are, to be parsed from memory.
#pragma once

#include <string>

#include "tarnbeam/retrieval/trust_settings.h"

// Fetches `url` into `bytes` (at most lx_xml::kMaxDocumentBytes). False when the transfer fails,
// is refused by the rules, or the body is larger.
bool FetchDocument(const std::wstring &url, Fetched what, std::string &bytes);
