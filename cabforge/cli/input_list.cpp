#include "cabforge/cli/input_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "cabforge/cli/native_names.h"
#include "cabforge/core/cab/archive_names.h"
#include "cabforge/core/cab/cab_writer.h"
#include "cabforge/core/cmdline/command_line.h"
#include "cabforge/core/cmdline/pack_rules.h"

namespace cfcli {

namespace {

const mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

std::string describe(const std::string &path, const std::string &problem) {
    return path + ": " + problem;
}

std::string describeErrno(const std::string &path, int error) {
    return describe(path, std::strerror(error));
}

// Lists folders through opendir/readdir, sorted by name so that a rebuild packs the same order. A
// symbolic link counts as a folder only when links are followed and it leads to one; any other
// entry counts as a file and is checked once the exclusions are applied. A folder that cannot be
// read stops the scan, as does a followed link that leads back to a folder being scanned.
class DirectoryLister : public cfcmd::FolderLister {
  public:
    DirectoryLister(bool followSymlinks, std::string &message)
        : m_follow(followSymlinks), m_message(message) {}

    Outcome list(const std::wstring &prefix, std::vector<cfcmd::FolderEntry> &entries) override {
        const std::string path = encodeName(prefix);
        if (!enterFolder(prefix, path))
            return Outcome::Stop;
        DIR *dir = opendir(path.c_str());
        if (!dir) {
            m_message = describeErrno(path, errno);
            return Outcome::Stop;
        }
        bool ok = true;
        for (;;) {
            errno = 0;
            const dirent *entry = readdir(dir);
            if (!entry) {
                if (errno != 0) {
                    m_message = describeErrno(path, errno);
                    ok = false;
                }
                break;
            }
            entries.push_back({decodeName(entry->d_name), isFolder(dirfd(dir), *entry)});
        }
        closedir(dir);
        std::sort(entries.begin(), entries.end(),
                  [](const cfcmd::FolderEntry &a, const cfcmd::FolderEntry &b) { return a.name < b.name; });
        return ok ? Outcome::Listed : Outcome::Stop;
    }

    bool fileFound(const cfcmd::ScannedFile &) override { return true; }

  private:
    struct Visit {
        std::wstring prefix;
        dev_t device;
        ino_t inode;
    };

    // The listing's own type answers for most entries; the file's status is read only when it
    // does not (an unknown type, or a link that is followed).
    bool isFolder(int dirFd, const dirent &entry) const {
        if (entry.d_type == DT_DIR)
            return true;
        if (entry.d_type == DT_REG || (entry.d_type == DT_LNK && !m_follow))
            return false;
        struct stat st;
        if (fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (S_ISLNK(st.st_mode) && m_follow && fstatat(dirFd, entry.d_name, &st, 0) != 0)
            return false;
        return S_ISDIR(st.st_mode);
    }

    // Keeps the chain of folders from the top to this one; a folder met again inside itself can only
    // be reached through a link, and would be scanned forever.
    bool enterFolder(const std::wstring &prefix, const std::string &path) {
        while (!m_chain.empty() &&
               prefix.compare(0, m_chain.back().prefix.size(), m_chain.back().prefix) != 0)
            m_chain.pop_back();
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            m_message = describeErrno(path, errno);
            return false;
        }
        for (const Visit &v : m_chain) {
            if (v.device == st.st_dev && v.inode == st.st_ino) {
                m_message = describe(path, "symbolic link loop: leads back to " + encodeName(v.prefix));
                return false;
            }
        }
        m_chain.push_back({prefix, st.st_dev, st.st_ino});
        return true;
    }

    bool m_follow;
    std::string &m_message;
    std::vector<Visit> m_chain;
};

// The last component of a path given on the command line (trailing slashes dropped).
std::string lastComponent(const std::string &path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::size_t cut = trimmed.find_last_of('/');
    return cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
}

// A file chosen for the archive, before its checks.
struct Candidate {
    std::string source;
    std::wstring name;     // the name in the archive
    std::wstring ownNames; // the part of the path the name was made from (for the backslash rule)
    std::string origin;    // the manifest line it came from ("LIST:N"), for the messages
};

class InputChecker {
  public:
    InputChecker(const Options &options, std::vector<InputFile> &files, std::string &message)
        : m_options(options), m_files(files), m_message(message) {}

