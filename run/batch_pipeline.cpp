#include "run/batch_pipeline.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "io/ending_signals.hpp"

namespace blockavg {
namespace {

constexpr std::uint64_t noLimit = std::numeric_limits<std::uint64_t>::max();

class Line {
public:
    Line(const std::vector<PipelineStep>& steps, std::size_t slotCount)
        : steps_(steps),
          slots_(slotCount),
          nextInOrder_(steps.size(), 0),
          busy_(steps.size(), false),
          seconds_(steps.size(), 0.0) {}

    const std::vector<double>& seconds() const noexcept { return seconds_; }

    void setHelpers(unsigned helpers) {
        const std::lock_guard lock(mutex_);
        helpers_ = helpers;
    }

    // Takes work and does it until the line is done.
    void work(bool calling) {
        std::unique_lock lock(mutex_);
        for (;;) {
            std::size_t slot = 0;
            if (takeWork(slot, calling)) {
                const std::size_t step = slots_[slot].step;
                lock.unlock();
                const auto started = std::chrono::steady_clock::now();
                const bool goOn = steps_[step].work(slot);
                const auto ended = std::chrono::steady_clock::now();
                lock.lock();
                seconds_[step] += std::chrono::duration<double>(ended - started).count();
                finishWork(slot, step, goOn);
                changed_.notify_all();
            } else if (done()) {
                return;
            } else {
                changed_.wait(lock);
            }
        }
    }

private:
    struct Slot {
        bool inUse = false;
        bool running = false;
        std::size_t step = 0;  // the next step to run
        std::uint64_t sequence = 0;
    };

    bool done() const {
        if (!inputEnded_) {
            return false;
        }
        for (const Slot& slot : slots_) {
            if (slot.inUse) {
                return false;
            }
        }
        return true;
    }

    bool mayRun(std::size_t step, bool calling) const {
        switch (steps_[step].threads) {
            case StepThreads::calling:
                return calling;
            case StepThreads::others:
                return !calling || helpers_ == 0;
            case StepThreads::any:
                break;
        }
        return true;
    }

    bool ready(const Slot& slot, bool calling) const {
        if (!slot.inUse || slot.running || !mayRun(slot.step, calling)) {
            return false;
        }
        const PipelineStep& step = steps_[slot.step];
        return !step.inOrder || (!busy_[slot.step] && nextInOrder_[slot.step] == slot.sequence);
    }

    // Whether only threads of this one's kind may run `step`: such work
    // comes first, as no other thread can take it.
    bool onlyFor(std::size_t step, bool calling) const {
        const StepThreads threads = steps_[step].threads;
        return helpers_ > 0 && ((threads == StepThreads::calling && calling) ||
                                (threads == StepThreads::others && !calling));
    }

    // Picks work: first what only this kind of thread may do, then the batch
    // furthest down the line that may go on, then a new batch in a free slot.
    bool takeWork(std::size_t& chosen, bool calling) {
        std::size_t fresh = slots_.size();
        if (!inputEnded_ && !busy_[0] && mayRun(0, calling)) {
            for (std::size_t slot = 0; slot < slots_.size() && fresh == slots_.size(); ++slot) {
                if (!slots_[slot].inUse) {
                    fresh = slot;
                }
            }
        }
        bool found = false;
        if (fresh == slots_.size() || !onlyFor(0, calling)) {
            for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
                if (ready(slots_[slot], calling) &&
                    (!found || betterThan(slots_[slot], slots_[chosen], calling))) {
                    chosen = slot;
                    found = true;
                }
            }
        }
        if (!found && fresh != slots_.size()) {
            Slot& slot = slots_[fresh];
            slot.inUse = true;
            slot.step = 0;
            slot.sequence = nextSequence_++;
            chosen = fresh;
            found = true;
        }
        if (found) {
            Slot& slot = slots_[chosen];
            slot.running = true;
            if (steps_[slot.step].inOrder) {
                busy_[slot.step] = true;
            }
        }
        return found;
    }

    bool betterThan(const Slot& one, const Slot& other, bool calling) const {
        const bool oneOnly = onlyFor(one.step, calling);
        if (oneOnly != onlyFor(other.step, calling)) {
            return oneOnly;
        }
        return one.step > other.step;
    }

    void finishWork(std::size_t chosen, std::size_t step, bool goOn) {
        Slot& slot = slots_[chosen];
        slot.running = false;
        if (steps_[step].inOrder) {
            busy_[step] = false;
            ++nextInOrder_[step];
        }
        if (!goOn && slot.sequence < lastSequence_) {
            lastSequence_ = slot.sequence;
        }
        if (step == 0 && !goOn) {
            inputEnded_ = true;
        }
        slot.step = step + 1;
        if (slot.step == steps_.size()) {
            slot.inUse = false;
        }
        // Batches after a stop go no further.
        for (Slot& other : slots_) {
            if (other.inUse && !other.running && other.sequence > lastSequence_) {
                other.inUse = false;
            }
        }
        if (nextSequence_ > lastSequence_) {
            inputEnded_ = true;
        }
    }

    const std::vector<PipelineStep>& steps_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    std::vector<std::uint64_t> nextInOrder_;
    std::vector<bool> busy_;
    std::vector<double> seconds_;
    std::uint64_t nextSequence_ = 0;
    std::uint64_t lastSequence_ = noLimit;
    bool inputEnded_ = false;
    unsigned helpers_ = 0;
};

}  // namespace

std::vector<double> runPipeline(const std::vector<PipelineStep>& steps, std::size_t slots,
                                unsigned threads) {
    Line line(steps, slots);
    std::vector<std::thread> helpers;
    {
        const EndingSignalsBlocked blocked;
        for (unsigned started = 1; started < threads; ++started) {
            try {
                helpers.emplace_back([&line] { line.work(false); });
            } catch (const std::exception&) {
                break;  // fewer threads do the same work
            }
        }
    }
    line.setHelpers(static_cast<unsigned>(helpers.size()));
    line.work(true);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    return line.seconds();
}

}  // namespace blockavg
