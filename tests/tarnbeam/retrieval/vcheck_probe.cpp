// vcheck_probe.exe: runs the version check as the update client's start-up does (from the
// "tarnbeam.xml" in this program's own folder) and prints the result as one JSON line.
//
//   vcheck_probe.exe [--code-start N]
//
// The check error code starts at N (default 0), so a check that fails without a code shows N.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tarnbeam/retrieval/version_check.h"
#include "tests/tarnbeam/probe_json.h"

int wmain(int argc, wchar_t **argv) {
    int code = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wstring(argv[i]) == L"--code-start")
            code = static_cast<int>(wcstol(argv[i + 1], nullptr, 10));
    }
    if (FAILED(OleInitialize(nullptr))) {
        std::fprintf(stderr, "vcheck_probe: OleInitialize failed\n");
        return 2;
    }

    UpdateEntryList entries;
    bool ok = RunVersionCheck(entries, code);

    std::printf("{\"ok\": %s, \"code\": %d, \"entries\": [", ok ? "true" : "false", code);
    for (size_t i = 0; i < entries.size(); ++i) {
        const UpdateEntry &e = entries[i];
        const SYSTEMTIME &d = e.releaseDate;
        std::printf("%s{\"kind\": %d, \"newer\": %s, \"componentName\": %s, "
                    "\"installedVersion\": %s, \"versionString\": %s, \"fileUrl\": %s, "
                    "\"fileName\": %s, \"fileMD5\": %s, \"description\": %s, "
                    "\"releaseDate\": [%u, %u, %u, %u, %u, %u, %u, %u]}",
                    i ? ", " : "", e.kind, e.newer ? "true" : "false", JsonString(e.componentName).c_str(),
                    JsonString(e.installedVersion).c_str(), JsonString(e.versionString).c_str(),
                    JsonString(e.fileUrl).c_str(), JsonString(e.fileName).c_str(),
                    JsonString(e.fileMD5).c_str(), JsonString(e.description).c_str(), d.wYear, d.wMonth,
                    d.wDayOfWeek, d.wDay, d.wHour, d.wMinute, d.wSecond, d.wMilliseconds);
    }
    std::printf("]}\n");
    std::fflush(stdout);
    OleUninitialize();
    return 0;
}
