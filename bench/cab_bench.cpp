// cab_bench: size, ratio and speed of the cabinet writer's LZX levels and MSZIP beside gcab -z,
// gzip -6, gzip -9 and xz -6 (and zstd as a reference), all on the same corpus, in one run. Every
// cabinet we write is extracted with cabextract and compared with its sources before its figures count.
//
// Corpus (present on every build machine): a fixed set of Wine's Windows DLLs and the Boost.Asio
// headers. The files chosen are listed first.
//
// The native command-line builder, cabforge-cli, runs as a program of its own on the same corpus
// (named by $CABFORGE_CLI; scripts/bench.sh builds it), so its rows show what a build server sees,
// file reading and cabinet writing included.
//
// Usage: cab_bench [work folder]   (default: a fresh folder below $TMPDIR or /tmp)
#include "cabforge/core/cab/cab_writer.h"
#include "cabforge/core/cab/open_flags.h"
#include "bench/corpus_files.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const kDllFolder = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/";
const char *const kDlls[] = {"kernel32.dll", "ntdll.dll", "user32.dll", "wininet.dll", "ws2_32.dll"};
const char *const kHeaderRoot = "/usr/include/boost/asio";

using Source = bench::CorpusFile;

// ---- Writer callbacks over POSIX descriptors ----

void *cbAlloc(std::size_t n, void *) {
    return std::calloc(1, n ? n : 1);
}
void cbFree(void *p, void *) {
    std::free(p);
}
std::intptr_t cbOpen(const char *name, int oflag, int, int *err, void *) {
    const int fd = ::open(name, cabw::toCrtOpenFlags(oflag), 0644);
    if (fd < 0)
        *err = errno;
    return fd;
}
int cbRead(std::intptr_t fd, void *b, unsigned n, int *err, void *) {
    const auto r = ::read(static_cast<int>(fd), b, n);
    if (r < 0)
        *err = errno;
    return static_cast<int>(r);
}
int cbWrite(std::intptr_t fd, const void *b, unsigned n, int *err, void *) {
    const auto r = ::write(static_cast<int>(fd), b, n);
    if (r != static_cast<ssize_t>(n))
        *err = r < 0 ? errno : ENOSPC;
    return static_cast<int>(r);
}
int cbClose(std::intptr_t fd, int *err, void *) {
    if (::close(static_cast<int>(fd)) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}
long cbSeek(std::intptr_t fd, long off, int origin, int *err, void *) {
    const auto r = ::lseek(static_cast<int>(fd), off, origin);
    if (r < 0)
        *err = errno;
    return static_cast<long>(r);
}
int cbDelete(const char *name, int *err, void *) {
    if (::unlink(name) != 0) {
        *err = errno;
        return -1;
    }
    return 0;
}
std::string g_tempDir;
int g_tempCounter = 0;
bool cbTemp(char *buf, int size, void *) {
    const std::string n = g_tempDir + "/spill" + std::to_string(++g_tempCounter);
    if (static_cast<int>(n.size()) >= size)
        return false;
    std::memcpy(buf, n.c_str(), n.size() + 1);
    return true;
}
std::intptr_t cbOpenInfo(const char *source, std::uint16_t *date, std::uint16_t *time, std::uint16_t *attribs,
                         int *err, void *c) {
    *date = 0x58B1;
    *time = 0x6DAF;
    *attribs = 0x20;
    return cbOpen(source, cabw::kOpenReadOnly, 0, err, c);
}

bool writeCabinet(const std::vector<Source> &files, const std::string &cab, std::uint16_t type, int level) {
    cabw::Callbacks cb = {cbAlloc, cbFree, cbOpen,   cbRead, cbWrite,
                          cbClose, cbSeek, cbDelete, cbTemp, nullptr};
    cabw::CabinetParams p{};
    p.setId = 12345;
    p.lzxLevel = level;
    std::snprintf(p.cabinetName, sizeof p.cabinetName, "%s", cab.c_str());
    cabw::ErrorRecord e;
    cabw::Handle h = cabw::create(&e, cb, p, nullptr);
    if (!h)
        return false;
    bool ok = cabw::flushFolder(h, nullptr, nullptr);
    for (const Source &s : files)
        ok =
            ok && cabw::addFile(h, s.path.c_str(), s.name.c_str(), false, nullptr, nullptr, cbOpenInfo, type);
    ok = ok && cabw::flushCabinet(h, true, nullptr, nullptr);
    if (!ok)
        std::fprintf(stderr, "writer failed: error %d errno %d\n", e.code, e.errnoType);
    return cabw::destroy(h) && ok;
}

// ---- Helpers ----

std::string quote(const std::string &s);

// wimlib-imagex over a copy of the corpus as plain files (it stores symbolic links as links).
std::string wimCapture(const std::string &work, int level) {
    return "rm -f " + quote(work + "/c.wim") + " && wimlib-imagex capture " + quote(work + "/wim-corpus") +
           " " + quote(work + "/c.wim") + " --compress=LZX:" + std::to_string(level) +
           " --chunk-size=2M --threads=1 >/dev/null";
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU seconds used so far by this process (self) or by its finished children.
double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::uint64_t fileSize(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool sameBytes(const std::string &a, const std::string &b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb)
        return false;
    std::vector<char> ba(1 << 16), bb(1 << 16);
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount())
            return false;
        if (fa.gcount() == 0)
            return true;
        if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())) != 0)
            return false;
    }
}

