// Encoder-only benchmark: compresses one folder made of a corpus with every LZX level and prints size,
// ratio and speed beside gzip -9 and xz -6 (at the 2 MiB dictionary of an LZX window) on the same bytes.
// Every LZX output is decoded again with libmspack and compared. Not a test: it only prints figures.
//
// Usage: lzx_bench [--no-verify] [--no-references] [--level N] [file-or-folder...]
// --level runs one level only, --no-references leaves gzip and xz out (for profiling the encoder).
// Without paths it uses a fixed part of Wine's Windows DLLs plus Boost's asio headers.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/cabforge/lzx/cab_wrap.h"
#include "bench/corpus_files.h"
#include "cabforge/core/lzx/lzx_encoder.h"

using lzxtest::Bytes;

namespace {

constexpr int kMaxLevel = lzx::kLevelMax;

double cpuSeconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

// Runs `cmd` (reading the corpus file), returns the byte count of its output and the wall time.
bool runTool(const std::string &cmd, std::size_t &size, double &seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return false;
    char buf[65536];
    size = 0;
    std::size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0)
        size += got;
    const int rc = pclose(p);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return rc == 0;
}

} // namespace

int main(int argc, char **argv) {
    bool verify = true, references = true;
    int onlyLevel = -1;
    std::vector<bench::CorpusFile> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--no-verify")
            verify = false;
        else if (a == "--no-references")
            references = false;
        else if (a == "--level" && i + 1 < argc)
            onlyLevel = std::atoi(argv[++i]);
        else
            bench::collectFiles(a, "", &files);
    }
    if (files.empty()) {
        const char *dlls[] = {"user32.dll", "kernelbase.dll", "ole32.dll", "comctl32.dll", "msi.dll"};
        for (const char *d : dlls)
            bench::collectFiles(std::string("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/") + d, "",
                                &files);
        bench::collectFiles("/usr/include/boost/asio", "", &files);
    }
    Bytes corpus;
    for (const auto &f : files) {
        Bytes b = lzxtest::readFile(f.path);
        corpus.insert(corpus.end(), b.begin(), b.end());
    }
    if (corpus.empty()) {
        std::fprintf(stderr, "lzx_bench: no input\n");
        return 2;
    }
    const std::string corpusPath = lzxtest::writeTempFile(corpus, ".bin");
    const double mb = double(corpus.size()) / 1e6;
    std::printf("corpus: %zu files, %zu bytes\n", files.size(), corpus.size());
    std::printf("%-12s %12s %8s %9s %9s %9s\n", "engine", "bytes", "ratio", "/gzip-9", "/xz-6", "MB/s");

    std::size_t gzipSize = 0, xzSize = 0;
    double gzipTime = 0, xzTime = 0;
    const bool haveGzip = references && runTool("gzip -9 -c '" + corpusPath + "'", gzipSize, gzipTime);
    const bool haveXz =
        references && runTool("xz --lzma2=preset=6,dict=2MiB -T1 -c '" + corpusPath + "'", xzSize, xzTime);
    auto row = [&](const char *name, std::size_t size, double seconds) {
        std::printf("%-12s %12zu %8.4f %9.4f %9.4f %9.2f\n", name, size, double(size) / double(corpus.size()),
                    haveGzip ? double(size) / double(gzipSize) : 0.0,
                    haveXz ? double(size) / double(xzSize) : 0.0, seconds > 0 ? mb / seconds : 0.0);
    };
    if (haveGzip)
        row("gzip -9", gzipSize, gzipTime);
    if (haveXz)
        row("xz -6 2MiB", xzSize, xzTime);

    int failures = 0;
    for (int level = 0; level <= kMaxLevel; ++level) {
        if (onlyLevel >= 0 && level != onlyLevel)
            continue;
        lzx::EncoderOptions o;
        o.level = level;
        const double t0 = cpuSeconds();
        bool encoded = false;
        const std::vector<lzxtest::Frame> frames = lzxtest::compressFolder(corpus, o, encoded);
        const double spent = cpuSeconds() - t0;
        if (!encoded) {
            std::fprintf(stderr, "level %d: encoder failed\n", level);
            return 1;
        }
        std::size_t total = 0;
        for (const lzxtest::Frame &f : frames)
            total += f.compressed.size();
        const std::string name = "lzx level " + std::to_string(level);
        row(name.c_str(), total, spent);
        if (verify) {
            const std::string cab = lzxtest::writeTempFile(lzxtest::wrapCabinet(frames, 0x1503), ".cab");
            Bytes decoded;
            std::string error;
            if (!lzxtest::decodeWithMspack(cab, decoded, error) || decoded != corpus) {
                std::printf("  level %d: libmspack round trip FAILED %s\n", level, error.c_str());
                ++failures;
            }
            std::remove(cab.c_str());
        }
    }
    std::remove(corpusPath.c_str());
    return failures == 0 ? 0 : 1;
}
