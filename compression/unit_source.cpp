#include "compression/unit_source.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "io/ending_signals.hpp"

namespace blockavg {
namespace {

constexpr std::size_t readBytes = std::size_t{256} << 10;

// The raw source for the sequential decoder that takes over: its end, or
// its error, again, once the units have met it.
class RawRest final : public ByteSource {
public:
    RawRest(ByteSource& raw, bool ended, bool failed) : raw_(raw), ended_(ended), failed_(failed) {}
    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (failed_) {
            return -1;
        }
        return ended_ ? 0 : raw_.readSome(buffer, size);
    }
    bool isSameFileAs(const std::string& path) const override { return raw_.isSameFileAs(path); }
    std::string errorMessage() const override { return raw_.errorMessage(); }
    bool mayWait() const override { return raw_.mayWait(); }
    bool bytesWaiting() const override { return ended_ || failed_ || raw_.bytesWaiting(); }
    void stopReading() noexcept override { raw_.stopReading(); }

private:
    ByteSource& raw_;
    bool ended_;
    bool failed_;
};

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

void ChunkPool::give(std::unique_ptr<char[]> chunk) {
    const std::lock_guard lock(mutex_);
    free_.push_back(std::move(chunk));
}

// NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks): the chunk is owned by chunks_
char* UnitText::room(std::size_t& size) {
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

std::uint64_t UnitText::size() const noexcept {
    std::uint64_t size = 0;
    for (const Chunk& chunk : chunks_) {
        size += chunk.size;
    }
    return size;
}

void UnitText::clear() noexcept {
    for (Chunk& chunk : chunks_) {
        try {
            pool->give(std::move(chunk.bytes));
        } catch (const std::exception&) {
            // freed instead
        }
    }
    chunks_.clear();
}

UnitSource::UnitSource(ByteSource& raw, const std::string& start,
                       std::unique_ptr<UnitFormat> format, unsigned threads, std::size_t mostBytes)
    : raw_(raw),
      format_(std::move(format)),
      mostBytes_(mostBytes),
      mostInFlight_(2 * std::size_t{std::max(threads, 1u)}),
      pending_(start.begin(), start.end()) {
    // The pool takes none of the signals that end the run.
    const EndingSignalsBlocked blocked;
    for (unsigned started = 0; started < std::max(threads, 1u); ++started) {
        try {
            pool_.emplace_back([this] { decodeUnits(); });
        } catch (const std::exception&) {
            if (pool_.empty()) {
                throw std::bad_alloc();
            }
            break;  // fewer threads decode the same units
        }
    }
}

UnitSource::~UnitSource() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : pool_) {
        thread.join();
    }
}

// A pool thread: the oldest unit not yet taken, until the source goes.
void UnitSource::decodeUnits() {
    std::unique_lock lock(mutex_);
    for (;;) {
        Flight* flight = nullptr;
        work_.wait(lock, [&] {
            if (stopping_) {
                return true;
            }
            for (const auto& candidate : flights_) {
                if (!candidate->taken) {
                    flight = candidate.get();
                    return true;
                }
            }
            return false;
        });
        if (flight == nullptr) {
            return;
        }
        flight->taken = true;
        lock.unlock();
        try {
            format_->decode(flight->unit);
        } catch (const std::bad_alloc&) {
            flight->unit.text.clear();
            flight->unit.whole = false;
            flight->unit.damage = "out of memory while decoding the compressed input";
        }
        lock.lock();
        flight->decoded = true;
        done_.notify_all();
    }
}

bool UnitSource::readMore() {
    if (rawEnded_ || rawFailed_) {
        return false;
    }
    // The bytes not yet cut move to the front only when the room behind
    // them runs out, not at every read.
    if (pending_.capacity() - pending_.size() < readBytes && pendingBegin_ > 0) {
        pending_.erase(pending_.begin(),
                       pending_.begin() + static_cast<std::ptrdiff_t>(pendingBegin_));
        pendingBegin_ = 0;
    }
    const std::size_t had = pending_.size();
    pending_.resize(had + readBytes);
    const std::ptrdiff_t got =
        raw_.readSome(reinterpret_cast<char*>(pending_.data() + had), readBytes);
    pending_.resize(had + static_cast<std::size_t>(std::max<std::ptrdiff_t>(got, 0)));
    rawEnded_ = got == 0;
    rawFailed_ = got < 0;
    return got > 0;
}

// A unit to cut, with the buffers of one handed out if there is one.
std::unique_ptr<UnitSource::Flight> UnitSource::freshFlight() {
    if (spareFlights_.empty()) {
        auto flight = std::make_unique<Flight>();
        flight->unit.text.pool = &chunks_;
        return flight;
    }
    std::unique_ptr<Flight> flight = std::move(spareFlights_.back());
    spareFlights_.pop_back();
    CompressedUnit& unit = flight->unit;
    std::vector<unsigned char> bytes = std::move(unit.bytes);
    bytes.clear();
    unit.text.clear();
    *flight = Flight{};
    unit.bytes = std::move(bytes);
    unit.text.pool = &chunks_;
    return flight;
}

