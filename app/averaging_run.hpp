#pragma once

// One streaming pass over the input: frame by frame, the atom coordinates
// and the box value go into running sums, the console reports the frame,
// and every blockLength frames the sums are written out as averages and
// cleared.

#include <cstdint>
#include <cstdio>
#include <string>

#include "trajectory/atom_record.hpp"

namespace blockavg {

class XmolFrameReader;
class AveragedFrameWriter;
class ProgressReport;

enum ExitStatus : int { exitSuccess = 0, exitFailure = 1, exitUsage = 2 };

class AveragingRun {
public:
    // blockLength is at least 1. The console gets the progress report, the
    // diagnostics stream gets errors and warnings.
    AveragingRun(std::string inputPath, std::string outputPath, std::int32_t blockLength,
                 std::FILE* console, std::FILE* diagnostics);

    // Reads the input, writes the output; returns the exit status.
    int run();

private:
    int readFrames(XmolFrameReader& reader, AveragedFrameWriter& writer, ProgressReport& report);
    bool resizeAtoms(std::int32_t count) noexcept;
    void closeBlock();
    void say(ProgressReport& report, const std::string& message);
    std::string inputName() const;

    std::string inputPath;
    std::string outputPath;
    std::int32_t blockLength;
    std::int64_t frameNumber = 1;
    double boxSum = 0.0;
    AtomList atoms;
    std::FILE* console;
    std::FILE* diagnostics;
};

}  // namespace blockavg
