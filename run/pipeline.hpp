#pragma once

// The roles that carry batches of input through a run, fixed as in pigz and
// in zstd's asynchronous I/O, with a queue between each and the next:
//
//   reader   a thread of its own for input that must be read in order (a
//            pipe, a decompressor): it takes the slot of the next batch once
//            that slot is free, fills it with bytes and hands it to the pool,
//            and does nothing else. A regular file is read instead by the
//            pool, each batch at its place in the file.
//   pool     the threads started for the run, one fewer than processors,
//            and the calling thread while it has nothing to write. They take
//            the steps that run on any batch at once (reading a file's batch,
//            finding line ends, parsing, laying out) from a queue that gives
//            the oldest batch first, and the two steps that go in input
//            order, walking the frames and summing, whenever the next batch's
//            turn of one has come: these come first, as every later batch
//            waits on them.
//   writer   the calling thread: it writes the batches in input order, and
//            only it writes, so the output, the report and the messages come
//            from one thread, which also takes the signals that end the run.
//            Until a batch's turn to be written has come it works in the
//            pool, so that most often it has just laid the batch out itself:
//            handing each batch to a sleeping writer costs more than that.
//
// Invariants, kept by the code in pipeline.cpp:
//  - Batch number s lives in slot s % slots, from its read until it has been
//    written or dropped; only then does the slot take batch s + slots. The
//    slots are a reorder buffer: whatever order the pool finishes batches
//    in, each in-order step takes them by sequence number, one at a time,
//    so a step's state that carries over from batch to batch (the frame
//    walker, the last values and the sums, the writer's) is touched by one
//    thread at a time, and what the run gives is the same for any number of
//    threads. (Writing the last batch may read the sums and the last
//    values, for the lines of a frame the input ended inside: no batch is
//    summed after it.)
//  - A batch is in at most one place at a time: read, queued for the pool,
//    worked on, or waiting for an in-order turn. The pool's queue holds at
//    most one entry per slot.
//  - Once an in-order step finds that no later batch is needed (the input
//    has ended, or the run stops), batches after it are dropped and no more
//    are read; the run ends once every batch up to it has been written.
// With one processor, or when the reader cannot be started, the calling
// thread takes every step, batch after batch, in one slot; when no pool
// thread can be, it is the pool alone.

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

#include "io/byte_source.hpp"
#include "run/batch.hpp"

namespace blockavg {

enum class Step : std::uint8_t { read, findLines, walk, parse, sum, layOut, write };
inline constexpr std::size_t stepCount = 7;

// What the run does to a batch. Out of memory takes one route: any step but
// writing may throw std::bad_alloc (and nothing else), which sets the
// batch's `outOfMemory`. The pool's steps are then not taken on that batch;
// the in-order steps still are, in turn, and must end the run with it (one
// that threw ends it at once: its state may be half made); writing says it,
// and throws nothing.
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
    std::function<bool(const Batch&)> write;  // on the calling thread; noexcept
    // Compressed input read in order: the pool decodes its units
    // (ByteSource::takeWork()) when it has nothing of its own to do.
    ByteSource* decoding = nullptr;
};

// Runs the steps over batches until a step finds no later batch is needed
// and every batch up to it has been written. `threads` is the number of
// processors to use; `batches` are the slots. Returns the processor time
// each step took, in seconds summed over threads, when `timed`.
std::array<double, stepCount> runPipeline(const PipelineSteps& steps, std::vector<Batch>& batches,
                                          unsigned threads, bool timed);

}  // namespace blockavg
