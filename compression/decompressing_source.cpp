#include "compression/decompressing_source.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace blockavg {
namespace {

// Compressed bytes are read a buffer of this size at a time: a larger one
// decodes more slowly (its bytes leave the cache before their turn). A unit
// larger than it grows the buffer to its size for as long as it needs.
constexpr std::size_t readBytes = std::size_t{256} << 10;
// Units handed out keep their buffers for later ones, up to this many.
constexpr std::size_t mostSpareUnits = 16;

}  // namespace

std::unique_ptr<char[]> ChunkPool::take() {
    {
        const std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            std::unique_ptr<char[]> chunk = std::move(free_.back());
            free_.pop_back();
            return chunk;
        }
    }
    return std::make_unique_for_overwrite<char[]>(chunkBytes);
}

void ChunkPool::give(std::unique_ptr<char[]> chunk) noexcept {
    const std::lock_guard lock(mutex_);
    // A chunk with no room to be kept in is freed.
    if (free_.size() < free_.capacity()) {
        free_.push_back(std::move(chunk));
    }
}

// NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks): the chunk is owned by chunks_
char* DecodedText::room(std::size_t& size) {
    if (chunks_.empty() || chunks_.back().size == ChunkPool::chunkBytes) {
        Chunk chunk;
        chunk.bytes = pool->take();
        chunks_.push_back(std::move(chunk));
    }
    Chunk& last = chunks_.back();
    size = ChunkPool::chunkBytes - last.size;
    return last.bytes.get() + last.size;
}
// NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)

std::uint64_t DecodedText::size() const noexcept {
    std::uint64_t size = 0;
    for (const Chunk& chunk : chunks_) {
        size += chunk.size;
    }
    return size;
}

void DecodedText::clear() noexcept {
    for (Chunk& chunk : chunks_) {
        pool->give(std::move(chunk.bytes));
    }
    chunks_.clear();
}

std::string describe(const Problem& problem, const char* format) {
    const std::string name(format);
    switch (problem.fault) {
        case Fault::damaged:
            return "the " + name + " data is damaged (" + problem.detail + ") in the " +
                   problem.place + " at byte " + std::to_string(problem.at);
        case Fault::unreadable:
            return "the " + name + " data " + problem.detail;
        case Fault::cutShort:
            return "the " + name + " stream is cut short";
        case Fault::outOfMemory:
            return "cannot hold the " + name + " " + problem.place + " at byte " +
                   std::to_string(problem.at) + ": out of memory" +
                   (problem.detail.empty() ? "" : " (" + problem.detail + ")");
        case Fault::readError:
            break;
    }
    return problem.detail;
}

DecompressingSource::DecompressingSource(ByteSource& raw, const std::string& start,
                                         std::unique_ptr<Decoder> decoder, const char* format,
                                         std::uint64_t memoryBudget)
    : raw_(raw),
      decoder_(std::move(decoder)),
      format_(format),
      budget_(memoryBudget),
      buffer_(std::max(readBytes, start.size())) {
    std::copy(start.begin(), start.end(), buffer_.begin());
    end_ = start.size();
    spare_.reserve(mostSpareUnits);
    mostInFlight_ = 2;
}

DecompressingSource::~DecompressingSource() {
    // A unit still being decoded by another thread is waited for.
    std::unique_lock lock(mutex_);
    decoded_.wait(lock, [this] {
        return std::all_of(flights_.begin(), flights_.end(),
                           [](const auto& flight) { return !flight->taken || flight->decoded; });
    });
    for (const auto& flight : flights_) {
        flight->unit->text.clear();
    }
    if (handing_ != nullptr) {
        handing_->text.clear();
    }
    for (const auto& unit : spare_) {
        unit->text.clear();
    }
}

bool DecompressingSource::damaged() const {
    return failed_ && (problem_.fault == Fault::damaged || problem_.fault == Fault::unreadable);
}

void DecompressingSource::stopReading(std::uint64_t onceChecked) noexcept {
    stopAt_.store(onceChecked);
    if (checked_.load() >= onceChecked) {
        raw_.stopReading();
    }
}

