#pragma once

// The whole averaging pass run in memory, and the properties every such run
// must have, shared by the fuzz target and the regression tests.
//
// POSIX only (open_memstream): this is test code, not part of the tool.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace blockavg::fuzzing {

struct PassSettings {
    std::int32_t blockLength = 100;
    std::size_t chunkSize = static_cast<std::size_t>(-1);  // bytes handed out per read
    std::size_t bufferSize = 0;                            // initial read buffer, 0: usual
    std::int32_t atomLimit = INT32_MAX;
};

struct PassResult {
    int status = -1;
    std::string output;       // what trajectory.xmol would hold
    std::string console;      // the progress report
    std::string diagnostics;  // errors and warnings
};

// Averages `input` as blockavg would a file named "in.xyz".
PassResult runInMemory(std::string_view input, const PassSettings& settings);

// The largest frame a fuzz run holds: larger counts take the out-of-memory
// path, so that damaged counts cost neither memory nor time.
inline constexpr std::int32_t fuzzAtomLimit = std::int32_t{1} << 12;

// Decodes a fuzz input (two bytes of settings, then the trajectory), runs
// it and checks the result. Returns an empty string when every property
// holds, otherwise a description of the first one that does not.
std::string checkFuzzInput(std::string_view data);

}  // namespace blockavg::fuzzing
