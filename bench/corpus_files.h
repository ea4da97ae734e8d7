// Benchmark corpora: walks a folder tree in a fixed order (names sorted at every level, dot entries
// skipped), so that every run and every benchmark sees the same bytes in the same order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace bench {

struct CorpusFile {
    std::string path; // on this machine
    std::string name; // below the walk's root, `prefix` first, folders joined with a backslash
    std::uint64_t size;
};

// Appends the regular files at `path` (one file, or a folder walked depth first) to `out`.
inline void collectFiles(const std::string &path, const std::string &prefix, std::vector<CorpusFile> *out) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    if (S_ISREG(st.st_mode)) {
        out->push_back({path, prefix, static_cast<std::uint64_t>(st.st_size)});
        return;
    }
    if (!S_ISDIR(st.st_mode))
        return;
    DIR *d = opendir(path.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names)
        collectFiles(path + "/" + n, prefix.empty() ? n : prefix + "\\" + n, out);
}

} // namespace bench
