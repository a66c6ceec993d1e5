#pragma once

// The whole averaging pass run in memory (tests/support/memory_streams.hpp), and the properties
// every such run must have, shared by the fuzz target and the tests.
//
// POSIX only (open_memstream): this is test code, not part of the tool.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/memory_streams.hpp"

namespace blockavg::fuzzing {

struct PassSettings {
    std::int32_t blockLength = 100;
    unsigned threads = 1;
    std::size_t batchBytes = 0;        // bytes read per batch; 0: the run's own choice
    std::size_t chunkSize = never;     // bytes handed out per read, as a pipe might
    std::size_t readFailsAt = never;   // after this many bytes reading fails
    std::size_t writeFailsAt = never;  // writing fails once the output would pass this size
};

struct PassResult {
    int status = -1;          // 0 or 1, as the tool's exit status
    std::string output;       // what trajectory.xmol would hold
    std::string console;      // the progress report
    std::string diagnostics;  // errors and warnings
};

// Averages `input` as blockavg would a file named "in.xyz" into
// "trajectory.xmol". A failing read says "Input/output error", a failing
// write "No space left on device".
PassResult runInMemory(std::string_view input, const PassSettings& settings);

// The note a run that went well ends with on the frames after its last full
// block (without its line feed), as the tool words it independently; empty
// when no frame is left over.
std::string leftOverNote(std::string_view inputName, std::size_t frames, std::size_t blockLength);

// The largest atom count a fuzz input may announce on any line: larger
// counts would cost the fuzzer memory and time rather than find faults.
inline constexpr std::int32_t fuzzAtomLimit = std::int32_t{1} << 12;

// Decodes a fuzz input (two bytes of settings, then the trajectory), runs
// it and checks the result. Returns an empty string when every property
// holds, otherwise a description of the first one that does not.
std::string checkFuzzInput(std::string_view data);

}  // namespace blockavg::fuzzing