void DecompressingSource::setChecked(std::uint64_t checked) noexcept {
    checked_.store(checked);
    if (checked >= stopAt_.load()) {
        raw_.stopReading();
    }
}

void DecompressingSource::shareWork(unsigned helpers, const std::function<void()>& wake) {
    const std::lock_guard lock(mutex_);
    wake_ = wake;
    helpers_ = helpers;
    // Two units per thread in flight keep every thread busy; alone, the
    // reader still cuts one ahead, to tell whether a unit joins the next.
    mostInFlight_.store(2 * std::max<std::size_t>(helpers, 1));
    // A reader waiting for the helpers, now gone, decodes itself.
    decoded_.notify_all();
}

void DecompressingSource::fail(const Problem& problem) {
    failed_ = true;
    problem_ = problem;
    error_ = describe(problem, format_);
}

// The text: that of the units in input order, or of the decoder in place.
// Without `mayWait`, notNow where the producer would have to be waited for.
std::ptrdiff_t DecompressingSource::read(char* out, std::size_t size, bool mayWait) {
    for (;;) {
        if (handing_ != nullptr) {
            const std::ptrdiff_t given = handOut(out, size);
            if (given > 0) {
                return given;
            }
        }
        if (failed_) {
            return -1;
        }
        if (ended_) {
            return 0;
        }
        if (!flights_.empty()) {
            bool waits = false;
            if (!nextUnitOut(mayWait, waits) && waits) {
                return notNow;
            }
            continue;
        }
        if (cutFailed_ || cutEnded_) {
            // What cutting met behind the units, now that they are out.
            if (cutFailed_) {
                fail(cutProblem_);
            }
            ended_ = !cutFailed_;
            continue;
        }
        const std::ptrdiff_t got = stepInPlace(out, size, mayWait);
        if (got != 0) {
            return got;
        }
    }
}

// Gives the unit's text; once all of it is out, the unit goes, so that
// bytesWaiting() does not take it for more.
std::ptrdiff_t DecompressingSource::handOut(char* out, std::size_t size) {
    const auto& chunks = handing_->text.chunks();
    std::size_t count = 0;
    for (; handedChunk_ < chunks.size(); ++handedChunk_, handedBytes_ = 0) {
        const DecodedText::Chunk& chunk = chunks[handedChunk_];
        if (count == 0 && handedBytes_ < chunk.size) {
            count = std::min(size, chunk.size - handedBytes_);
            std::copy_n(chunk.bytes.get() + handedBytes_, count, out);
            handedBytes_ += count;
            produced_ += count;
        }
        if (handedBytes_ < chunk.size) {
            break;
        }
    }
    if (handedChunk_ == chunks.size()) {
        if (handingFails_) {
            fail(handing_->problem);
        }
        retire(std::move(handing_));
    }
    return static_cast<std::ptrdiff_t>(count);
}

