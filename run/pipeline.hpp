#pragma once

// The threads that carry batches of input through a run: a pool, with a
// fixed reader and a fixed writer.
//
//   reader   a thread of its own for input read in order (a pipe, compressed
//            input): it reads each batch into the batch's place in the ring
//            once that place is free, and does nothing else (for compressed
//            input it also cuts the units that the pool decodes). A regular
//            file is read by the pool instead, each batch at its place in
//            the file.
//   pool     a thread per processor but one, and the calling thread. A free
//            member takes, in this order: an in-order turn that has come
//            (summing, then walking the frames: every later batch waits on
//            them), the oldest batch's next step that runs on any batch
//            (reading a file's batch, finding line ends, parsing, laying
//            out), a unit of compressed input to decode.
//   writer   the calling thread writes the batches in input order, and only
//            it writes, so the output, the report and the messages come from
//            one thread, which also takes the signals that end the run.
//            Until its next batch is laid out it works in the pool: handing
//            each batch to a sleeping writer cost 13 % on a million 3-atom
//            frames with the report to a pipe.
//
// Why a pool and not a thread per step, as pigz and zstd's asynchronous I/O
// have: two such shapes were built and measured on two processors (the
// calling thread owning the walk, the sums and the writes; and pigz's), and
// both were 6 to 13 % slower on large frames and no faster on small ones, as
// the next batch's walk waited for its one owner; here whichever thread is
// free takes it.
//
// Invariants, kept by the code in pipeline.cpp:
//  - Batch number s lives in place s % places of the ring, from its read
//    until it has been written or dropped; only then does the place take
//    batch s + places. The ring is a reorder buffer: whatever order the pool
//    finishes batches in, each in-order step takes them by sequence number,
//    one at a time, so a step's state that carries over from batch to batch
//    (the frame walker, the last values and the sums, the writer's) is
//    touched by one thread at a time, and what the run gives is the same for
//    any number of threads. (Writing the last batch may read the sums, for
//    the lines of a frame the input ended inside: no batch is summed after
//    it.)
//  - A batch is in at most one state at a time: read, queued for the pool,
//    worked on, or waiting for an in-order turn. The pool's queue holds at
//    most one entry per place.
//  - After every step, each task it made takeable has a thread headed for
//    it (the rule is written where it is kept, in Pipeline::finish).
//  - Once an in-order step finds that no later batch is needed (the input
//    has ended, or the run stops), batches after it are dropped and no more
//    are read; the run ends once every batch up to it has been written.
// With one processor, or when the reader cannot be started, the calling
// thread takes every step, batch after batch, in one place; when no pool
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
// processors to use; `batches` are the places of the ring. Returns the processor time
// each step took, in seconds summed over threads, when `timed`.
std::array<double, stepCount> runPipeline(const PipelineSteps& steps, std::vector<Batch>& batches,
                                          unsigned threads, bool timed);

}  // namespace blockavg
