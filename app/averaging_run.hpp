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

    // The same pass over a reader and a writer the caller has opened (the
    // input and output paths then serve only to name them in messages).
    // Closes both; returns the exit status.
    int run(XmolFrameReader& reader, AveragedFrameWriter& writer);

    // A frame of more than `limit` atoms fails like one that memory cannot
    // hold. There is no limit unless one is set.
    void limitAtoms(std::int32_t limit) noexcept { atomLimit = limit; }

private:
    int readFrames(XmolFrameReader& reader, AveragedFrameWriter& writer, ProgressReport& report);
    bool resizeAtoms(std::int32_t count) noexcept;
    void closeBlock();
    void say(ProgressReport& report, const std::string& message);
    std::string inputName() const;

    std::string inputPath;
    std::string outputPath;
    std::int32_t blockLength;
    std::int32_t atomLimit = INT32_MAX;
    std::int64_t frameNumber = 1;
    double boxSum = 0.0;
    AtomList atoms;
    std::FILE* console;
    std::FILE* diagnostics;
};

}  // namespace blockavg
