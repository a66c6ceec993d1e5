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

bool onPool(Step step) noexcept {
    return step == Step::findLines || step == Step::parse || step == Step::layOut;
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
    void poolThread();
    void readerThread();

    const std::array<double, stepCount>& seconds() const noexcept { return seconds_; }

private:
    struct Task {
        std::size_t slot = 0;
        Step step = Step::read;
    };

    Slot& slotOf(std::uint64_t sequence) noexcept { return slots_[sequence % slots_.size()]; }
    bool finished() const noexcept { return nextInOrder(Step::write) >= end_; }
    std::uint64_t& nextInOrder(Step step) noexcept {
        return nextInOrder_[step == Step::walk ? 0 : step == Step::sum ? 1 : 2];
    }
    std::uint64_t nextInOrder(Step step) const noexcept {
        return nextInOrder_[step == Step::walk ? 0 : step == Step::sum ? 1 : 2];
    }

    bool takeInOrder(Task& task);
    bool takePoolStep(Task& task);
    bool takeRead(Task& task);
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
    std::condition_variable inOrderWork_;  // the calling thread waits here
    std::condition_variable poolWork_;
    std::condition_variable readerWork_;
    std::uint64_t nextRead_ = 0;                // the next batch to read
    std::uint64_t nextInOrder_[3] = {0, 0, 0};  // to walk, to sum, to write
    std::uint64_t end_ = none;                  // the batches from this one on are not needed
    bool inputEnded_ = false;                   // a read met the end of the input or an error
    unsigned poolThreads_ = 0;
    bool readerThread_ = false;
    bool callingThreadWaits_ = false;
    unsigned poolThreadsWaiting_ = 0;
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
    // The calling thread takes pool steps when it has nothing in order to
    // do: with it, `threads` threads keep as many processors busy.
    for (unsigned started = 1; started < threads; ++started) {
        try {
            threads_.emplace_back([this] { poolThread(); });
            const std::lock_guard lock(mutex_);
            ++poolThreads_;
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

// The next in-order step, writing first: it frees a slot.
bool Pipeline::takeInOrder(Task& task) {
    for (const Step step : {Step::write, Step::sum, Step::walk}) {
        const std::uint64_t sequence = nextInOrder(step);
        const std::size_t index = sequence % slots_.size();
        const Slot& slot = slots_[index];
        if (sequence < end_ && slot.inUse && !slot.busy && slot.next == step &&
            batches_[index].sequence == sequence) {
            task = {index, step};
            return true;
        }
    }
    return false;
}

// The pool step of the oldest batch that has one, else a new batch to read
// at its offset.
bool Pipeline::takePoolStep(Task& task) {
    bool found = false;
    std::uint64_t oldest = none;
    for (std::size_t index = 0; index < slots_.size(); ++index) {
        const Slot& slot = slots_[index];
        if (slot.inUse && !slot.busy && onPool(slot.next) && batches_[index].sequence < oldest) {
            oldest = batches_[index].sequence;
            task = {index, slot.next};
            found = true;
        }
    }
    return found || (!steps_.readsInOrder && takeRead(task));
}

bool Pipeline::takeRead(Task& task) {
    if (inputEnded_ || nextRead_ >= end_ || slotOf(nextRead_).inUse) {
        return false;
    }
    const std::size_t index = nextRead_ % slots_.size();
    slots_[index] = {true, false, Step::read};
    batches_[index].sequence = nextRead_++;
    task = {index, Step::read};
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
            goOn = onPool(task.step) || (task.step == Step::write && steps_.write(batch));
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
    switch (task.step) {
        case Step::read:
            inputEnded_ = inputEnded_ || batch.readEnd != ReadEnd::more;
            slot.next = Step::findLines;
            break;
        case Step::findLines:
            slot.next = Step::walk;
            break;
        case Step::walk:
            slot.next = Step::parse;
            break;
        case Step::parse:
            slot.next = Step::sum;
            break;
        case Step::sum:
            slot.next = Step::layOut;
            break;
        case Step::layOut:
            slot.next = Step::write;
            break;
        case Step::write:
            slot.inUse = false;
            break;
    }
    if (!onPool(task.step) && task.step != Step::read) {
        ++nextInOrder(task.step);
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
        inOrderWork_.notify_all();
        poolWork_.notify_all();
        readerWork_.notify_all();
        return;
    }
    const bool poolStep =
        (slot.inUse && onPool(slot.next)) || (!steps_.readsInOrder && task.step == Step::write);
    Task next;
    bool callingThreadNeeded = takeInOrder(next) || (!readerThread_ && task.step == Step::write);
    if (poolStep && poolThreadsWaiting_ > 0) {
        poolWork_.notify_one();
    } else {
        callingThreadNeeded = callingThreadNeeded || poolStep;
    }
    if (callingThreadNeeded && callingThreadWaits_) {
        inOrderWork_.notify_one();
    }
    if (readerWaits_ && task.step == Step::write) {
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
    for (std::size_t index = 0; index < slots_.size(); ++index) {
        if (slots_[index].inUse && !slots_[index].busy && batches_[index].sequence >= end_) {
            slots_[index].inUse = false;
        }
    }
    readerWork_.notify_all();  // it reads no more
}

void Pipeline::callingThread() {
    std::unique_lock lock(mutex_);
    while (!finished()) {
        Task task;
        if (takeInOrder(task) || takePoolStep(task) ||
            (steps_.readsInOrder && !readerThread_ && takeRead(task))) {
            run(lock, task);
        } else {
            callingThreadWaits_ = true;
            inOrderWork_.wait(lock);
            callingThreadWaits_ = false;
        }
    }
}

void Pipeline::poolThread() {
    std::unique_lock lock(mutex_);
    while (!finished()) {
        Task task;
        if (takePoolStep(task)) {
            run(lock, task);
        } else {
            ++poolThreadsWaiting_;
            poolWork_.wait(lock);
            --poolThreadsWaiting_;
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
