#include "cabforge/cli/cli_options.h"

#include "cabforge/cli/native_names.h"

namespace cfcli {

const char kUsage[] =
    "Usage: cabforge-cli [options] -o OUT.cab PATH...\n"
    "Writes one Microsoft Cabinet file from files and folders. A folder is packed with the names\n"
    "of its files relative to it, a file under its own name; entries are sorted by name.\n"
    "\n"
    "  -o, --output FILE         the cabinet to write (replaced only once it is complete)\n"
    "  -x, --exclude PATTERN     leave out files and folders whose name matches PATTERN\n"
    "                            ('*' and '?', case-insensitive, ';' separates patterns);\n"
    "                            may be given more than once\n"
    "  -c, --compression METHOD  lzx (default), lzx-fast, lzx-max (smallest, about a third of\n"
    "                            lzx's speed), mszip or none\n"
    "  -L, --follow-symlinks     pack what symbolic links point to (without it they are refused)\n"
    "  -q, --quiet               no progress line\n"
    "  -h, --help                this text\n"
    "      --version             the program's version\n"
    "\n"
    "Exit status: 0 written, 1 failed (nothing written under the output name), 2 usage error.\n";

namespace {

struct ValueOption {
    const char *shortName;
    const char *longName;
};

const ValueOption kOutput = {"-o", "--output"};
const ValueOption kExclude = {"-x", "--exclude"};
const ValueOption kCompression = {"-c", "--compression"};

// Matches `-o VALUE`, `-oVALUE`, `--output VALUE` and `--output=VALUE`; advances `i` past the
// value. False when `args[i]` is not this option; an option without its value sets `error`.
bool takeValue(const std::vector<std::string> &args, std::size_t &i, const ValueOption &option,
               std::string &value, std::string &error) {
    const std::string &arg = args[i];
    const std::string shortName = option.shortName, longName = option.longName;
    if (arg == shortName || arg == longName) {
        if (i + 1 >= args.size()) {
            error = "option " + arg + " needs a value";
            return true;
        }
        value = args[++i];
        return true;
    }
    if (arg.compare(0, longName.size() + 1, longName + "=") == 0) {
        value = arg.substr(longName.size() + 1);
        return true;
    }
    if (arg.size() > shortName.size() && arg.compare(0, shortName.size(), shortName) == 0) {
        value = arg.substr(shortName.size());
        return true;
    }
    return false;
}

bool parseCompression(const std::string &name, Compression &compression) {
    if (name == "lzx")
        compression = Compression::Lzx;
    else if (name == "lzx-fast")
        compression = Compression::LzxFast;
    else if (name == "lzx-max")
        compression = Compression::LzxMax;
    else if (name == "mszip")
        compression = Compression::Mszip;
    else if (name == "none")
        compression = Compression::None;
    else
        return false;
    return true;
}

// One option at args[i]; false with `error` set when it is not valid.
bool takeOption(const std::vector<std::string> &args, std::size_t &i, Options &o, std::string &error) {
    const std::string &arg = args[i];
    std::string value;
    if (arg == "-q" || arg == "--quiet")
        o.quiet = true;
    else if (arg == "-L" || arg == "--follow-symlinks")
        o.followSymlinks = true;
    else if (arg == "-h" || arg == "--help")
        o.help = true;
    else if (arg == "--version")
        o.version = true;
    else if (takeValue(args, i, kOutput, value, error))
        o.output = value;
    else if (takeValue(args, i, kExclude, value, error)) {
        if (error.empty() && value.empty())
            error = "an empty --exclude pattern matches nothing";
        o.exclusions.push_back(decodeName(value));
    } else if (takeValue(args, i, kCompression, value, error)) {
        if (error.empty() && !parseCompression(value, o.compression))
            error = "unknown compression '" + value + "' (lzx, lzx-fast, lzx-max, mszip or none)";
    } else
        error = "unknown option " + arg;
    return error.empty();
}

} // namespace

bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error) {
    options = Options();
    error.clear();
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (!takeOption(args, i, options, error))
                return false;
        } else {
            options.paths.push_back(arg);
        }
    }
    if (options.help || options.version)
        return true;
    if (options.output.empty())
        error = "no output given (-o OUT.cab)";
    else if (options.paths.empty())
        error = "nothing to pack: give at least one folder or file";
    return error.empty();
}

} // namespace cfcli
