#pragma once

// One pass over the input: frame by frame, the atom coordinates and the box
// value go into running sums, the report shows each frame, and every
// blockLength frames the sums go out as one averaged frame and start again.
//
// The road of a frame: its bytes are read in batches (run/pipeline.hpp:
// the reader, or the pool for a regular file), the pool finds their line
// ends (xmol/batch_lines.hpp), the frame walker finds the frame by its
// count line (xmol/frame_walker.hpp), the pool parses its items
// (xmol/item_parser.hpp), LastValues resolves the ones that could not be
// read (xmol/last_values.hpp), BlockSums adds them (run/block_sums.hpp),
// the pool lays out the report and the averaged frames
// (run/batch_layout.hpp) and the writer puts them out (run/writer.hpp).
// What reaches the report, the messages and the output is the same for any
// number of threads and however the input arrives.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/reporter.hpp"

namespace blockavg {

struct RunSettings {
    std::int32_t blockLength = 100;  // at least 1
    unsigned threads = 1;            // processors to use; 1: no thread is started
    std::size_t batchBytes = 0;      // bytes read per batch; 0: chosen for the threads
    std::uint64_t inputSize = 0;     // the input's bytes, for the progress line; 0: not known
};

// What the run reads, writes and reports to; the names are for messages.
struct RunStreams {
    ByteSource& input;
    std::string inputName;
    ByteSink& output;
    std::string outputName;
    std::FILE* report;   // the progress report
    Reporter& messages;  // errors, warnings and notes
};

// Where the processor time went, in seconds summed over threads.
struct RunTimes {
    double reading = 0.0;
    double findingLines = 0.0;
    double walking = 0.0;  // in order
    double parsing = 0.0;
    double summing = 0.0;  // in order
    double layingOut = 0.0;
    double writing = 0.0;      // in order
    bool readInOrder = false;  // reading was in order too (a pipe, a decompressor)

    double total() const noexcept {
        return reading + findingLines + walking + parsing + summing + layingOut + writing;
    }
    double inOrder() const noexcept {
        return walking + summing + writing + (readInOrder ? reading : 0.0);
    }
};

// Averages the whole input. False when it could not be read to its end or
// a stop, the output could not be written, or memory ran out in a step;
// the reason has been reported then. When it went well, the frames after
// the last full block, read but not averaged, are noted, and so is what was
// passed over after the input's end (bytes after the last gzip member).
// `times`, when given, receives where the time went. Throws std::bad_alloc
// when memory runs out outside the steps (before the first batch, or for
// the last messages): the caller reports it.
bool averageTrajectory(const RunStreams& streams, const RunSettings& settings,
                       RunTimes* times = nullptr);

}  // namespace blockavg
