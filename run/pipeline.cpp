#include "run/pipeline.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

#include "host/ending_signals.hpp"
#include "host/thread_time.hpp"

namespace blockavg {
namespace {

constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();

bool onPool(Step step) noexcept {
    return step == Step::findLines || step == Step::parse || step == Step::layOut;
}

Step after(Step step) noexcept { return static_cast<Step>(static_cast<int>(step) + 1); }

// Takes one step on the batch, timed into `seconds`; returns false when no
// later batch is needed. Memory that runs out marks the batch, which then
// skips the pool's steps (see PipelineSteps).
bool take(const PipelineSteps& steps, Step step, Batch& batch, double* seconds) {
    if (onPool(step) && batch.outOfMemory) {
        return true;
    }
    const double started = seconds != nullptr ? threadProcessorSeconds() : 0.0;
    bool goOn = true;
    try {
        switch (step) {
            case Step::read:
                steps.read(batch);
                break;
            case Step::findLines:
                steps.findLines(batch);
                break;
            case Step::walk:
                goOn = steps.walk(batch);
                break;
            case Step::parse:
                steps.parse(batch);
                break;
            case Step::sum:
                goOn = steps.sum(batch);
                break;
            case Step::layOut:
                steps.layOut(batch);
                break;
            case Step::write:
                goOn = steps.write(batch);
                break;
        }
    } catch (const std::bad_alloc&) {
        // An in-order step may have left its state half made: no later
        // batch may take it.
        batch.outOfMemory = true;
        goOn = step != Step::walk && step != Step::sum;
    }
    if (seconds != nullptr) {
        *seconds += threadProcessorSeconds() - started;
    }
    return goOn;
}

// What a place in the ring holds: no batch; or a batch waiting for its
// `next` step, or taking it (`busy`). Every one of these states is one a
// batch takes between two steps; none comes for free.
struct Place {
    bool inUse = false;  // it holds a batch
    bool busy = false;   // a thread is taking a step on it
    Step next = Step::read;
};

// The pool's queue: the batches whose next step runs on any batch at once,
// oldest on top. At most one entry per place, so it never grows past the
// room it is given at the start.
struct Queued {
    std::uint64_t sequence = 0;
    std::size_t place = 0;
    bool operator<(const Queued& other) const noexcept { return sequence > other.sequence; }
};

class Pipeline {
public:
    Pipeline(const PipelineSteps& steps, std::vector<Batch>& batches, bool timed)
        : steps_(steps), batches_(batches), places_(batches.size()), timed_(timed) {
        queue_.reserve(places_.size());
    }

    // Starts the pool and the reader; false when the run must go on alone.
    bool startThreads(unsigned threads);
    bool startThread(std::function<void()> work);
    void joinThreads();

    void writer();
    void alone();

    const std::array<double, stepCount>& seconds() const noexcept { return seconds_; }

private:
    struct Task {
        std::size_t place = 0;
        Step step = Step::read;
    };

    void pool();
    void reader();
    void wakeForDecoding();
    bool decode(std::unique_lock<std::mutex>& lock);
    bool finished() const noexcept { return nextWrite_ >= end_; }
    bool turnOf(Step step, std::uint64_t sequence, Task& task) const noexcept;
    bool mayRead() const noexcept;
    Task claimRead();
    bool takePoolTask(Task& task);
    unsigned poolTasks() const noexcept;
    enum class Role : std::uint8_t { reader, pool, writer };
    void run(std::unique_lock<std::mutex>& lock, const Task& task, Role role);
    void finish(const Task& task, bool goOn, Role role);
    void endAt(std::uint64_t end);

    const PipelineSteps& steps_;
    std::vector<Batch>& batches_;
    std::vector<Place> places_;
    const bool timed_;
    std::array<double, stepCount> seconds_{};

