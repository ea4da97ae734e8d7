// cabforge-cli: the archive builder's cabinet writer as a native command-line program for build
// servers. Packs files and folders into one cabinet with the same entry records as cabforge.exe.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cabforge/cli/cab_output.h"
#include "cabforge/cli/cli_options.h"
#include "cabforge/cli/input_list.h"

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

int report(const std::string &message, int code) {
    std::fprintf(stderr, "cabforge-cli: %s\n", message.c_str());
    return code;
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    cfcli::Options options;
    std::string message;
    if (!cfcli::parseOptions(args, options, message))
        return report(message + " (--help shows the usage)", kExitUsage);
    if (options.help) {
        std::fputs(cfcli::kUsage, stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("cabforge-cli %s\n", CABFORGE_VERSION);
        return kExitOk;
    }
    if (!cfcli::parseSourceDateEpoch(std::getenv("SOURCE_DATE_EPOCH"), options, message))
        return report(message, kExitUsage);
    std::vector<cfcli::InputFile> files;
    if (!cfcli::collectInputs(options, files, message))
        return report(message, kExitFailed);
    cfcli::OutputSettings settings;
    settings.compression = options.compression;
    const unsigned processors = std::thread::hardware_concurrency();
    settings.jobs = options.jobs ? options.jobs : processors ? processors : 1;
    settings.folderSize = options.folderSize ? options.folderSize : cfcli::kDefaultFolderSize;
    settings.reserve = options.reserve;
    settings.reproducible = options.reproducible;
    settings.epoch = options.epoch;
    settings.showProgress = !options.quiet && isatty(STDERR_FILENO);
    settings.followSymlinks = options.followSymlinks;
    if (!cfcli::writeCabinet(options.output, files, settings, message))
        return report(message, kExitFailed);
    return kExitOk;
}
