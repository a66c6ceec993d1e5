#include "run/pipeline.hpp"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

#include "host/thread_time.hpp"
#include "io/ending_signals.hpp"

namespace blockavg {
namespace {

constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();

bool onAnyBatch(Step step) noexcept {
    return step == Step::findLines || step == Step::parse || step == Step::layOut;
}

bool inOrder(Step step) noexcept {
    return step == Step::walk || step == Step::sum || step == Step::write;
}

struct Slot {
    bool inUse = false;  // it holds a batch
    bool busy = false;   // a thread is working on it
    Step next = Step::read;
};

class Pipeline {
public:
    Pipeline(const PipelineSteps& steps, std::vector<Batch>& batches, bool timed)
        : steps_(steps), batches_(batches), slots_(batches.size()), timed_(timed) {}

    void startThreads(unsigned threads);
    void joinThreads();

    // The roles' loops; each returns once every batch has been written.
    void callingThread();
    void workerThread();
    void readerThread();

    const std::array<double, stepCount>& seconds() const noexcept { return seconds_; }

private:
    struct Task {
        std::size_t slot = 0;
        Step step = Step::read;
    };

    Slot& slotOf(std::uint64_t sequence) noexcept { return slots_[sequence % slots_.size()]; }
    bool finished() const noexcept { return next(Step::write) >= end_; }
    std::uint64_t& next(Step step) noexcept { return nextInOrder_[index(step)]; }
    std::uint64_t next(Step step) const noexcept { return nextInOrder_[index(step)]; }
    static std::size_t index(Step step) noexcept {
        return step == Step::walk ? 0 : step == Step::sum ? 1 : 2;
    }

    bool takeInOrder(Step step, Task& task);
    bool takeWork(Task& task, bool claim = true);
    bool takeRead(Task& task);
    bool mayRead() noexcept;
    void run(std::unique_lock<std::mutex>& lock, const Task& task);
    bool take(Step step, Batch& batch);
    void finish(const Task& task, bool goOn);
    void endAt(std::uint64_t end);

    const PipelineSteps& steps_;
    std::vector<Batch>& batches_;
    std::vector<Slot> slots_;
    const bool timed_;
    std::array<double, stepCount> seconds_{};