    std::mutex mutex_;
    std::condition_variable readerWork_;  // the place of the next batch to read is free
    std::condition_variable poolWork_;    // a pool task, or an in-order turn, is ready
    std::condition_variable writerWork_;  // the next batch to write is laid out
    std::vector<Queued> queue_;           // a heap
    std::uint64_t nextRead_ = 0;
    std::uint64_t nextWalk_ = 0;
    std::uint64_t nextSum_ = 0;
    std::uint64_t nextWrite_ = 0;
    std::uint64_t end_ = none;  // the batches from this one on are not needed
    bool inputEnded_ = false;   // a read met the end of the input, an error, or no memory
    unsigned poolWaiting_ = 0;  // pool threads waiting for work
    bool writerWaits_ = false;  // the calling thread waits, for a write or the pool's work
    std::vector<std::thread> threads_;
};

bool Pipeline::startThreads(unsigned threads) {
    if (threads <= 1 || places_.size() < 2) {
        return false;
    }
    // With the calling thread, `threads` pool members keep as many
    // processors busy, and decode the input's units ahead of the reader.
    const unsigned poolThreads = threads - 1;
    if (steps_.decoding != nullptr) {
        steps_.decoding->shareWork(threads, [this] { wakeForDecoding(); });
    }
    // The threads take none of the signals that end the run.
    const EndingSignalsBlocked blocked;
    if (steps_.readsInOrder && !startThread([this] { reader(); })) {
        if (steps_.decoding != nullptr) {
            steps_.decoding->shareWork(0, {});
        }
        return false;  // the calling thread goes alone
    }
    // A pool thread that cannot start leaves its work to the others.
    unsigned started = 0;
    while (started < poolThreads && startThread([this] { pool(); })) {
        ++started;
    }
    return true;
}

// False when the system cannot start another thread.
bool Pipeline::startThread(std::function<void()> work) {
    try {
        threads_.emplace_back(std::move(work));
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

// The reader may still wait on a unit no helper will now take: told first
// that it has none, it decodes the unit itself and ends.
void Pipeline::joinThreads() {
    if (steps_.decoding != nullptr) {
        steps_.decoding->shareWork(0, {});
    }
    for (std::thread& thread : threads_) {
        thread.join();
    }
    threads_.clear();
}

// The input has decoding for the pool: a thread waiting for work is told.
// Under the lock, so that one that has just found none waits before it is
// told.
void Pipeline::wakeForDecoding() {
    const std::lock_guard lock(mutex_);
    if (poolWaiting_ > 0) {
        poolWork_.notify_one();
    } else if (writerWaits_) {
        writerWork_.notify_one();
    }
}

// Decodes a unit of the input, when one waits, with the lock released.
bool Pipeline::decode(std::unique_lock<std::mutex>& lock) {
    if (steps_.decoding == nullptr || !steps_.decoding->workWaiting()) {
        return false;
    }
    lock.unlock();
    const double started = timed_ ? threadProcessorSeconds() : 0.0;
    steps_.decoding->takeWork();
    const double took = timed_ ? threadProcessorSeconds() - started : 0.0;
    lock.lock();
    seconds_[static_cast<std::size_t>(Step::read)] += took;
    return true;
}

// The in-order step's turn on the batch, if that batch is ready for it.
bool Pipeline::turnOf(Step step, std::uint64_t sequence, Task& task) const noexcept {
    const std::size_t place = sequence % places_.size();
    const Place& state = places_[place];
    if (sequence < end_ && state.inUse && !state.busy && state.next == step &&
        batches_[place].sequence == sequence) {
        task = {place, step};
        return true;
    }
    return false;
}

bool Pipeline::mayRead() const noexcept {
    return !inputEnded_ && nextRead_ < end_ && !places_[nextRead_ % places_.size()].inUse;
}

Pipeline::Task Pipeline::claimRead() {
    const std::size_t place = nextRead_ % places_.size();
    places_[place] = {true, false, Step::read};
    batches_[place].sequence = nextRead_++;
    batches_[place].outOfMemory = false;
    return {place, Step::read};
}

// The pool's next task: an in-order turn (summing before walking), then the
// oldest batch in the queue, then a regular file's next batch to read.
bool Pipeline::takePoolTask(Task& task) {
    if (turnOf(Step::sum, nextSum_, task) || turnOf(Step::walk, nextWalk_, task)) {
        return true;
    }
    if (!queue_.empty()) {
        std::pop_heap(queue_.begin(), queue_.end());
        const std::size_t place = queue_.back().place;
        queue_.pop_back();
        task = {place, places_[place].next};
        return true;
    }
    if (!steps_.readsInOrder && mayRead()) {
        task = claimRead();
        return true;
    }
    return false;
}

// How many tasks the pool could take now.
unsigned Pipeline::poolTasks() const noexcept {
    Task task;
    return static_cast<unsigned>(queue_.size()) + (turnOf(Step::sum, nextSum_, task) ? 1 : 0) +
           (turnOf(Step::walk, nextWalk_, task) ? 1 : 0) +
           (!steps_.readsInOrder && mayRead() ? 1 : 0);
}

// Takes the step with the lock released, then hands the batch on.
void Pipeline::run(std::unique_lock<std::mutex>& lock, const Task& task, Role role) {
    places_[task.place].busy = true;
    lock.unlock();
    double took = 0;
    const bool goOn = take(steps_, task.step, batches_[task.place], timed_ ? &took : nullptr);
    lock.lock();
    seconds_[static_cast<std::size_t>(task.step)] += took;
    finish(task, goOn, role);
}

void Pipeline::finish(const Task& task, bool goOn, Role role) {
    Place& place = places_[task.place];
    const Batch& batch = batches_[task.place];
    place.busy = false;
    switch (task.step) {
        case Step::read:
            inputEnded_ = inputEnded_ || batch.readEnd != ReadEnd::more || batch.outOfMemory;
            break;
        case Step::walk:
            ++nextWalk_;
            break;
        case Step::sum:
            ++nextSum_;
            break;
        case Step::write:
            ++nextWrite_;
            break;
        default:
            break;
    }
    if (!goOn) {
        endAt(batch.sequence + 1);
    }
    const bool freed = task.step == Step::write || batch.sequence >= end_;
    if (freed) {
        place.inUse = false;
    } else {
        place.next = after(task.step);
        if (onPool(place.next)) {
            queue_.push_back({batch.sequence, task.place});
            std::push_heap(queue_.begin(), queue_.end());
        }
    }
    if (finished()) {
        readerWork_.notify_all();
        poolWork_.notify_all();
        writerWork_.notify_all();
        return;
    }
    // Who is woken, the rule that keeps every thread busy that can be and
    // wakes none for nothing (a thread woken for nothing costs as much as
    // the handing over itself): every task this step made takeable has a
    // thread headed for it. The thread that finished takes one itself (a
    // pool thread the pool's next, the writer its write, else the pool's
    // next); the writer is woken when its write is ready and it did not
    // finish this step; the reader when this step freed the place it waits
    // for; then one waiting pool thread for each task left, and the writer,
    // if it waits with no write ready, for one more.
    Task ready;
    const bool writeReady = turnOf(Step::write, nextWrite_, ready);
    if (writeReady && role != Role::writer && writerWaits_) {
        writerWork_.notify_one();
    }
    if (freed && steps_.readsInOrder && mayRead()) {
        readerWork_.notify_one();
    }
    unsigned tasks = poolTasks();
    if (tasks > 0 && (role == Role::pool || (role == Role::writer && !writeReady))) {
        --tasks;
    }
    for (unsigned woken = 0; woken < tasks; ++woken) {
        if (woken < poolWaiting_) {
            poolWork_.notify_one();
        } else {
            if (writerWaits_ && !writeReady) {
                writerWork_.notify_one();
            }
            break;
        }
    }
}

// No batch from `end` on is needed: those that no thread works on are
// dropped at once, the others once their step is done.
void Pipeline::endAt(std::uint64_t end) {
    if (end >= end_) {
        return;
    }
    end_ = end;
    for (std::size_t place = 0; place < places_.size(); ++place) {
        if (places_[place].inUse && !places_[place].busy && batches_[place].sequence >= end_) {
            places_[place].inUse = false;
        }
    }
    std::erase_if(queue_, [end](const Queued& queued) { return queued.sequence >= end; });
    std::make_heap(queue_.begin(), queue_.end());
    readerWork_.notify_all();  // it reads no more
}

// Writes each batch in its turn; until that has come, takes the pool's work.
void Pipeline::writer() {
    std::unique_lock lock(mutex_);
    while (!finished()) {
        Task task;
        if (turnOf(Step::write, nextWrite_, task) || takePoolTask(task)) {
            run(lock, task, Role::writer);
        } else if (!decode(lock)) {
            writerWaits_ = true;
            writerWork_.wait(lock);
            writerWaits_ = false;
        }
    }
}

void Pipeline::pool() {
    std::unique_lock lock(mutex_);
    while (!finished()) {
        Task task;
        if (takePoolTask(task)) {
            run(lock, task, Role::pool);
        } else if (!decode(lock)) {
            ++poolWaiting_;
            poolWork_.wait(lock);
            --poolWaiting_;
        }
    }
}

void Pipeline::reader() {
    std::unique_lock lock(mutex_);
    while (!finished() && !inputEnded_ && nextRead_ < end_) {
        if (mayRead()) {
            run(lock, claimRead(), Role::reader);
        } else {
            readerWork_.wait(lock);
        }
    }
}

// Every step on one batch after another, in the first place.
void Pipeline::alone() {
    Batch& batch = batches_.front();
    for (std::uint64_t sequence = 0; sequence < end_; ++sequence) {
        batch.sequence = sequence;
        batch.outOfMemory = false;
        for (std::size_t step = 0; step < stepCount; ++step) {
            if (!take(steps_, static_cast<Step>(step), batch, timed_ ? &seconds_[step] : nullptr)) {
                end_ = sequence + 1;
            }
        }
        if (batch.readEnd != ReadEnd::more || batch.outOfMemory) {
            end_ = std::min(end_, sequence + 1);
        }
    }
}

}  // namespace

std::array<double, stepCount> runPipeline(const PipelineSteps& steps, std::vector<Batch>& batches,
                                          unsigned threads, bool timed) {
    Pipeline pipeline(steps, batches, timed);
    if (pipeline.startThreads(threads)) {
        pipeline.writer();
        pipeline.joinThreads();
    } else {
        pipeline.alone();
    }
    return pipeline.seconds();
}

}  // namespace blockavg
