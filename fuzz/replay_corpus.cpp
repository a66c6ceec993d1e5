// Runs every file of the given folders through the fuzz target's checks,
// without libFuzzer: a pass over a corpus under a sanitizer that libFuzzer
// does not combine with (ThreadSanitizer).
//
//   replay_corpus FOLDER...     exit status 1 if any input breaks a property

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/in_memory_pass.hpp"

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    long checked = 0;
    long broken = 0;
    for (int arg = 1; arg < argc; ++arg) {
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(argv[arg], error)) {
            if (!entry.is_regular_file()) {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string data((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
            const std::string problem = blockavg::fuzzing::checkFuzzInput(data);
            ++checked;
            if (!problem.empty()) {
                ++broken;
                std::printf("%s: %s\n", entry.path().c_str(), problem.c_str());
            }
        }
    }
    std::printf("%ld inputs checked, %ld broke a property\n", checked, broken);
    return broken == 0 && checked > 0 ? 0 : 1;
}