    std::mutex mutex_;
    std::condition_variable callingWork_;  // the calling thread waits here
    std::condition_variable workerWork_;
    std::condition_variable readerWork_;
    std::uint64_t nextRead_ = 0;                // the next batch to read
    std::uint64_t nextInOrder_[3] = {0, 0, 0};  // to walk, to sum, to write
    std::uint64_t end_ = none;                  // the batches from this one on are not needed
    bool inputEnded_ = false;                   // a read met the end of the input or an error
    bool readerThread_ = false;
    bool callingThreadWaits_ = false;
    unsigned workersWaiting_ = 0;
    bool readerWaits_ = false;
    std::vector<std::thread> threads_;
};

void Pipeline::startThreads(unsigned threads) {
    if (threads <= 1) {
        return;
    }
    // The threads take none of the signals that end the run.
    const EndingSignalsBlocked blocked;
    if (steps_.readsInOrder) {
        try {
            threads_.emplace_back([this] { readerThread(); });
            const std::lock_guard lock(mutex_);
            readerThread_ = true;
        } catch (const std::exception&) {
            return;  // the calling thread reads, and does everything else too
        }
    }
    // With the calling thread, `threads` workers keep as many processors
    // busy.
    for (unsigned started = 1; started < threads; ++started) {
        try {
            threads_.emplace_back([this] { workerThread(); });
        } catch (const std::exception&) {
            break;  // fewer threads do the same work
        }
    }
}

void Pipeline::joinThreads() {
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

// The in-order step's turn, if the batch whose turn it is is ready for it.
bool Pipeline::takeInOrder(Step step, Task& task) {
    const std::uint64_t sequence = next(step);
    const std::size_t slot = sequence % slots_.size();
    const Slot& state = slots_[slot];
    if (sequence < end_ && state.inUse && !state.busy && state.next == step &&
        batches_[slot].sequence == sequence) {
        task = {slot, step};
        return true;
    }
    return false;
}

// A worker's next step: an in-order turn first, summing before walking;
// then the step on any batch of the oldest batch that has one; then a new
// batch to read at its offset, which is claimed: `claim` false only looks.
bool Pipeline::takeWork(Task& task, bool claim) {
    if (takeInOrder(Step::sum, task) || takeInOrder(Step::walk, task)) {
        return true;
    }
    bool found = false;
    std::uint64_t oldest = none;
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        const Slot& state = slots_[slot];
        if (state.inUse && !state.busy && onAnyBatch(state.next) &&
            batches_[slot].sequence < oldest) {
            oldest = batches_[slot].sequence;
            task = {slot, state.next};
            found = true;
        }
    }
    return found || (!steps_.readsInOrder && (claim ? takeRead(task) : mayRead()));
}

bool Pipeline::mayRead() noexcept {
    return !inputEnded_ && nextRead_ < end_ && !slotOf(nextRead_).inUse;
}

bool Pipeline::takeRead(Task& task) {
    if (!mayRead()) {
        return false;
    }
    const std::size_t slot = nextRead_ % slots_.size();
    slots_[slot] = {true, false, Step::read};
    batches_[slot].sequence = nextRead_++;
    task = {slot, Step::read};
    return true;
}

// Runs the task with the lock released, then records what it did.
void Pipeline::run(std::unique_lock<std::mutex>& lock, const Task& task) {
    slots_[task.slot].busy = true;
    lock.unlock();
    Batch& batch = batches_[task.slot];
    const double started = timed_ ? threadProcessorSeconds() : 0.0;
    bool goOn = true;
    // Memory that runs out is the one failure a step may throw. A read ends
    // the input there. Any other step leaves its batch out of memory, which
    // the later steps pass on and writing says; an in-order step ends the
    // run after the batch, and one that was writing writes that again.
    try {
        goOn = take(task.step, batch);
    } catch (const std::bad_alloc&) {
        if (task.step == Step::read) {
            batch.readEnd = ReadEnd::outOfMemory;
        } else {
            batch.outOfMemory = true;
            goOn = !inOrder(task.step) || (task.step == Step::write && steps_.write(batch));
        }
    }
    const double took = timed_ ? threadProcessorSeconds() - started : 0.0;
    lock.lock();
    seconds_[static_cast<std::size_t>(task.step)] += took;
    finish(task, goOn);
}

bool Pipeline::take(Step step, Batch& batch) {
    switch (step) {
        case Step::read:
            steps_.read(batch);
            return true;
        case Step::findLines:
            steps_.findLines(batch);
            return true;
        case Step::walk:
            return steps_.walk(batch);
        case Step::parse:
            steps_.parse(batch);
            return true;
        case Step::sum:
            return steps_.sum(batch);
        case Step::layOut:
            steps_.layOut(batch);
            return true;
        case Step::write:
            return steps_.write(batch);
    }
    return true;
}

void Pipeline::finish(const Task& task, bool goOn) {
    Slot& slot = slots_[task.slot];
    const Batch& batch = batches_[task.slot];
    slot.busy = false;
    if (task.step == Step::read) {
        inputEnded_ = inputEnded_ || batch.readEnd != ReadEnd::more;
    }
    if (inOrder(task.step)) {
        ++next(task.step);
    }
    if (task.step == Step::write) {
        slot.inUse = false;
    } else {
        slot.next = static_cast<Step>(static_cast<int>(task.step) + 1);
    }
    if (!goOn) {
        endAt(batch.sequence + 1);
    }
    if (batch.sequence >= end_) {
        slot.inUse = false;  // dropped
    }
    // Whoever may have work now is told, and only then: a thread woken for
    // nothing costs as much as the handing over itself.
    if (finished()) {
        callingWork_.notify_all();
        workerWork_.notify_all();
        readerWork_.notify_all();
        return;
    }
    Task ready;
    const bool write = takeInOrder(Step::write, ready);
    const bool work = takeWork(ready, false);
    const bool slotFreed = task.step == Step::write || !slot.inUse;
    if (work && workersWaiting_ > 0) {
        workerWork_.notify_one();
    } else if ((write || work || (slotFreed && !readerThread_)) && callingThreadWaits_) {
        callingWork_.notify_one();
    }
    if (write && callingThreadWaits_) {
        callingWork_.notify_one();
    }
    if (slotFreed && readerWaits_) {
        readerWork_.notify_one();
    }
}

// No batch from `end` on is needed: those in slots that no thread works on
// are dropped at once, the others once their step is done.
void Pipeline::endAt(std::uint64_t end) {
    if (end >= end_) {
        return;
    }
    end_ = end;
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (slots_[slot].inUse && !slots_[slot].busy && batches_[slot].sequence >= end_) {
            slots_[slot].inUse = false;
        }
    }
    readerWork_.notify_all();  // it reads no more
}

// Writing first, as it frees a slot; then a worker's steps; then, with no
// reader thread, reading.
void Pipeline::callingThread() {
    std::unique_lock lock(mutex_);
    while (!finished()) {
        Task task;
        if (takeInOrder(Step::write, task) || takeWork(task) ||
            (steps_.readsInOrder && !readerThread_ && takeRead(task))) {
            run(lock, task);
        } else {
            callingThreadWaits_ = true;
            callingWork_.wait(lock);
            callingThreadWaits_ = false;
        }
    }
}

void Pipeline::workerThread() {
    std::unique_lock lock(mutex_);
    while (!finished()) {
        Task task;
        if (takeWork(task)) {
            run(lock, task);
        } else {
            ++workersWaiting_;
            workerWork_.wait(lock);
            --workersWaiting_;
        }
    }
}

void Pipeline::readerThread() {
    std::unique_lock lock(mutex_);
    while (!finished() && !inputEnded_ && nextRead_ < end_) {
        Task task;
        if (takeRead(task)) {
            run(lock, task);
        } else {
            readerWaits_ = true;
            readerWork_.wait(lock);
            readerWaits_ = false;
        }
    }
}

}  // namespace

std::array<double, stepCount> runPipeline(const PipelineSteps& steps, std::vector<Batch>& batches,
                                          unsigned threads, bool timed) {
    Pipeline pipeline(steps, batches, timed);
    pipeline.startThreads(threads);
    pipeline.callingThread();
    pipeline.joinThreads();
    return pipeline.seconds();
}

}  // namespace blockavg
