// feedmem.exe: reads one news feed with the update client's reader and prints the process's
// working set before and after, its peak, the time taken and what was kept. Run by run.py,
// which serves a large feed and its pictures from the local web server.
//
//   feedmem.exe [--config tarnbeam.xml] --url URL
#include <windows.h>
#include <ole2.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "tarnbeam/app/config.h"
#include "tarnbeam/feed/news_feed.h"

namespace {

struct Memory {
    double workingSetMb;
    double peakWorkingSetMb;
};

Memory Measure() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return {counters.WorkingSetSize / 1048576.0, counters.PeakWorkingSetSize / 1048576.0};
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (FAILED(OleInitialize(nullptr)))
        return 2;
    std::wstring url;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring arg = argv[i];
        if (arg == L"--config" && LoadConfigurationFrom(argv[i + 1], g_config) != kConfigLoaded) {
            std::fprintf(stderr, "feedmem: configuration not loaded\n");
            return 2;
        }
        if (arg == L"--url")
            url = argv[i + 1];
    }
    const Memory before = Measure();
    const DWORD start = GetTickCount();
    const bool ok = readNewsFeed(url, newsItems);
    const DWORD elapsed = GetTickCount() - start;
    const Memory after = Measure();
    std::printf("{\"ok\": %s, \"items\": %u, \"pictures\": %u, \"ms\": %lu, \"workingSetBeforeMb\": %.1f, "
                "\"workingSetAfterMb\": %.1f, \"peakWorkingSetMb\": %.1f}\n",
                ok ? "true" : "false", static_cast<unsigned>(newsItems.size()),
                static_cast<unsigned>(feedImages.size()), static_cast<unsigned long>(elapsed),
                before.workingSetMb, after.workingSetMb, after.peakWorkingSetMb);
    std::fflush(stdout);
    DeleteFeedImages();
    OleUninitialize();
    return ok ? 0 : 1;
}
