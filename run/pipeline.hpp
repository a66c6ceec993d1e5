#pragma once

// The roles that carry batches of input through a run, fixed as in pigz and
// in zstd's asynchronous I/O:
//
//   reader          a thread of its own when the input must be read in
//                   order (a pipe, a decompressor). It fills batches with
//                   bytes, one after another, and does nothing else.
//   pool            threads that take the next parallel step of any batch,
//                   the oldest batch first: reading a regular file's batch at
//                   its offset, finding line ends, parsing items, laying out
//                   text. A batch is in one step at a time, and a pool step
//                   touches nothing but its batch.
//   calling thread  the steps that must go in input order, batch after
//                   batch: walking frames, summing, writing. It alone owns
//                   what they carry from batch to batch (the frame walker,
//                   the last values, the sums, the output, the report), and
//                   it takes the signals that end the run.
//
// Batch number s lives in slot s % slots; a slot takes a new batch only
// once its batch has been written or dropped. So the slots are a reorder
// buffer with room for `slots` batches: whatever order the pool finishes
// them in, each in-order step takes them in sequence, and what the run
// gives is the same for any number of threads. Once a step finds that no
// later batch is needed (the input has ended, or the run stops), batches
// after it are dropped and no more are read.
//
// With no pool thread the calling thread takes the pool's steps too, and
// with no reader thread it reads; with one processor no thread is started
// and it does every step, batch after batch.

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
    // On the pool.
    std::function<void(Batch&)> findLines;
    std::function<void(Batch&)> parse;
    std::function<void(Batch&)> layOut;
    // In order, on the calling thread: false when no later batch is needed.
    std::function<bool(Batch&)> walk;
    std::function<bool(Batch&)> sum;
    std::function<bool(Batch&)> write;
};

// Runs the steps over batches until a step finds no later batch is needed
// and every batch up to it has been written. `threads` is the number of
// processors to use; `batches` are the slots. Returns the processor time
// each step took, in seconds summed over threads, when `timed`.
std::array<double, stepCount> runPipeline(const PipelineSteps& steps, std::vector<Batch>& batches,
                                          unsigned threads, bool timed);

}  // namespace blockavg
