// Helpers for the cabinet writer tests: temporary folders, files, running the reader tools.
#pragma once

#include <string>
#include <vector>

namespace cabtest {

struct RunResult {
    int exitCode = -1;
    std::string output; // stdout and stderr
};

// Runs a shell command line.
RunResult run(const std::string &command);
std::string quote(const std::string &s);

std::string makeTempDir();
void removeTree(const std::string &dir);
void writeFile(const std::string &path, const std::string &bytes); // creates parent folders
bool readFile(const std::string &path, std::string *bytes);
// Regular files below dir, as paths relative to it with '/' separators.
std::vector<std::string> listFiles(const std::string &dir);

// Deterministic test data.
std::string randomBytes(std::size_t n, unsigned seed);
std::string textBytes(std::size_t n, unsigned seed); // word salad with line breaks

} // namespace cabtest
