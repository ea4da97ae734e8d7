#include "tests/cabforge/cab/test_util.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace cabtest {

RunResult run(const std::string &command) {
    RunResult r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    const int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string makeTempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string t = std::string(base && *base ? base : "/tmp") + "/cabtest.XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data()))
        return std::string();
    return buf.data();
}

void removeTree(const std::string &dir) {
    if (!dir.empty() && dir.find("/cabtest.") != std::string::npos)
        run("rm -rf " + quote(dir));
}

static void makeDirs(const std::string &dir) {
    for (std::size_t i = 1; i <= dir.size(); ++i)
        if (i == dir.size() || dir[i] == '/')
            mkdir(dir.substr(0, i).c_str(), 0755);
}

void writeFile(const std::string &path, const std::string &bytes) {
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos)
        makeDirs(path.substr(0, slash));
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool readFile(const std::string &path, std::string *bytes) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

static void listInto(const std::string &root, const std::string &rel, std::vector<std::string> *out) {
    DIR *d = opendir((root + (rel.empty() ? "" : "/" + rel)).c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        const std::string r = rel.empty() ? n : rel + "/" + n;
        struct stat st;
        if (stat((root + "/" + r).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            listInto(root, r, out);
        else
            out->push_back(r);
    }
    closedir(d);
}

std::vector<std::string> listFiles(const std::string &dir) {
    std::vector<std::string> out;
    listInto(dir, "", &out);
    return out;
}

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(g() & 0xFF);
    return s;
}

std::string textBytes(std::size_t n, unsigned seed) {
    static const char *const kWords[] = {"cabinet",  "folder", "the",    "of",     "data",   "block",
                                         "window",   "match",  "offset", "length", "tree",   "Huffman",
                                         "and",      "frame",  "a",      "file",   "reader", "writer",
                                         "compress", "bytes",  "header", "name",   "UTF-8"};
    std::mt19937 g(seed);
    std::string s;
    s.reserve(n + 16);
    while (s.size() < n) {
        s += kWords[g() % (sizeof kWords / sizeof kWords[0])];
        s += (g() % 11 == 0) ? "\r\n" : " ";
    }
    s.resize(n);
    return s;
}

} // namespace cabtest
