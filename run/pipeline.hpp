#pragma once

// The roles that carry batches of input through a run, fixed as in pigz and
// in zstd's asynchronous I/O:
//
//   reader    a thread of its own for input that must be read in order (a
//             pipe, a decompressor): it fills batches with bytes, one after
//             another, and does nothing else. A regular file is read instead
//             by the workers, each batch at its place in the file.
//   workers   the calling thread and the threads started beside it. They
//             take the steps that run on any batch at once, the oldest batch
//             first (reading a file's batch, finding line ends, parsing,
//             laying out), and the two that go in input order, walking the
//             frames and summing: the next batch's turn of these goes to
//             whichever worker is free, most often the one that has its
//             lines and items in its cache. These come first.
//   writer    the calling thread: writing goes in input order, and only there,
//             so the output, the report and the messages are written by one
//             thread, which also takes the signals that end the run.
//
// Each step's state that carries over from batch to batch (the frame
// walker, the last values and the sums, the writer's) is touched by one
// step only, and that step takes the batches one at a time, in sequence.
// (Writing the last batch may read the sums and the last values, for the
// lines of a frame the input ended inside: no batch is summed after it.)
// Batch number s lives in slot s % slots; a slot takes a new batch only once
// its batch has been written or dropped, so the slots are a reorder buffer:
// whatever order the workers finish batches in, the in-order steps take them
// in sequence, and what the run gives is the same for any number of
// threads. Once a step finds that no later batch is needed (the input has
// ended, or the run stops), batches after it are dropped and no more are
// read. With one processor no thread is started: the calling thread takes
// every step, batch after batch.

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

#include "run/batch.hpp"

namespace blockavg {

enum class Step : std::uint8_t { read, findLines, walk, parse, sum, layOut, write };
inline constexpr std::size_t stepCount = 7;

// What the run does to a batch. A step may throw std::bad_alloc and
// nothing else: a read then ends the input with ReadEnd::outOfMemory; any
// other step sets Batch::outOfMemory, which the later steps must pass on
// and writing must say (without throwing again). After an in-order step the
// run then ends with that batch, and a write that threw is made again.
struct PipelineSteps {
    // Reads the batch's bytes: the next ones for input read in order, those
    // at the batch's place in the input otherwise.
    std::function<void(Batch&)> read;
    bool readsInOrder = true;
    // On any batch at once.
    std::function<void(Batch&)> findLines;
    std::function<void(Batch&)> parse;
    std::function<void(Batch&)> layOut;
    // In order: false when no later batch is needed.
    std::function<bool(Batch&)> walk;
    std::function<bool(Batch&)> sum;
    std::function<bool(const Batch&)> write;  // on the calling thread
};

// Runs the steps over batches until a step finds no later batch is needed
// and every batch up to it has been written. `threads` is the number of
// processors to use; `batches` are the slots. Returns the processor time
// each step took, in seconds summed over threads, when `timed`.
std::array<double, stepCount> runPipeline(const PipelineSteps& steps, std::vector<Batch>& batches,
                                          unsigned threads, bool timed);

}  // namespace blockavg
