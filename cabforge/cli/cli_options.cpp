#include "cabforge/cli/cli_options.h"

#include <cerrno>
#include <cstdlib>

#include "cabforge/cli/native_names.h"

namespace cfcli {

const char kUsage[] =
    "Usage: cabforge-cli [OPTION]... -o OUT.cab [PATH | --files-from LIST]...\n"
    "Write one Microsoft Cabinet file from files and folders. A folder is packed with the names\n"
    "of its files relative to it, a file under its own name; a folder's entries are sorted by name.\n"
    "\n"
    "  -o, --output FILE         the cabinet to write (replaced only once it is complete)\n"
    "  -T, --files-from LIST     pack the files LIST names, one a line: SOURCE, or SOURCE, a tab\n"
    "                            and the NAME in the archive; '-' reads standard input\n"
    "  -x, --exclude PATTERN     leave out files and folders whose name matches PATTERN\n"
    "                            ('*' and '?', case-insensitive, ';' separates patterns)\n"
    "  -c, --compression METHOD  lzx (default), lzx-fast, lzx-max (smallest, about a third of\n"
    "                            lzx's speed), mszip or none; lzx:W, lzx-fast:W and lzx-max:W use\n"
    "                            a window of 2^W bytes, W from 15 to 21 (lzx is lzx:21)\n"
    "  -j, --jobs N              compress N folders at the same time (default: one per processor)\n"
    "      --folder-size SIZE    about SIZE bytes of input per folder (default 8M; K, M, G)\n"
    "      --reserve BYTES       reserve BYTES (0 to 60000) in the cabinet header for a signature\n"
    "  -L, --follow-symlinks     pack what symbolic links point to (without it they are refused)\n"
    "  -q, --quiet               no progress line\n"
    "  -h, --help                display this help and exit\n"
    "      --version             output version information and exit\n"
    "\n"
    "Options that take a value may be repeated; --exclude and --files-from add to the earlier ones.\n"
    "With SOURCE_DATE_EPOCH set, every entry's date is the earlier of its modification time and\n"
    "that time, in UTC. The bytes of the cabinet never depend on --jobs.\n"
    "\n"
    "Exit status: 0 written, 1 failed (nothing written under the output name), 2 usage error.\n";

namespace {

struct ValueOption {
    const char *shortName; // may be null
    const char *longName;
};

const ValueOption kOutput = {"-o", "--output"};
const ValueOption kExclude = {"-x", "--exclude"};
const ValueOption kCompression = {"-c", "--compression"};
const ValueOption kFilesFrom = {"-T", "--files-from"};
const ValueOption kJobs = {"-j", "--jobs"};
const ValueOption kFolderSize = {nullptr, "--folder-size"};
const ValueOption kReserve = {nullptr, "--reserve"};

// The compression methods by name; the LZX ones also take ":W", a window of 2^W bytes.
struct CompressionName {
    const char *name;
    std::uint16_t type;
    int lzxLevel;
};
const CompressionName kCompressionNames[] = {
    {"lzx", cabw::kCompressLzx21, cabw::kLzxLevelDefault},
    {"lzx-fast", cabw::kCompressLzx21, cabw::kLzxLevelFast},
    {"lzx-max", cabw::kCompressLzx21, cabw::kLzxLevelMax},
    {"mszip", cabw::kCompressMszip, cabw::kLzxLevelDefault},
    {"none", cabw::kCompressNone, cabw::kLzxLevelDefault},
};
const unsigned kMinWindowBits = 15;
const unsigned kMaxWindowBits = 21;

const unsigned kMaxJobs = 1024;
// A folder holds at least one data block.
const std::uint64_t kMinFolderSize = 32768;
// The last MS-DOS date: 2107-12-31 23:59:58 UTC.
const std::time_t kLastDosTime = 4354819198;

// Matches `-o VALUE`, `-oVALUE`, `--output VALUE` and `--output=VALUE`; advances `i` past the
// value. False when `args[i]` is not this option; an option without its value sets `error`.
bool takeValue(const std::vector<std::string> &args, std::size_t &i, const ValueOption &option,
               std::string &value, std::string &error) {
    const std::string &arg = args[i];
    const std::string shortName = option.shortName ? option.shortName : "", longName = option.longName;
    if ((!shortName.empty() && arg == shortName) || arg == longName) {
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
    if (!shortName.empty() && arg.size() > shortName.size() &&
        arg.compare(0, shortName.size(), shortName) == 0) {
        value = arg.substr(shortName.size());
        return true;
    }
    return false;
}

// A decimal number of digits only, at most `max`.
bool parseNumber(const std::string &text, std::uint64_t max, std::uint64_t &value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= max;
}

// A number of bytes with an optional K, M or G (powers of 1024).
bool parseSize(const std::string &text, std::uint64_t &value) {
    std::string digits = text;
    std::uint64_t unit = 1;
    const char last = text.empty() ? '\0' : text.back();
    if (last == 'K' || last == 'k' || last == 'M' || last == 'm' || last == 'G' || last == 'g') {
        digits.pop_back();
        unit = (last == 'K' || last == 'k') ? 1u << 10 : (last == 'M' || last == 'm') ? 1u << 20 : 1u << 30;
    }
    std::uint64_t n = 0;
    if (!parseNumber(digits, cabw::kMaxFolderBytes, n))
        return false;
    value = n * unit;
    return true;
}

bool parseCompression(const std::string &text, cabflow::Compression &compression) {
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    for (const CompressionName &c : kCompressionNames) {
        if (name != c.name)
            continue;
        compression = cabflow::Compression();
        compression.type = c.type;
        compression.lzxLevel = c.lzxLevel;
        // cabforge.exe's one compression keeps its rule for a lone small entry.
        compression.loneSmallEntryMszip = text == "lzx";
        if (colon == std::string::npos)
            return true;
        std::uint64_t bits = 0;
        if (c.type != cabw::kCompressLzx21 || !parseNumber(text.substr(colon + 1), kMaxWindowBits, bits) ||
            bits < kMinWindowBits)
            return false;
        compression.type = cabw::compressLzx(static_cast<unsigned>(bits));
        return true;
    }
    return false;
}

// One option at args[i]; false with `error` set when it is not valid.
bool takeOption(const std::vector<std::string> &args, std::size_t &i, Options &o, std::string &error) {
    const std::string &arg = args[i];
    std::string value;
    std::uint64_t n = 0;
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
    else if (takeValue(args, i, kFilesFrom, value, error)) {
        if (error.empty() && value.empty())
            error = "option --files-from needs a file name ('-' for standard input)";
        o.inputs.push_back({InputItem::Kind::Manifest, value});
    } else if (takeValue(args, i, kExclude, value, error)) {
        if (error.empty() && value.empty())
            error = "an empty --exclude pattern matches nothing";
        o.exclusions.push_back(decodeName(value));
    } else if (takeValue(args, i, kCompression, value, error)) {
        if (error.empty() && !parseCompression(value, o.compression))
            error = "unknown compression '" + value +
                    "' (lzx, lzx-fast, lzx-max, mszip or none; lzx:W, lzx-fast:W and lzx-max:W with W from "
                    "15 to 21)";
    } else if (takeValue(args, i, kJobs, value, error)) {
        if (error.empty() && (!parseNumber(value, kMaxJobs, n) || n == 0))
            error = "option --jobs: '" + value + "' is not a number of jobs from 1 to " +
                    std::to_string(kMaxJobs);
        o.jobs = static_cast<unsigned>(n);
    } else if (takeValue(args, i, kFolderSize, value, error)) {
        if (error.empty() && (!parseSize(value, n) || n < kMinFolderSize || n > cabw::kMaxFolderBytes))
            error = "option --folder-size: '" + value + "' is not a size from " +
                    std::to_string(kMinFolderSize) + " to " + std::to_string(cabw::kMaxFolderBytes) +
                    " bytes";
        o.folderSize = n;
    } else if (takeValue(args, i, kReserve, value, error)) {
        if (error.empty() && !parseNumber(value, cabw::kMaxHeaderReserve, n))
            error = "option --reserve: '" + value + "' is not a number of bytes from 0 to " +
                    std::to_string(cabw::kMaxHeaderReserve);
        o.reserve = static_cast<std::uint32_t>(n);
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
            options.inputs.push_back({InputItem::Kind::Path, arg});
        }
    }
    if (options.help || options.version)
        return true;
    if (options.output.empty())
        error = "no output given (-o OUT.cab)";
    else if (options.inputs.empty())
        error = "nothing to pack: give at least one folder, file or --files-from list";
    return error.empty();
}

bool parseSourceDateEpoch(const char *value, Options &options, std::string &error) {
    if (!value)
        return true;
    std::uint64_t seconds = 0;
    if (!parseNumber(value, static_cast<std::uint64_t>(kLastDosTime), seconds)) {
        error = std::string("SOURCE_DATE_EPOCH: '") + value +
                "' is not a number of seconds since 1970 up to the end of 2107";
        return false;
    }
    options.reproducible = true;
    options.epoch = static_cast<std::time_t>(seconds);
    return true;
}

} // namespace cfcli
