#pragma once

// Compressed input made of units that decode on their own (bzip2 blocks,
// zstd frames, gzip members), decoded on several threads and handed out in
// input order, with fixed roles as in pigz:
//
//   reader   the thread that calls readSome(): it reads the compressed bytes
//            in order and has the format cut them into units, numbered in
//            sequence, and it hands out each unit's text in that sequence.
//   pool     threads started here that decode units, the oldest first, each
//            unit into a text of its own.
//
// A unit's boundaries may be guesses (a bzip2 block magic may turn up by
// chance inside a block; a gzip member's start is a guess until the member
// before it has ended there, its checks passed): the reader checks each
// unit in sequence, and where a guess was wrong it has the format mend it
// (decode a unit joined to the next) or decodes the rest of the input in
// order with the format's sequential decoder, from the start of the unit in
// question, so that the text is the one that decoder gives, byte for byte.
// At most twice as many units as threads are in flight; the units' size is
// the format's to bound.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/byte_source.hpp"

namespace blockavg {

// A unit's text, in chunks of a MiB taken from a pool the units share: a
// buffer that grows would be copied as it grows, and fresh memory costs as
// much in page faults as decoding does.
class ChunkPool {
public:
    static constexpr std::size_t chunkBytes = std::size_t{1} << 20;
    std::unique_ptr<char[]> take();
    void give(std::unique_ptr<char[]> chunk);

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<char[]>> free_;
};

class UnitText {
public:
    struct Chunk {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0;
    };
    // Room for more text, at least a byte; wrote() tells how much was used.
    char* room(std::size_t& size);
    void wrote(std::size_t count) noexcept { chunks_.back().size += count; }
    std::uint64_t size() const noexcept;
    const std::vector<Chunk>& chunks() const noexcept { return chunks_; }
    // Gives the chunks back to the pool.
    void clear() noexcept;

    ChunkPool* pool = nullptr;

private:
    std::vector<Chunk> chunks_;
};

struct CompressedUnit {
    std::uint64_t number = 0;          // in the input, from 0
    std::vector<unsigned char> bytes;  // what the format cut: the unit's bytes
    std::uint32_t firstBit = 0;        // for a unit that starts inside its first byte
    std::uint64_t bitLength = 0;       // for a unit that ends inside its last byte
    std::uint64_t cutLength = 0;       // bitLength as cut, once joined
    bool endsStream = false;           // the end of a stream (bzip2)
    std::uint32_t streamCheck = 0;     // that stream's checksum (bzip2)
    char level = '9';                  // the stream's block size (bzip2)
    bool cutShort = false;             // the input ended inside it
    bool broken = false;               // it cannot be whole, joined or not

    // What decoding gave: the text, whole when every check passed.
    UnitText text;
    bool whole = false;
    std::string damage;           // why not, when the unit is surely damaged
    std::uint32_t unitCheck = 0;  // the unit's own checksum (bzip2)
};

class UnitFormat {
public:
    UnitFormat() = default;
    UnitFormat(const UnitFormat&) = delete;
    UnitFormat& operator=(const UnitFormat&) = delete;
    virtual ~UnitFormat() = default;

    enum class Cut {
        unit,        // `unit` holds the next unit's bytes; `used` were taken
        more,        // more bytes are needed to tell
        sequential,  // the rest is decoded in order, from these bytes on
        end,         // the input ended whole here
    };
    // On the reader: cuts the next unit from the front of `bytes`, the
    // compressed bytes not yet taken. `ended`: no bytes follow them. `full`:
    // no more are read before a unit is cut, so `more` is not an answer.
    virtual Cut cut(const unsigned char* bytes, std::size_t size, bool ended, bool full,
                    CompressedUnit& unit, std::size_t& used) = 0;

    // On any thread, for any unit at once.
    virtual void decode(CompressedUnit& unit) const = 0;

    enum class Verdict {
        handOut,     // the unit's text comes next (and then its damage, if any)
        joinNext,    // the unit and the next one are one: join them, decode again
        sequential,  // the rest is decoded in order, from this unit's start
    };
    // On the reader, for each unit in sequence once decoded; `next` is the
    // unit cut after it, if any (its text may not be there yet).
    virtual Verdict check(CompressedUnit& unit, const CompressedUnit* next) = 0;

    // Joins `next` onto `unit` (for joinNext).
    virtual void join(CompressedUnit& unit, const CompressedUnit& next) const {
        (void)unit;
        (void)next;
    }

    // The sequential decoder of the rest of the input: `start` holds its
    // first compressed bytes, then `raw` follows.
    virtual std::unique_ptr<ByteSource> sequential(ByteSource& raw, std::string start) = 0;
};

class UnitSource final : public ByteSource {
public:
    // `start` holds the bytes already read from `raw`.
    UnitSource(ByteSource& raw, const std::string& start, std::unique_ptr<UnitFormat> format,
               unsigned threads, std::size_t mostBytes);
    ~UnitSource() override;

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override;
    bool isSameFileAs(const std::string& path) const override { return raw_.isSameFileAs(path); }
    std::string errorMessage() const override;
    bool checksItsBytes() const override { return true; }
    bool mayWait() const override { return raw_.mayWait(); }
    bool bytesWaiting() const override;
    std::string endNote() const override;
    void stopReading() noexcept override;

private:
    struct Flight {
        CompressedUnit unit;
        bool taken = false;    // a pool thread decodes it
        bool decoded = false;  // and is done
    };

    std::unique_ptr<Flight> freshFlight();
    void decodeUnits();
    void cutUnits();
    bool readMore();
    void goSequential(std::size_t fromFlight);

    ByteSource& raw_;
    std::unique_ptr<UnitFormat> format_;
    const std::size_t mostBytes_;  // the most compressed bytes a unit may take
    const std::size_t mostInFlight_;

    // The reader's own.
    std::vector<unsigned char> pending_;  // read, not yet cut into a unit
    std::size_t pendingBegin_ = 0;
    bool rawEnded_ = false;
    bool rawFailed_ = false;
    bool cutEnded_ = false;   // no more units: the end, or sequential from here
    bool cutsToEnd_ = false;  // of the two, the end
    std::uint64_t nextNumber_ = 0;
    std::unique_ptr<ByteSource> sequential_;
    std::unique_ptr<ByteSource> rawRepeater_;
    std::unique_ptr<Flight> handing_;  // the unit whose text is being handed out
    std::size_t handedChunk_ = 0;      // of handing_'s text
    std::size_t handed_ = 0;           // bytes of that chunk
    std::string damage_;               // comes after handing_'s text
    // Units handed out, kept with their buffers for later units: a fresh
    // buffer of some MiB costs more in page faults than its decoding.
    std::vector<std::unique_ptr<Flight>> spareFlights_;
    std::string error_;

    ChunkPool chunks_;

    // Shared with the pool.
    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::deque<std::unique_ptr<Flight>> flights_;
    bool stopping_ = false;
    std::vector<std::thread> pool_;
};

}  // namespace blockavg