    // Stats the output once: it may not be a folder, and may not be read as an input.
    bool checkOutput() {
        struct stat st;
        if (stat(m_options.output.c_str(), &st) != 0)
            return true;
        if (S_ISDIR(st.st_mode))
            return fail(m_options.output, "is a folder");
        m_outputExists = true;
        m_outputDevice = st.st_dev;
        m_outputInode = st.st_ino;
        return true;
    }

    bool add(const Candidate &c) {
        const std::string at = c.origin.empty() ? c.source : c.origin + ": " + c.source;
        if (c.ownNames.find(L'\\') != std::wstring::npos)
            return fail(at, "a name with a backslash cannot be stored (it separates folders in a cabinet)");
        if (!isValidText(c.name))
            return fail(at, "name is not valid UTF-8");
        InputFile file;
        file.source = c.source;
        file.name = encodeName(c.name);
        if (file.name.size() > cabw::kMaxNameBytes)
            return fail(at, "its name in the cabinet, " + file.name + ", is " +
                                std::to_string(file.name.size()) + " bytes, more than the " +
                                std::to_string(cabw::kMaxNameBytes) + " a cabinet allows");
        const cabw::NameProblem problem = cabw::nameProblem(file.name);
        if (problem != cabw::NameProblem::None)
            return fail(at, "its name in the cabinet, " + file.name +
                                ", is not a safe name: " + cabw::describeNameProblem(problem));
        struct stat st;
        if (!statSource(c.source, at, st))
            return false;
        if (m_outputExists && st.st_dev == m_outputDevice && st.st_ino == m_outputInode)
            return fail(at, "is the output itself; write the cabinet elsewhere or exclude it");
        if (static_cast<std::uint64_t>(st.st_size) > cabw::kMaxFolderBytes)
            return fail(at, std::to_string(st.st_size) + " bytes, more than the " +
                                std::to_string(cabw::kMaxFolderBytes) + " a cabinet can hold");
        const auto known = m_sourceOfName.find(file.name);
        if (known != m_sourceOfName.end())
            return fail(at, "has the same name in the cabinet, " + file.name + ", as " + known->second);
        m_sourceOfName[file.name] = c.source;
        file.size = static_cast<std::uint64_t>(st.st_size);
        file.modified = st.st_mtime;
        file.readOnly = (st.st_mode & kAnyWrite) == 0;
        file.device = static_cast<std::uint64_t>(st.st_dev);
        file.inode = static_cast<std::uint64_t>(st.st_ino);
        m_files.push_back(file);
        return true;
    }

    // The limits on the whole list.
    bool checkTotals() {
        if (m_files.empty())
            return fail(m_options.output, "nothing to pack: no file found, or every file excluded");
        if (m_files.size() > cabw::kMaxFiles)
            return fail(m_options.output, std::to_string(m_files.size()) + " files to pack, more than the " +
                                              std::to_string(cabw::kMaxFiles) + " a cabinet can hold");
        return true;
    }

    bool fail(const std::string &path, const std::string &problem) {
        m_message = describe(path, problem);
        return false;
    }

  private:
    // A regular file, reached through a symbolic link only when links are followed.
    bool statSource(const std::string &path, const std::string &at, struct stat &st) {
        if (lstat(path.c_str(), &st) != 0)
            return fail(at, errno == ENOENT ? "no longer exists" : std::strerror(errno));
        if (S_ISLNK(st.st_mode)) {
            if (!m_options.followSymlinks)
                return fail(at, "is a symbolic link (--follow-symlinks packs what it points to)");
            if (stat(path.c_str(), &st) != 0)
                return fail(at, errno == ENOENT ? "symbolic link to nothing" : std::strerror(errno));
        }
        if (!S_ISREG(st.st_mode))
            return fail(at, "not a regular file");
        return true;
    }

