#pragma once

// Runs batches through a fixed sequence of steps on a number of threads, as
// an assembly line: batch k+1 can be parsed while batch k is summed and
// batch k-1 written. A step is either in order (one batch at a time, in the
// order the first step made them) or parallel (any number of batches at
// once). The first step makes batches and is always in order.
//
// Each batch lives in one of a fixed number of slots, which bounds memory: a
// slot is reused once its batch has passed the last step. Steps downstream
// go first, so that batches leave as soon as they can.

#include <cstddef>
#include <functional>
#include <vector>

namespace blockavg {

// Which threads may run a step. A step that may block (reading a pipe) runs
// on the other threads, and one that must own the process's signals
// (writing the output) on the calling thread, so that neither waits for the
// other; with no other thread the calling thread runs everything.
enum class StepThreads { any, calling, others };

struct PipelineStep {
    bool inOrder = true;
    StepThreads threads = StepThreads::any;
    // Works on the batch in `slot`. False stops the line after this batch:
    // it still passes the later steps, no later batch does (for the first
    // step: this is the last batch).
    std::function<bool(std::size_t slot)> work;
};

// Runs until every batch has passed every step. With one thread everything
// runs on the calling thread; otherwise threads - 1 more are started, with
// the signals that end a process blocked (the calling thread takes them),
// and all have ended when this returns. The step functions must not throw.
// Returns the time spent in each step, in seconds, summed over threads.
std::vector<double> runPipeline(const std::vector<PipelineStep>& steps, std::size_t slots,
                                unsigned threads);

}  // namespace blockavg
