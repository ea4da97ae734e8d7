#include "tarnbeam/retrieval/document_fetch.h"

#include "tarnbeam/app/module_info.h"
#include "tarnbeam/resources/resource.h"

namespace {

int AppendChunk(const BYTE *data, DWORD size, DWORD, void *context) {
    static_cast<std::string *>(context)->append(reinterpret_cast<const char *>(data), size);
    return 1;
}

} // namespace

bool FetchDocument(const std::wstring &url, Fetched what, std::string &bytes) {
    bytes.clear();
    const std::wstring userAgent = LoadResourceString(IDS_USER_AGENT);
    return UrlTransfer(userAgent.c_str(), url.c_str(), nullptr, nullptr, AppendChunk, &bytes, RulesFor(what));
}
