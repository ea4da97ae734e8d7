// transfer_probe.exe: runs one UrlTransfer and prints what the sink saw as one JSON line.
//
//   transfer_probe.exe --url URL [--user NAME] [--password PW] [--agent TEXT]
//                      [--stop-on N] [--out FILE] [--trusted-only 1] [--https-only 1] [--limit N]
//
// --trusted-only, --https-only and --limit set the transfer's rules (hosts, scheme, body size).
// Without --agent the user agent is string 111 of this program's resources (the update
// client's string table is built in). The sink writes the body to FILE when given and returns
// 0 on its N-th call when --stop-on is given.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tarnbeam/resources/resource.h"
#include "tarnbeam/retrieval/url_transfer.h"
#include "tests/tarnbeam/probe_json.h"

namespace {

struct SinkState {
    unsigned calls = 0;
    unsigned stopOn = 0; // 0: never stop
    unsigned long long bytes = 0;
    DWORD minChunk = 0;
    DWORD maxChunk = 0;
    std::vector<DWORD> totals; // distinct total sizes, in order of appearance
    FILE *out = nullptr;
    bool writeFailed = false;
};

int Sink(const BYTE *data, DWORD size, DWORD total, void *context) {
    SinkState &s = *static_cast<SinkState *>(context);
    ++s.calls;
    s.bytes += size;
    if (s.calls == 1 || size < s.minChunk)
        s.minChunk = size;
    if (size > s.maxChunk)
        s.maxChunk = size;
    if (s.totals.empty() || s.totals.back() != total)
        s.totals.push_back(total);
    if (s.out && fwrite(data, 1, size, s.out) != size)
        s.writeFailed = true;
    return (s.stopOn != 0 && s.calls == s.stopOn) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    std::wstring url, user, password, agent, outPath;
    bool haveUser = false, havePassword = false, haveAgent = false;
    SinkState state;
    TransferRules rules;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring name = argv[i];
        const wchar_t *value = argv[i + 1];
        if (name == L"--url") {
            url = value;
        } else if (name == L"--user") {
            user = value;
            haveUser = true;
        } else if (name == L"--password") {
            password = value;
            havePassword = true;
        } else if (name == L"--agent") {
            agent = value;
            haveAgent = true;
        } else if (name == L"--stop-on") {
            state.stopOn = static_cast<unsigned>(wcstoul(value, nullptr, 10));
        } else if (name == L"--trusted-only") {
            rules.trustedHostsOnly = wcscmp(value, L"1") == 0;
        } else if (name == L"--https-only") {
            rules.httpsOnly = wcscmp(value, L"1") == 0;
        } else if (name == L"--limit") {
            rules.maxBytes = wcstoull(value, nullptr, 10);
        } else if (name == L"--out") {
            outPath = value;
        } else {
            std::fprintf(stderr, "transfer_probe: unknown option %ls\n", name.c_str());
            return 2;
        }
    }
    if (!haveAgent) {
        wchar_t buffer[200];
        int n = LoadStringW(GetModuleHandleW(nullptr), IDS_USER_AGENT, buffer, 200);
        agent.assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }
    if (!outPath.empty() && !(state.out = _wfopen(outPath.c_str(), L"wb"))) {
        std::fprintf(stderr, "transfer_probe: cannot write %ls\n", outPath.c_str());
        return 2;
    }

    bool ok = UrlTransfer(agent.c_str(), url.c_str(), haveUser ? user.c_str() : nullptr,
                          havePassword ? password.c_str() : nullptr, Sink, &state, rules);
    if (state.out)
        fclose(state.out);

    std::string totals;
    for (DWORD t : state.totals)
        totals += (totals.empty() ? "" : ",") + std::to_string(t);
    std::printf("{\"ok\": %s, \"calls\": %u, \"bytes\": %llu, \"minChunk\": %lu, "
                "\"maxChunk\": %lu, \"totals\": [%s], \"agent\": %s, \"writeFailed\": %s}\n",
                ok ? "true" : "false", state.calls, state.bytes, static_cast<unsigned long>(state.minChunk),
                static_cast<unsigned long>(state.maxChunk), totals.c_str(), JsonString(agent).c_str(),
                state.writeFailed ? "true" : "false");
    return 0;
}
