#pragma once

// One pass over the input: frame by frame, the atom coordinates and the box
// value go into running sums, the console reports the frame, and every
// blockLength frames the sums go out as one averaged frame and are cleared.
//
// The pass runs as a pipeline on the given number of threads: batches of
// input are read and split into frames in order, parsed on any thread,
// summed in order, laid out on any thread and written in order. What reaches
// the console, the diagnostics and the output is the same for any number of
// threads.

#include <cstdint>
#include <cstdio>
#include <string>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"

namespace blockavg {

struct RunSettings {
    std::int32_t blockLength = 100;  // at least 1
    unsigned threads = 1;            // 1: no thread is started
};

// What the run reads, writes and reports to; the names are for messages.
struct RunStreams {
    ByteSource& input;
    std::string inputName;
    ByteSink& output;
    std::string outputName;
    std::FILE* console;      // the progress report
    std::FILE* diagnostics;  // errors and warnings
};

// Where the time went, in seconds summed over threads: the steps that take
// batches in order (reading and finding frames, summing, writing) bound
// how far more threads can speed the pass up.
struct RunTimes {
    double reading = 0.0;     // in order
    double parsing = 0.0;     // on any thread
    double summing = 0.0;     // in order
    double formatting = 0.0;  // on any thread
    double writing = 0.0;     // in order
};

// Averages the whole input. False when it could not be read to its end or
// a stop, the output could not be written, or memory ran out; the reason
// has been reported on the diagnostics stream then. When it went well, the
// frames after the last full block, read but not averaged, are noted there.
// `times`, when given, receives where the time went.
bool averageTrajectory(const RunStreams& streams, const RunSettings& settings,
                       RunTimes* times = nullptr);

}  // namespace blockavg
