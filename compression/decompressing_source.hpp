#pragma once

// The text of a compressed input, for every format: the compressed bytes
// read from the raw source, handed to the format's decoder in order, and
// its text handed out in order, with the rule every format follows:
//
//  - A unit's text counts as checked once its checks have passed (a gzip
//    member's CRC-32 and size, a zstd frame's checksum, an xz block's check,
//    a bzip2 block's CRC). checkedBytes() says how much of the text given
//    has; the run keeps no averaged frame made from text past it when a
//    check fails (run/writer.hpp).
//  - Units that decode on their own are decoded ahead of the reader by the
//    run's threads through takeWork(), or by the reader when there are none
//    (at most two per thread in flight, no more than the memory budget
//    allows), and
//    their text is handed out in input order once checked whole: the text
//    of a damaged unit is never handed out. Text decoded in place is handed
//    out as it comes, and checked once its unit ends.
//  - A read error, damage or a unit cut short ends the text: the text before
//    the fault comes first, then -1 with the fault in errorMessage(), worded
//    here for every format.
//  - readNow() decodes what is at hand without waiting on the producer, so
//    that a live pipe's text goes on as soon as it can be had.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "compression/decoder.hpp"
#include "io/byte_source.hpp"

namespace blockavg {

// The message for a problem found in `format` data ("gzip", "xz", ...).
std::string describe(const Problem& problem, const char* format);

class DecompressingSource final : public ByteSource {
public:
    // `start` holds the bytes already read from `raw`.
    DecompressingSource(ByteSource& raw, const std::string& start, std::unique_ptr<Decoder> decoder,
                        const char* format, std::uint64_t memoryBudget);
    ~DecompressingSource() override;

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        return read(buffer, size, true);
    }
    std::ptrdiff_t readNow(char* buffer, std::size_t size) override {
        return read(buffer, size, false);
    }
    std::uint64_t checkedBytes() const noexcept override { return checked_.load(); }
    bool damaged() const override;
    bool decodes() const override { return true; }
    std::string errorMessage() const override { return error_; }
    bool isSameFileAs(const std::string& path) const override { return raw_.isSameFileAs(path); }
    bool mayWait() const override { return raw_.mayWait(); }
    std::uint64_t bytesTaken() const noexcept override { return raw_.bytesTaken(); }
    std::string endNote() const override { return decoder_->endNote(); }
    void stopReading(std::uint64_t onceChecked) noexcept override;
    void shareWork(unsigned helpers, const std::function<void()>& wake) override;
    bool workWaiting() const noexcept override { return untaken_.load() > 0; }
    bool takeWork() override;

private:
    struct Flight {
        std::unique_ptr<Unit> unit;
        bool taken = false;    // someone decodes it
        bool decoded = false;  // and is done
    };
    enum class Refill : std::uint8_t { got, ended, waits, failed };
    std::ptrdiff_t read(char* out, std::size_t size, bool mayWait);
    std::ptrdiff_t handOut(char* out, std::size_t size);
    std::ptrdiff_t stepInPlace(char* out, std::size_t size, bool mayWait);
    bool nextUnitOut(bool mayWait, bool& waits);
    bool cutAhead(bool mayWait, bool& waits);
    Decoder::Step step(std::span<char> out, bool unitsInFlight);
    Refill refill(bool mayWait);
    void launch();
    void decodeOrWait(Flight& front);
    bool decodeOne(std::unique_lock<std::mutex>& lock);
    void decodeUnit(Unit& unit) const noexcept;
    void join(Unit& unit);
    void retire(std::unique_ptr<Unit> unit) noexcept;
    void setChecked(std::uint64_t checked) noexcept;
    void fail(const Problem& problem);

    ByteSource& raw_;
    const std::unique_ptr<Decoder> decoder_;
    const char* const format_;
    const std::uint64_t budget_;

    // The reader's own: the compressed bytes, buffer_[begin_, end_) not yet
    // taken, the first of them at byte `offset_` of the input.
    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t offset_ = 0;
    bool rawEnded_ = false;
    std::uint64_t produced_ = 0;  // text handed out
    bool ended_ = false;          // the decoder found the input's whole end
    bool failed_ = false;
    Problem problem_;
    std::string error_;
    // What cutting ahead met behind the units in flight: the end, a fault.
    bool cutEnded_ = false;
    bool cutFailed_ = false;
    Problem cutProblem_;
    std::unique_ptr<Unit> fresh_;  // for the next cut
    std::vector<std::unique_ptr<Unit>> spare_;
    std::unique_ptr<Unit> handing_;  // the unit whose text goes out
    std::size_t handedChunk_ = 0;
    std::size_t handedBytes_ = 0;  // of that chunk
    bool handingFails_ = false;    // its problem follows its text
    std::uint64_t inFlightCost_ = 0;

    std::atomic<std::uint64_t> checked_{0};
    std::atomic<std::uint64_t> stopAt_{allChecked};

    // Shared with the threads that take work.
    mutable std::mutex mutex_;
    std::condition_variable decoded_;
    std::deque<std::unique_ptr<Flight>> flights_;  // in input order
    std::atomic<unsigned> untaken_{0};
    std::atomic<std::size_t> mostInFlight_{1};
    unsigned helpers_ = 0;  // the threads that take work; the reader decodes only without
    std::function<void()> wake_;
    ChunkPool chunks_;
};

}  // namespace blockavg
