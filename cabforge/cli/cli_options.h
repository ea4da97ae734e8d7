// The command line of cabforge-cli: cabforge-cli [options] -o OUT.cab PATH...
#pragma once

#include <string>
#include <vector>

namespace cfcli {

enum class Compression { Lzx, LzxFast, LzxMax, Mszip, None };

struct Options {
    std::string output;                   // -o, --output
    std::vector<std::string> paths;       // folders and files to pack, in order
    std::vector<std::wstring> exclusions; // --exclude, as single-name wildcard patterns
    Compression compression = Compression::Lzx;
    bool quiet = false;
    bool followSymlinks = false;
    bool help = false;
    bool version = false;
};

// Parses the arguments after the program name. False with `error` set on a usage error. Options
// may come before, between or after the paths; "--" ends them. --help and --version stop the
// checks that a build needs (an output and at least one path).
bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

extern const char kUsage[];

} // namespace cfcli
