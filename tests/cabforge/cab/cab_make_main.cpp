// cab_make: builds one cabinet with the writer, for the Wine tests of the Windows build.
// Usage: cab_make <list file> <cabinet> <compression type, hex> <temporary folder>
// The list file holds one entry per line: source TAB name TAB date TAB time TAB attributes
// (numbers in decimal, name in UTF-8). Exit code 0 on success, 1 with the error on stderr.
#include "tests/cabforge/cab/crt_driver.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: cab_make <list> <cabinet> <type> <tempdir>\n");
        return 2;
    }
    std::ifstream list(argv[1], std::ios::binary);
    if (!list) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<cabtest::FileEntry> files;
    std::string line;
    while (std::getline(list, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        std::istringstream in(line);
        cabtest::FileEntry f;
        std::string date, time, attribs;
        std::getline(in, f.source, '\t');
        std::getline(in, f.name, '\t');
        std::getline(in, date, '\t');
        std::getline(in, time, '\t');
        std::getline(in, attribs, '\t');
        f.date = static_cast<std::uint16_t>(std::atoi(date.c_str()));
        f.time = static_cast<std::uint16_t>(std::atoi(time.c_str()));
        f.attribs = static_cast<std::uint16_t>(std::atoi(attribs.c_str()));
        files.push_back(f);
    }
    cabw::CabinetParams params{};
    params.setId = 12345;
    params.cabinetNumber = 1;
    const auto type = static_cast<std::uint16_t>(std::strtoul(argv[3], nullptr, 16));
    const cabtest::BuildResult r = cabtest::buildCabinet(argv[2], files, type, params, argv[4]);
    if (!r.ok || r.openDescriptors || r.tempFilesLeft) {
        std::fprintf(stderr, "failed at %s: error %d errno %d; %d descriptors and %d temporary files left\n",
                     r.failedStep.c_str(), r.error.code, r.error.errnoType, r.openDescriptors,
                     r.tempFilesLeft);
        return 1;
    }
    return 0;
}