Decoder::Step DecompressingSource::step(std::span<char> out, bool unitsInFlight) {
    if (fresh_ == nullptr) {
        if (spare_.empty()) {
            fresh_ = decoder_->newUnit();
        } else {
            fresh_ = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    Decoder::Flow flow = Decoder::Flow::flowing;
    if (rawEnded_) {
        flow = Decoder::Flow::ended;
    } else if (raw_.mayWait() && !raw_.bytesWaiting()) {
        flow = Decoder::Flow::idle;
    }
    Decoder::Step taken = decoder_->step({buffer_.data() + begin_, end_ - begin_}, offset_, flow,
                                         out, unitsInFlight, *fresh_);
    begin_ += taken.used;
    offset_ += taken.used;
    return taken;
}

// One step of the decoder in place, with no unit in flight: the text it
// gives, or 0 to go on.
std::ptrdiff_t DecompressingSource::stepInPlace(char* out, std::size_t size, bool mayWait) {
    const Decoder::Step taken = step({out, size}, false);
    produced_ += taken.produced;
    switch (taken.event) {
        case Decoder::Event::checked:
            setChecked(produced_);
            break;
        case Decoder::Event::unit:
            launch();
            break;
        case Decoder::Event::ended:
            ended_ = true;
            break;
        case Decoder::Event::failed:
            fail(taken.problem);
            break;
        case Decoder::Event::more:
            if (taken.produced == 0 && refill(mayWait) == Refill::waits) {
                return notNow;
            }
            break;
        case Decoder::Event::going:
        case Decoder::Event::waits:
            break;
    }
    return static_cast<std::ptrdiff_t>(taken.produced);
}

DecompressingSource::Refill DecompressingSource::refill(bool mayWait) {
    if (rawEnded_) {
        return Refill::ended;
    }
    if (!mayWait && raw_.mayWait() && !raw_.bytesWaiting()) {
        return Refill::waits;
    }
    if (begin_ == end_) {
        begin_ = end_ = 0;
        if (buffer_.size() > readBytes) {
            buffer_.resize(readBytes);
            buffer_.shrink_to_fit();
        }
    } else if (buffer_.size() - end_ < readBytes) {
        // The bytes not yet taken move to the front only when the room
        // behind them runs out, and the buffer grows once they fill it.
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
        end_ -= begin_;
        begin_ = 0;
        if (buffer_.size() - end_ < readBytes) {
            buffer_.resize(std::max(2 * buffer_.size(), end_ + readBytes));
        }
    }
    const std::ptrdiff_t got =
        raw_.readSome(reinterpret_cast<char*>(buffer_.data() + end_), buffer_.size() - end_);
    if (got > 0) {
        end_ += static_cast<std::size_t>(got);
        return Refill::got;
    }
    rawEnded_ = got == 0;
    if (got < 0) {
        const Problem problem{Fault::readError, raw_.errorMessage(), "", offset_};
        if (flights_.empty()) {
            fail(problem);
        } else {
            cutFailed_ = true;
            cutProblem_ = problem;
        }
        return Refill::failed;
    }
    return Refill::ended;
}

// Cuts the next unit while others are in flight, within the bounds on
// them. True when one was cut; `waits` when the producer would have to be
// waited for and `mayWait` is false.
bool DecompressingSource::cutAhead(bool mayWait, bool& waits) {
    // A second unit is always cut: whether the first joins it may depend on it.
    if (cutEnded_ || cutFailed_ ||
        (flights_.size() >= 2 && (flights_.size() >= mostInFlight_ || inFlightCost_ >= budget_))) {
        return false;
    }
    for (;;) {
        const Decoder::Step taken = step({}, true);
        switch (taken.event) {
            case Decoder::Event::unit:
                launch();
                return true;
            case Decoder::Event::going:
            case Decoder::Event::checked:
                if (taken.used > 0) {
                    continue;
                }
                [[fallthrough]];
            case Decoder::Event::more:
                switch (refill(mayWait)) {
                    case Refill::got:
                    case Refill::ended:
                        continue;
                    case Refill::waits:
                        waits = true;
                        return false;
                    case Refill::failed:
                        return false;
                }
                return false;
            case Decoder::Event::waits:
                return false;
            case Decoder::Event::ended:
                cutEnded_ = true;
                return false;
            case Decoder::Event::failed:
                cutFailed_ = true;
                cutProblem_ = taken.problem;
                return false;
        }
    }
}

void DecompressingSource::launch() {
    fresh_->text.pool = &chunks_;
    inFlightCost_ += fresh_->cost;
    auto flight = std::make_unique<Flight>();
    flight->unit = std::move(fresh_);
    std::function<void()> wake;
    {
        const std::lock_guard lock(mutex_);
        flights_.push_back(std::move(flight));
        ++untaken_;
        wake = wake_;
    }
    if (wake) {
        wake();
    }
}

// The oldest unit in flight: once decoded (meanwhile more are cut, and
// decoded here too), handed out or joined with the next. False when that
// waits on the producer (`waits`, without `mayWait`).
bool DecompressingSource::nextUnitOut(bool mayWait, bool& waits) {
    Flight& front = *flights_.front();
    bool decoded = false;
    {
        const std::lock_guard lock(mutex_);
        decoded = front.decoded;
    }
    if (!decoded) {
        bool ignored = false;
        if (!cutAhead(false, ignored)) {
            decodeOrWait(front);
        }
        return true;
    }
    Unit& unit = *front.unit;
    if (!unit.whole && decoder_->guessesEnds() && flights_.size() == 1 && !cutEnded_ &&
        !cutFailed_) {
        // Whether it joins the next unit may depend on that one.
        if (cutAhead(mayWait, waits)) {
            return true;
        }
        if (waits) {
            return false;
        }
    }
    if (!unit.whole && unit.problem.fault == Fault::outOfMemory) {
        // Once more, with the memory the other units leave.
        mostInFlight_.store(2);
        decodeUnit(unit);
    }
    const Unit* next = flights_.size() > 1 ? flights_[1]->unit.get() : nullptr;
    if (decoder_->inOrder(unit, next) == Decoder::Verdict::join) {
        join(unit);
        return true;
    }
    std::unique_ptr<Unit> out;
    {
        const std::lock_guard lock(mutex_);
        out = std::move(front.unit);
        flights_.pop_front();
    }
    inFlightCost_ -= out->cost;
    if (out->whole) {
        setChecked(produced_ + out->text.size());
    } else if (out->problem.fault != Fault::cutShort) {
        // A damaged unit's text is not handed out.
        fail(out->problem);
        retire(std::move(out));
        return true;
    }
    handingFails_ = !out->whole;
    handedChunk_ = handedBytes_ = 0;
    handing_ = std::move(out);
    return true;
}

// Decodes a unit not yet taken, the oldest first, or waits for `front`:
// only while no other thread decodes units. On two processors the reader
// that also decodes left 13 % of them idle (xz -T2 -2: 1.50 times one
// processor against 1.75), as the other, the run's only worker, took a
// unit for as long as it took to decode it and the batches waited.
// Once the helpers are gone (the run may end before they take it), the
// reader decodes what is left itself.
void DecompressingSource::decodeOrWait(Flight& front) {
    std::unique_lock lock(mutex_);
    while (!front.decoded) {
        if (helpers_ == 0 && decodeOne(lock)) {
            continue;
        }
        decoded_.wait(lock, [this, &front] {
            return front.decoded || (helpers_ == 0 && untaken_.load() > 0);
        });
    }
}

bool DecompressingSource::takeWork() {
    std::unique_lock lock(mutex_);
    return decodeOne(lock);
}

// Decodes the oldest unit not yet taken, if there is one, with the lock
// released meanwhile.
bool DecompressingSource::decodeOne(std::unique_lock<std::mutex>& lock) {
    const auto untaken = std::find_if(flights_.begin(), flights_.end(),
                                      [](const auto& flight) { return !flight->taken; });
    if (untaken == flights_.end()) {
        return false;
    }
    Flight& own = **untaken;
    own.taken = true;
    --untaken_;
    lock.unlock();
    decodeUnit(*own.unit);
    lock.lock();
    own.decoded = true;
    decoded_.notify_all();
    return true;
}

void DecompressingSource::decodeUnit(Unit& unit) const noexcept {
    unit.text.clear();
    unit.whole = false;
    unit.problem = Problem{};
    try {
        decoder_->decode(unit);
    } catch (const std::bad_alloc&) {
        unit.text.clear();
        unit.whole = false;
        unit.problem.fault = Fault::outOfMemory;
        unit.problem.place = "block";
        unit.problem.at = unit.at;
    }
}

// The front unit and the next are one: the next, decoded or not, is taken
// in, and the two decoded again as one.
void DecompressingSource::join(Unit& unit) {
    std::unique_ptr<Unit> next;
    {
        std::unique_lock lock(mutex_);
        Flight& following = *flights_[1];
        if (!following.taken) {
            following.taken = true;  // never to be decoded
            following.decoded = true;
            --untaken_;
        }
        decoded_.wait(lock, [&following] { return following.decoded; });
        next = std::move(following.unit);
        flights_.erase(flights_.begin() + 1);
    }
    decoder_->join(unit, *next);
    unit.cost += next->cost;
    retire(std::move(next));
    decodeUnit(unit);
}

void DecompressingSource::retire(std::unique_ptr<Unit> unit) noexcept {
    unit->text.clear();
    if (spare_.size() < spare_.capacity()) {
        spare_.push_back(std::move(unit));
    }
}

}  // namespace blockavg