// Cuts units until as many as may be are in flight, or the units end.
void UnitSource::cutUnits() {
    for (;;) {
        {
            const std::lock_guard lock(mutex_);
            if (cutEnded_ || flights_.size() >= mostInFlight_) {
                return;
            }
        }
        const std::size_t size = pending_.size() - pendingBegin_;
        const bool ended = rawEnded_ || rawFailed_;
        std::unique_ptr<Flight> flight = freshFlight();
        std::size_t used = 0;
        const UnitFormat::Cut cut = format_->cut(pending_.data() + pendingBegin_, size, ended,
                                                 size >= mostBytes_, flight->unit, used);
        if (cut == UnitFormat::Cut::unit) {
            pendingBegin_ += used;
            flight->unit.number = nextNumber_++;
            const std::lock_guard lock(mutex_);
            flights_.push_back(std::move(flight));
            work_.notify_one();
            continue;
        }
        spareFlights_.push_back(std::move(flight));
        if (cut == UnitFormat::Cut::more && !ended && size < mostBytes_) {
            readMore();  // at the end, the format is told so next
            continue;
        }
        // The end, or the rest in order from here (also when the format
        // asks for more than a unit may take).
        cutsToEnd_ = cut == UnitFormat::Cut::end;
        const std::lock_guard lock(mutex_);
        cutEnded_ = true;
        return;
    }
}

// The rest is decoded in order, from the unit `fromFlight` on (the units
// from there and the bytes not yet cut).
void UnitSource::goSequential(std::size_t fromFlight) {
    std::string start;
    {
        std::unique_lock lock(mutex_);
        // No pool thread may still read a unit dropped here: those not
        // taken are taken here, never to be decoded.
        for (const auto& flight : flights_) {
            if (!flight->taken) {
                flight->taken = flight->decoded = true;
            }
        }
        done_.wait(lock, [&] {
            return std::all_of(flights_.begin(), flights_.end(),
                               [](const auto& flight) { return flight->decoded; });
        });
        for (std::size_t at = fromFlight; at < flights_.size(); ++at) {
            const auto& bytes = flights_[at]->unit.bytes;
            start.append(bytes.begin(), bytes.end());
        }
        flights_.clear();
    }
    start.append(pending_.begin() + static_cast<std::ptrdiff_t>(pendingBegin_), pending_.end());
    pending_ = {};
    pendingBegin_ = 0;
    rawRepeater_ = std::make_unique<RawRest>(raw_, rawEnded_, rawFailed_);
    sequential_ = format_->sequential(*rawRepeater_, std::move(start));
}

std::ptrdiff_t UnitSource::readSome(char* buffer, std::size_t size) {
    for (;;) {
        if (handing_ != nullptr) {
            const auto& chunks = handing_->unit.text.chunks();
            for (; handedChunk_ < chunks.size(); ++handedChunk_, handed_ = 0) {
                const UnitText::Chunk& chunk = chunks[handedChunk_];
                if (handed_ < chunk.size) {
                    const std::size_t count = std::min(size, chunk.size - handed_);
                    std::copy_n(chunk.bytes.get() + handed_, count, buffer);
                    handed_ += count;
                    return static_cast<std::ptrdiff_t>(count);
                }
            }
            // Handed out: its buffers go to a unit cut later.
            handing_->unit.text.clear();
            spareFlights_.push_back(std::move(handing_));
        }
        if (!damage_.empty()) {
            error_ = std::move(damage_);
            damage_.clear();
        }
        if (!error_.empty()) {
            return -1;
        }
        if (sequential_ != nullptr) {
            return sequential_->readSome(buffer, size);
        }
        cutUnits();
        std::unique_lock lock(mutex_);
        if (flights_.empty()) {
            lock.unlock();
            if (cutsToEnd_) {
                if (rawFailed_) {
                    error_ = raw_.errorMessage();
                    return -1;
                }
                return 0;
            }
            goSequential(0);
            continue;
        }
        done_.wait(lock, [&] { return flights_.front()->decoded; });
        CompressedUnit& unit = flights_.front()->unit;
        const CompressedUnit* const next = flights_.size() > 1 ? &flights_[1]->unit : nullptr;
        lock.unlock();
        switch (format_->check(unit, next)) {
            case UnitFormat::Verdict::handOut: {
                lock.lock();
                handing_ = std::move(flights_.front());
                handedChunk_ = handed_ = 0;
                damage_ = std::move(unit.damage);
                flights_.pop_front();
                continue;
            }
            case UnitFormat::Verdict::joinNext: {
                lock.lock();
                Flight& following = *flights_[1];
                const bool claimed = !following.taken;
                following.taken = true;
                done_.wait(lock, [&] { return claimed || following.decoded; });
                lock.unlock();
                format_->join(unit, following.unit);
                lock.lock();
                flights_.erase(flights_.begin() + 1);
                lock.unlock();
                format_->decode(unit);
                cutUnits();
                continue;
            }
            case UnitFormat::Verdict::sequential:
                goSequential(0);
                continue;
        }
    }
}

std::string UnitSource::errorMessage() const {
    return sequential_ != nullptr && error_.empty() ? sequential_->errorMessage() : error_;
}

bool UnitSource::bytesWaiting() const {
    if ((handing_ != nullptr && handedChunk_ < handing_->unit.text.chunks().size()) ||
        !damage_.empty()) {
        return true;
    }
    if (sequential_ != nullptr) {
        return sequential_->bytesWaiting();
    }
    {
        const std::lock_guard lock(mutex_);
        if (!flights_.empty() && flights_.front()->decoded) {
            return true;
        }
    }
    return pending_.size() > pendingBegin_ || raw_.bytesWaiting();
}

std::string UnitSource::endNote() const {
    return sequential_ != nullptr ? sequential_->endNote() : std::string();
}

void UnitSource::stopReading() noexcept { raw_.stopReading(); }

}  // namespace blockavg
