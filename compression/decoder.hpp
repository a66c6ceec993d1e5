#pragma once

// What each compressed format implements: a decoder that DecompressingSource
// (decompressing_source.hpp) drives over the compressed bytes in input
// order. A decoder either decodes in place, handing text out as it comes
// (gzip, zstd, an xz block of unknown size), or cuts units off the input
// that decode on their own and are checked whole before any of their text
// is handed out (bzip2 blocks, xz blocks whose headers give their sizes),
// so that other threads can decode them ahead of the reader.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace blockavg {

// Why a compressed input's text ends early. Only damaged and unreadable
// data may have given wrong text before it was found.
enum class Fault : std::uint8_t {
    damaged,      // a check failed, or the bytes are not what the format allows
    unreadable,   // the format used in a way this build cannot read
    cutShort,     // the input ends inside a unit: its check never came
    outOfMemory,  // the memory the decoding needs could not be had
    readError,    // the compressed input itself could not be read
};

struct Problem {
    Fault fault = Fault::damaged;
    // damaged: what is wrong, for the brackets; unreadable: what the data
    // does; outOfMemory: what needs the memory; readError: the reason.
    std::string detail;
    const char* place = "";  // the part of the format it is in: "member", "block", ...
    std::uint64_t at = 0;    // where that part begins in the compressed input
};

// A MiB at a time from a pool the units share: a buffer that grows would
// be copied as it grows, and fresh memory costs as much in page faults as
// decoding does.
class ChunkPool {
public:
    static constexpr std::size_t chunkBytes = std::size_t{1} << 20;
    ChunkPool() { free_.reserve(64); }
    std::unique_ptr<char[]> take();
    void give(std::unique_ptr<char[]> chunk) noexcept;

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<char[]>> free_;
};

// What a decoder keeps from unit to unit, one for each thread decoding at
// once: memory freed and taken again costs its page faults each time, a
// third of decoding a bzip2 block. Not thread_local: MinGW frees a thread's
// storage before it runs the destructors of what it holds.
template <class Workspace>
class Workspaces {
public:
    Workspaces() { free_.reserve(16); }
    std::unique_ptr<Workspace> take() {
        {
            const std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                std::unique_ptr<Workspace> workspace = std::move(free_.back());
                free_.pop_back();
                return workspace;
            }
        }
        return std::make_unique<Workspace>();
    }
    void give(std::unique_ptr<Workspace> workspace) noexcept {
        const std::lock_guard lock(mutex_);
        if (free_.size() < free_.capacity()) {
            free_.push_back(std::move(workspace));
        }
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Workspace>> free_;
};

// The text a unit decodes to, in chunks from the pool.
class DecodedText {
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
    void clear() noexcept;  // the chunks go back to the pool

    ChunkPool* pool = nullptr;

private:
    std::vector<Chunk> chunks_;
};

// Compressed bytes cut off the input to decode on their own, on any thread.
// A format adds what it needs in a type of its own.
struct Unit {
    Unit() = default;
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;
    virtual ~Unit() = default;

    std::vector<unsigned char> bytes;
    std::uint64_t at = 0;    // where it begins in the compressed input
    std::uint64_t cost = 0;  // about the memory it holds until handed out
    // What decoding gave: the text, whole when every check passed; or the
    // problem, after which the text is handed out only if it was cut short.
    DecodedText text;
    bool whole = false;
    Problem problem;
};

class Decoder {
public:
    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    virtual ~Decoder() = default;

    // How the compressed bytes come: more may follow at once, more may
    // follow once the producer writes them (a pipe with none waiting), or
    // none follow.
    enum class Flow : std::uint8_t { flowing, idle, ended };

    enum class Event : std::uint8_t {
        going,    // `used` bytes taken, `produced` bytes of text written
        more,     // more bytes are needed than were given
        checked,  // the text given so far has passed its checks
        unit,     // a unit was cut from the first `used` bytes into `fresh`
        waits,    // what comes next gives text in place: the units first
        ended,    // the input ended whole
        failed,   // `problem`
    };
    struct Step {
        std::size_t used = 0;
        std::size_t produced = 0;
        Event event = Event::going;
        Problem problem;
    };

    // On the reader, in input order: takes the bytes `in`, which begin at
    // byte `at` of the input, and writes text into `out`. With units in
    // flight it writes none: it cuts another unit or waits.
    virtual Step step(std::span<const unsigned char> in, std::uint64_t at, Flow flow,
                      std::span<char> out, bool unitsInFlight, Unit& fresh) = 0;

    // A unit of the decoder's own type, for step() to fill.
    virtual std::unique_ptr<Unit> newUnit() const { return std::make_unique<Unit>(); }

    // On any thread: decodes the unit's bytes into its text, whole or with
    // a problem. May throw std::bad_alloc.
    virtual void decode(Unit& unit) const { (void)unit; }

    // On the reader, each unit in input order once decoded, with the unit
    // cut after it (not yet decoded, perhaps), or none when no more will
    // be: whether it is handed out (the decoder may still find it faulty,
    // as a check over several units fails), or joined with the next one (a
    // guessed boundary that was wrong), after which it is decoded again.
    enum class Verdict : std::uint8_t { handOut, join };
    virtual Verdict inOrder(Unit& unit, const Unit* next) {
        (void)unit;
        (void)next;
        return Verdict::handOut;
    }
    virtual void join(Unit& unit, const Unit& next) const {
        (void)unit;
        (void)next;
    }
    // Whether a unit's end is a guess that the unit after it may prove
    // wrong: only then does a faulty unit wait for the next one to be cut.
    virtual bool guessesEnds() const { return false; }

    // Once the input has ended whole: what was passed over after it that
    // deserves a warning (bytes after the last gzip member).
    virtual std::string endNote() const { return {}; }
};

// Makers of each format's decoder; each exists only where its library does.
// `memoryBudget` is what units in flight may hold.
std::unique_ptr<Decoder> makeGzipDecoder();
std::unique_ptr<Decoder> makeZstdDecoder();
std::unique_ptr<Decoder> makeXzDecoder(std::uint64_t memoryBudget);
std::unique_ptr<Decoder> makeBzip2Decoder();

}  // namespace blockavg