// cabextract test + extraction, each file compared with its source.
bool verify(const std::string &cab, const std::vector<Source> &files, const std::string &work) {
    if (std::system(("cabextract -q -t " + quote(cab) + " >/dev/null 2>&1").c_str()) != 0)
        return false;
    const std::string out = work + "/verify";
    std::system(("rm -rf " + quote(out)).c_str());
    if (std::system(("cabextract -q -d " + quote(out) + " " + quote(cab) + " >/dev/null 2>&1").c_str()) != 0)
        return false;
    bool ok = true;
    for (const Source &s : files) {
        std::string rel = s.name;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        if (!sameBytes(s.path, out + "/" + rel)) {
            std::fprintf(stderr, "mismatch: %s\n", s.name.c_str());
            ok = false;
        }
    }
    std::system(("rm -rf " + quote(out)).c_str());
    return ok;
}

struct Row {
    std::string engine;
    std::uint64_t size;
    double seconds; // wall clock
    double cpu;     // CPU time, the figure that holds on a busy machine
    std::string verified;
};

// One run of a shell command as a child of its own: wall and CPU seconds and the largest resident
// set of it and what it waited for.
struct Run {
    bool ok = false;
    double seconds = 0, cpu = 0;
    long maxRssKb = 0;
};

Run runCommand(const std::string &command) {
    Run r;
    const double t0 = now();
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage u{};
    if (pid < 0 || wait4(pid, &status, 0, &u) != pid)
        return r;
    r.seconds = now() - t0;
    r.cpu = u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    r.maxRssKb = u.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// Links the corpus below `tree` as wine/<dll> and asio/<header>, `copies` times over (copy<k>/...
// from the second copy on), for cabforge-cli --follow-symlinks.
bool stageCorpus(const std::string &tree, int copies) {
    std::string stage = "true";
    for (int k = 0; k < copies; ++k) {
        const std::string at = k ? tree + "/copy" + std::to_string(k) : tree;
        stage += " && mkdir -p " + quote(at + "/wine") + " && ln -sfn " + quote(kHeaderRoot) + " " +
                 quote(at + "/asio");
        for (const char *dll : kDlls)
            stage += " && ln -sf " + quote(std::string(kDllFolder) + dll) + " " + quote(at + "/wine/" + dll);
    }
    return std::system(stage.c_str()) == 0;
}

// cabforge-cli on every core: -j 1 against -j 2 (the same bytes, about half the time) on a corpus of
// at least 100 MB, and folder sizes against one folder, side by side in one run.
void cliScaling(const char *cli, const std::vector<Source> &corpus, std::uint64_t corpusBytes,
                const std::string &work) {
    const std::uint64_t kLargeCorpus = 100000000;
    const int copies = static_cast<int>((kLargeCorpus + corpusBytes - 1) / corpusBytes);
    const std::uint64_t total = corpusBytes * static_cast<std::uint64_t>(copies);
    const std::string tree = work + "/cli-large";
    if (!stageCorpus(tree, copies))
        return;
    std::vector<Source> files;
    for (int k = 0; k < copies; ++k)
        for (const Source &s : corpus)
            files.push_back(
                {s.path, (k ? "copy" + std::to_string(k) + "\\" : std::string()) + s.name, s.size});
    struct Case {
        std::string label, args, cab;
        Run run;
        std::uint64_t size;
    };
    std::vector<Case> cases = {{"-j 1", "-j 1", work + "/large-j1.cab", {}, 0},
                               {"-j 2", "-j 2", work + "/large-j2.cab", {}, 0},
                               {"one folder", "-j 1 --folder-size 2047M", work + "/large-one.cab", {}, 0}};
    for (const char *size : {"4M", "16M", "32M"})
        cases.push_back({std::string("-j 2, folders of ") + size,
                         std::string("-j 2 --folder-size ") + size,
                         work + "/large-" + size + ".cab",
                         {},
                         0});
    std::printf("\ncabforge-cli lzx on %d copies of the corpus (%llu bytes), default folder size 8M:\n",
                copies, static_cast<unsigned long long>(total));
    std::printf("%-24s %12s %8s %8s %8s %9s  %s\n", "run", "bytes", "vs one", "wall s", "cpu s", "max RSS",
                "check");
    for (Case &c : cases) {
        c.run = runCommand(quote(cli) + " --quiet --follow-symlinks " + c.args + " -o " + quote(c.cab) + " " +
                           quote(tree));
        c.size = c.run.ok ? fileSize(c.cab) : 0;
    }
    const std::uint64_t one = cases[2].size;
    for (Case &c : cases) {
        const bool ok = c.run.ok && verify(c.cab, files, work);
        std::printf("%-24s %12llu %8.4f %8.2f %8.2f %6ld MB  %s\n", c.label.c_str(),
                    static_cast<unsigned long long>(c.size), one ? double(c.size) / double(one) : 0.0,
                    c.run.seconds, c.run.cpu, c.run.maxRssKb / 1024, ok ? "cabextract ok" : "FAILED");
    }
    std::printf("-j 2 / -j 1: wall time %.3f (goal <= 0.55), bytes %s; cores -j 2 had on average: %.2f "
                "(below 2: the machine was busy)\n",
                cases[1].run.seconds / cases[0].run.seconds,
                sameBytes(cases[0].cab, cases[1].cab) ? "identical" : "DIFFERENT",
                cases[1].run.cpu / cases[1].run.seconds);
    std::printf("default folder size / one folder = %.4f in size (goal <= 1.005)\n",
                one ? double(cases[0].size) / double(one) : 0.0);
    for (const Case &c : cases)
        std::remove(c.cab.c_str());
}

} // namespace

