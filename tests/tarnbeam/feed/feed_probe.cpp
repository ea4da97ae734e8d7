// feed_probe.exe: reads news feeds with the update client's reader and prints what it kept as
// one JSON line per feed, for tests/integration/test_feed_reader.py.
//
//   feed_probe.exe [--config tarnbeam.xml] [--marker] --url URL [--config ...] [--url URL ...]
//
// --config loads a configuration file into the configuration record as the client does (so the
// product filter sees ProductName/ProductPlatform exactly as configured); --marker runs the
// new-information rule after the next read. Each --url starts from an empty list and an empty
// feed image table. The report also counts the "rsi" temporary files left behind.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>

#include "tarnbeam/app/config.h"
#include "tarnbeam/app/win_handles.h"
#include "tarnbeam/feed/new_information.h"
#include "tarnbeam/feed/news_feed.h"
#include "tests/tarnbeam/probe_json.h"

namespace {

int CountTemporaryPictureFiles() {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    std::wstring pattern = std::wstring(folder) + L"rsi*";
    WIN32_FIND_DATAW found;
    FindHandle h(FindFirstFileW(pattern.c_str(), &found));
    if (!h)
        return 0;
    int count = 0;
    do {
        ++count;
    } while (FindNextFileW(h.get(), &found));
    return count;
}

void Report(bool ok, int markerAnswer, int configCode) {
    std::printf("{\"ok\": %s, \"config\": %d, \"hasNew\": %s, \"tempFiles\": %d, \"items\": [",
                ok ? "true" : "false", configCode,
                markerAnswer < 0 ? "null"
                : markerAnswer   ? "true"
                                 : "false",
                CountTemporaryPictureFiles());
    for (size_t i = 0; i < newsItems.size(); ++i) {
        const NewsItem &n = newsItems[i];
        const SYSTEMTIME &t = n.published;
        std::printf("%s{\"kind\": %d, \"category\": %s, \"title\": %s, \"link\": %s, \"pubDate\": %s, "
                    "\"description\": %s, \"productName\": %s, \"productPlatform\": %s, "
                    "\"published\": [%u, %u, %u, %u, %u, %u, %u, %u]}",
                    i ? ", " : "", n.kind, JsonString(n.category).c_str(), JsonString(n.title).c_str(),
                    JsonString(n.link).c_str(), JsonString(n.pubDate).c_str(),
                    JsonString(n.description).c_str(), JsonString(n.productName).c_str(),
                    JsonString(n.productPlatform).c_str(), t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour,
                    t.wMinute, t.wSecond, t.wMilliseconds);
    }
    std::printf("], \"images\": [");
    bool first = true;
    for (const auto &entry : feedImages) {
        BITMAP bm = {};
        const int got = entry.second.bitmap ? GetObjectW(entry.second.bitmap, sizeof bm, &bm) : 0;
        std::printf("%s{\"category\": %s, \"index\": %d, \"width\": %ld, \"height\": %ld, \"valid\": %s}",
                    first ? "" : ", ", JsonString(entry.first).c_str(), entry.second.imageIndex,
                    static_cast<long>(bm.bmWidth), static_cast<long>(bm.bmHeight), got ? "true" : "false");
        first = false;
    }
    std::printf("]}\n");
    std::fflush(stdout);
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (FAILED(OleInitialize(nullptr))) {
        std::fprintf(stderr, "feed_probe: OleInitialize failed\n");
        return 2;
    }
    bool marker = false;
    int configCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--marker") {
            marker = true;
        } else if (arg == L"--config" && i + 1 < argc) {
            g_config = Configuration();
            configCode = LoadConfigurationFrom(argv[++i], g_config);
        } else if (arg == L"--url" && i + 1 < argc) {
            newsItems.clear();
            DeleteFeedImages();
            const bool ok = readNewsFeed(argv[++i], newsItems);
            const int answer = marker ? (hasNewInformation() ? 1 : 0) : -1;
            Report(ok, answer, configCode);
            marker = false;
        }
    }
    DeleteFeedImages();
    OleUninitialize();
    return 0;
}