    const Options &m_options;
    std::vector<InputFile> &m_files;
    std::string &m_message;
    bool m_outputExists = false;
    dev_t m_outputDevice = 0;
    ino_t m_outputInode = 0;
    std::map<std::string, std::string> m_sourceOfName;
};

// The files of one command-line path: a folder's scan, or the file itself under its own name.
bool candidatesOf(const std::string &path, const Options &options, std::vector<Candidate> &out,
                  std::string &message) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        message = describeErrno(path, errno);
        return false;
    }
    if (S_ISLNK(st.st_mode) && options.followSymlinks && stat(path.c_str(), &st) != 0) {
        message = describe(path, "symbolic link to nothing");
        return false;
    }
    const std::wstring top = decodeName(path);
    if (!S_ISDIR(st.st_mode)) {
        // Symbolic links and other kinds are refused by the checks, unless excluded by name.
        const std::wstring name = decodeName(lastComponent(path));
        if (!cfcmd::matchesAny(name, options.exclusions, cfcmd::defaultCaseFold))
            out.push_back({path, name, name, std::string()});
        return true;
    }
    DirectoryLister lister(options.followSymlinks, message);
    cfcmd::ScanSettings settings;
    settings.separators = L"/";
    std::vector<cfcmd::ScannedFile> scanned;
    if (!cfcmd::scanFolder(top, options.exclusions, settings, lister, scanned))
        return false;
    for (const cfcmd::ScannedFile &f : scanned) {
        const std::wstring below = f.path.substr(std::min(f.path.size(), top.size()));
        out.push_back({encodeName(f.path), f.archiveName, below, std::string()});
    }
    return true;
}

// The whole of a manifest file, or of standard input for "-".
bool readManifest(const std::string &path, std::string &text, std::string &message) {
    const bool stdinList = path == "-";
    const int fd = stdinList ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        message = describeErrno(path, errno);
        return false;
    }
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    const int error = errno;
    if (!stdinList)
        ::close(fd);
    if (n < 0) {
        message = describeErrno(path, error);
        return false;
    }
    return true;
}

// The files a manifest names: one a line, SOURCE or SOURCE<TAB>NAME (folders in NAME joined by '/'
// or '\'); blank lines and lines beginning with '#' are passed over.
bool manifestCandidates(const std::string &path, std::vector<Candidate> &out, std::string &message) {
    std::string text;
    if (!readManifest(path, text, message))
        return false;
    const std::string list = path == "-" ? "standard input" : path;
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const std::string origin = list + ":" + std::to_string(number);
        const std::size_t tab = line.find('\t');
        const std::string source = line.substr(0, tab);
        if (source.empty()) {
            message = origin + ": the line names no source";
            return false;
        }
        if (tab == std::string::npos) {
            const std::wstring name = decodeName(lastComponent(source));
            out.push_back({source, name, name, origin});
            continue;
        }
        std::wstring name = decodeName(line.substr(tab + 1));
        if (name.empty()) {
            message = origin + ": the line names no name in the archive after its tab";
            return false;
        }
        for (wchar_t &c : name)
            c = c == L'/' ? L'\\' : c;
        out.push_back({source, name, std::wstring(), origin});
    }
    return true;
}

} // namespace

bool collectInputs(const Options &options, std::vector<InputFile> &files, std::string &message) {
    files.clear();
    InputChecker checker(options, files, message);
    if (!checker.checkOutput())
        return false;
    for (const InputItem &item : options.inputs) {
        std::vector<Candidate> candidates;
        const bool listed = item.kind == InputItem::Kind::Manifest
                                ? manifestCandidates(item.value, candidates, message)
                                : candidatesOf(item.value, options, candidates, message);
        if (!listed)
            return false;
        for (const Candidate &c : candidates) {
            if (!checker.add(c))
                return false;
        }
    }
    return checker.checkTotals();
}

} // namespace cfcli