int main(int argc, char **argv) {
    std::string work;
    if (argc > 1) {
        work = argv[1];
        mkdir(work.c_str(), 0755);
    } else {
        const char *t = std::getenv("TMPDIR");
        std::string tmpl = std::string(t && *t ? t : "/tmp") + "/cab_bench.XXXXXX";
        std::vector<char> b(tmpl.begin(), tmpl.end());
        b.push_back(0);
        if (!mkdtemp(b.data()))
            return 2;
        work = b.data();
    }
    g_tempDir = work;

    std::vector<Source> files;
    for (const char *dll : kDlls) {
        const std::string p = std::string(kDllFolder) + dll;
        const std::uint64_t n = fileSize(p);
        if (n)
            files.push_back({p, std::string("wine\\") + dll, n});
        else
            std::printf("(missing %s)\n", p.c_str());
    }
    bench::collectFiles(kHeaderRoot, "asio", &files);
    std::uint64_t total = 0, dllBytes = 0;
    for (const Source &s : files) {
        total += s.size;
        if (s.name.compare(0, 5, "wine\\") == 0)
            dllBytes += s.size;
    }
    std::printf("Corpus: %zu files, %llu bytes\n", files.size(), static_cast<unsigned long long>(total));
    for (const Source &s : files)
        if (s.name.compare(0, 5, "wine\\") == 0)
            std::printf("  %10llu  %s\n", static_cast<unsigned long long>(s.size), s.path.c_str());
    std::printf("  %10llu  %s/**  (%zu headers)\n\n", static_cast<unsigned long long>(total - dllBytes),
                kHeaderRoot, files.size() - sizeof kDlls / sizeof kDlls[0]);

    // The same bytes as one stream for gzip and xz; the file list for gcab.
    const std::string concat = work + "/corpus.bin", list = work + "/files.txt";
    {
        std::ofstream o(concat, std::ios::binary), l(list);
        for (const Source &s : files) {
            std::ifstream i(s.path, std::ios::binary);
            o << i.rdbuf();
            l << s.path << "\n";
        }
    }
    // A copy of the corpus as plain files for wimlib.
    std::string copy = "mkdir -p " + quote(work + "/wim-corpus/wine") + " && cp -rL " + quote(kHeaderRoot) +
                       " " + quote(work + "/wim-corpus/asio");
    for (const char *dll : kDlls)
        copy += " && cp " + quote(std::string(kDllFolder) + dll) + " " + quote(work + "/wim-corpus/wine/");
    std::system(copy.c_str());
    // Warm the page cache so that the first engine pays no extra reads.
    std::system(("cat " + quote(concat) + " > /dev/null").c_str());

    std::vector<Row> rows;
    struct Ours {
        const char *label;
        std::uint16_t type;
        int level;
    } ours[] = {{"cab LZX:21 fast", cabw::kCompressLzx21, cabw::kLzxLevelFast},
                {"cab LZX:21 normal", cabw::kCompressLzx21, cabw::kLzxLevelNormal},
                {"cab LZX:21 default", cabw::kCompressLzx21, cabw::kLzxLevelDefault},
                {"cab MSZIP", cabw::kCompressMszip, cabw::kLzxLevelDefault}};
    for (const Ours &o : ours) {
        const std::string cab = work + "/ours.cab";
        const double t0 = now(), c0 = cpuSeconds(RUSAGE_SELF);
        const bool ok = writeCabinet(files, cab, o.type, o.level);
        const double t1 = now(), c1 = cpuSeconds(RUSAGE_SELF);
        rows.push_back({o.label, ok ? fileSize(cab) : 0, t1 - t0, c1 - c0,
                        ok && verify(cab, files, work) ? "cabextract ok" : "FAILED"});
        std::fflush(stdout);
    }
    // cabforge-cli packs a folder that holds the corpus under the names the cabinets above use:
    // wine\<dll> and asio\<header>, reached through symbolic links.
    const char *cli = std::getenv("CABFORGE_CLI");
    if (cli && *cli) {
        const std::string tree = work + "/cli-corpus";
        std::string stage = "mkdir -p " + quote(tree + "/wine") + " && ln -sfn " + quote(kHeaderRoot) + " " +
                            quote(tree + "/asio");
        for (const char *dll : kDlls)
            stage +=
                " && ln -sf " + quote(std::string(kDllFolder) + dll) + " " + quote(tree + "/wine/" + dll);
        const bool staged = std::system(stage.c_str()) == 0;
        const std::string cores = std::to_string(sysconf(_SC_NPROCESSORS_ONLN));
        const std::string jobs[][2] = {{"lzx-fast", "1"}, {"lzx", "1"}, {"mszip", "1"}, {"lzx", cores}};
        for (const auto &job : jobs) {
            const std::string cab = work + "/cli.cab", method = job[0];
            const std::string command = quote(cli) + " --quiet --follow-symlinks --compression " + method +
                                        " -j " + job[1] + " -o " + quote(cab) + " " + quote(tree);
            const double t0 = now(), c0 = cpuSeconds(RUSAGE_CHILDREN);
            const bool ok = staged && std::system(command.c_str()) == 0;
            const double t1 = now(), c1 = cpuSeconds(RUSAGE_CHILDREN);
            rows.push_back({"cabforge-cli " + method + " -j " + job[1], ok ? fileSize(cab) : 0, t1 - t0,
                            c1 - c0, ok && verify(cab, files, work) ? "cabextract ok" : "FAILED"});
        }
    } else {
        std::printf("(no cabforge-cli rows: CABFORGE_CLI names no program)\n");
    }

    struct Tool {
        const char *label;
        std::string command, output;
    } tools[] = {
        {"gcab -z (MSZIP)",
         "cd / && xargs -a " + quote(list) + " -d '\\n' gcab -c -z " + quote(work + "/gcab.cab"),
         work + "/gcab.cab"},
        {"gzip -6", "gzip -6 -c " + quote(concat) + " > " + quote(work + "/c.gz"), work + "/c.gz"},
        {"gzip -9", "gzip -9 -c " + quote(concat) + " > " + quote(work + "/c.gz"), work + "/c.gz"},
        {"xz -6", "xz -6 -T1 -c " + quote(concat) + " > " + quote(work + "/c.xz"), work + "/c.xz"},
        // References, not goals: an entropy-coded LZ77 of our kind held to our 2 MiB window, at the
        // levels whose speed and size lie around our default level's.
        {"zstd -16 (2 MiB)",
         "zstd -16 -T1 -q --zstd=wlog=21 -c " + quote(concat) + " > " + quote(work + "/c.zst"),
         work + "/c.zst"},
        {"zstd -18 (2 MiB)",
         "zstd -18 -T1 -q --zstd=wlog=21 -c " + quote(concat) + " > " + quote(work + "/c.zst"),
         work + "/c.zst"},
        // The other open LZX encoder, one thread, 2 MiB chunks.
        {"wimlib LZX:20", wimCapture(work, 20), work + "/c.wim"},
        {"wimlib LZX:50", wimCapture(work, 50), work + "/c.wim"},
        {"wimlib LZX:100", wimCapture(work, 100), work + "/c.wim"},
    };
    for (const Tool &t : tools) {
        const double t0 = now(), c0 = cpuSeconds(RUSAGE_CHILDREN);
        const int rc = std::system((t.command + " 2>/dev/null").c_str());
        const double t1 = now(), c1 = cpuSeconds(RUSAGE_CHILDREN);
        rows.push_back(
            {t.label, rc == 0 ? fileSize(t.output) : 0, t1 - t0, c1 - c0, rc == 0 ? "-" : "FAILED"});
    }

    // CPU time is the process's own (our engines) or its waited-for children's (the tools), so a
    // busy machine changes it little; wall time is shown beside it.
    std::printf("%-22s %12s %7s %9s %9s  %s\n", "engine", "bytes", "ratio", "MB/s cpu", "MB/s wall", "check");
    for (const Row &r : rows)
        std::printf("%-22s %12llu %7.4f %9.2f %9.2f  %s\n", r.engine.c_str(),
                    static_cast<unsigned long long>(r.size),
                    static_cast<double>(r.size) / static_cast<double>(total), total / 1e6 / r.cpu,
                    total / 1e6 / r.seconds, r.verified.c_str());
    auto find = [&](const char *name) -> const Row & {
        for (const Row &r : rows)
            if (r.engine == name)
                return r;
        return rows[0];
    };
    const Row &lzx = find("cab LZX:21 default"), &fast = find("cab LZX:21 fast"), &mszip = find("cab MSZIP"),
              &gcab = find("gcab -z (MSZIP)"), &gz9 = find("gzip -9"), &xz = find("xz -6");
    std::printf("\nSpeeds below are per CPU second (one core).\n");
    std::printf("LZX default / gzip -9 = %.3f (goal <= 0.80), at %.1f MB/s (goal >= 8)\n",
                double(lzx.size) / double(gz9.size), total / 1e6 / lzx.cpu);
    std::printf("LZX fast: %.1f MB/s (goal >= 30)\n", total / 1e6 / fast.cpu);
    std::printf("MSZIP / gcab -z = %.3f in size (goal <= 1), speed %.2f x gcab (goal >= 1)\n",
                double(mszip.size) / double(gcab.size), gcab.cpu / mszip.cpu);
    std::printf("LZX default / xz -6 = %.3f (ambition <= 1.15)\n", double(lzx.size) / double(xz.size));
    std::printf("wimlib's chunks are independent 2 MiB blocks, while a cabinet folder keeps its window from\n"
                "one 32 KiB frame to the next.\n");
    if (cli && *cli) {
        const Row &cliLzx = find("cabforge-cli lzx -j 1");
        std::printf("cabforge-cli lzx / gcab -z = %.3f in size, at %.1f MB/s (gcab -z: %.1f MB/s)\n",
                    double(cliLzx.size) / double(gcab.size), total / 1e6 / cliLzx.cpu,
                    total / 1e6 / gcab.cpu);
    }
    if (cli && *cli)
        cliScaling(cli, files, total, work);
    bool allVerified = true;
    for (const Row &r : rows)
        allVerified = allVerified && r.verified != "FAILED";
    if (argc <= 1)
        std::system(("rm -rf " + quote(work)).c_str());
    return allVerified ? 0 : 1;
}
