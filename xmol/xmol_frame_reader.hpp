#pragma once

// Reads an XMOL (XYZ) trajectory: count line, comment line, one atom line
// per atom, frame after frame. Reading is lenient: an item that cannot be
// read keeps the value its slot last held, and a failed item fails the rest
// of its line. Only a count line that yields no count ends the reading.
//
// The reader hands out the input as batches of outcomes (a frame, the end of
// the input, a count line that holds no count, ...), in three steps that let
// the parsing run on several threads:
//
//   readBatch    in order: reads the next bytes and finds where the frames
//                and their lines are (it reads count lines to know where a
//                frame ends);
//   parseBatch   on any thread: reads the items of the comment and atom
//                lines. An item that fails takes the value read before it
//                in the same batch, or stays open when there is none;
//   resolve      in order: gives the open items the value the slots held at
//                the batch's start, and moves the slots on.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_source.hpp"
#include "xmol/reading_slots.hpp"
#include "xmol/text_buffer.hpp"

namespace blockavg {

enum class OutcomeKind : std::uint8_t {
    frame,           // a frame: its count, its comment line and its first atom lines
    moreAtoms,       // further atom lines of the frame before
    endOfInput,      // no count line: the input has ended (blank lines included)
    notACount,       // a count line that holds something other than a count
    blankCountLine,  // a blank count line with more data after it
    readError,       // the input could not be read where a count line belongs
};

// How the atom lines of a frame or moreAtoms outcome end.
enum class FrameEnding : std::uint8_t {
    continues,   // more atom lines follow in a moreAtoms outcome
    complete,    // the frame has all its lines
    inputEnded,  // the input ended inside the frame: its missing lines are empty
    readError,   // the input could not be read inside the frame
};

struct AtomItems {
    double x;
    double y;
    double z;
};

struct FrameOutcome {
    OutcomeKind kind = OutcomeKind::endOfInput;
    FrameEnding ending = FrameEnding::complete;
    std::int32_t count = 0;        // frame: the atom count
    std::uint64_t lineNumber = 0;  // notACount, blankCountLine: the count line's number
    // frame: the comment line's items as the slots hold them afterwards.
    std::string_view stepLabel;
    std::string_view boxTag;
    double boxValue = 0.0;
    // frame, moreAtoms: how many atom lines the input has for this outcome;
    // FrameBatch::atoms() and names() give their items.
    std::size_t atomLines = 0;
    std::size_t firstAtom = 0;
};

// The slot values after some line, as views into a batch.
struct SlotValues {
    std::string_view stepLabel;
    std::string_view boxTag;
    double boxValue = 0.0;
    std::string_view atomName;
    double atomX = 0.0;
    double atomY = 0.0;
    double atomZ = 0.0;
};

// One batch of input and what it held. Its views stay valid until the
// batch is read into again.
class FrameBatch {
public:
    std::span<const FrameOutcome> outcomes() const noexcept { return outcomes_; }
    // The items of an outcome's atom lines, in line order.
    std::span<const AtomItems> atoms(const FrameOutcome& outcome) const noexcept {
        return {atoms_.data() + outcome.firstAtom, outcome.atomLines};
    }
    std::span<const std::string_view> names(const FrameOutcome& outcome) const noexcept {
        return {names_.data() + outcome.firstAtom, outcome.atomLines};
    }
    // The slots after the batch's last line: the values of every line the
    // input does not have.
    const SlotValues& last() const noexcept { return last_; }
    // Why the input could not be read (readError outcomes and endings).
    const std::string& errorMessage() const noexcept { return error_; }
    // Whether parsing ran out of memory; the outcomes are then not usable.
    bool outOfMemory() const noexcept { return outOfMemory_; }

private:
    friend class XmolFrameReader;

    // Where an outcome's lines lie in text_.
    struct LineSpans {
        std::size_t commentBegin = 0;
        std::size_t commentEnd = 0;
        bool hasComment = false;
        std::size_t atomsBegin = 0;
        std::size_t atomsEnd = 0;
        // Comment items that failed with nothing read before them in the batch.
        bool openStepLabel = false;
        bool openBoxTag = false;
        bool openBoxValue = false;
    };

    // The number of leading atom lines whose item failed with nothing read
    // before it in the batch, for each atom slot.
    struct OpenAtomItems {
        std::size_t name = 0;
        std::size_t x = 0;
        std::size_t y = 0;
        std::size_t z = 0;
    };

    void clear() noexcept;

    TextBuffer text_;
    std::size_t size_ = 0;
    std::vector<FrameOutcome> outcomes_;
    std::vector<LineSpans> spans_;
    std::size_t atomLineCount_ = 0;
    std::vector<AtomItems> atoms_;
    std::vector<std::string_view> names_;
    OpenAtomItems open_;
    ReadingSlots incoming_;  // the slots at the batch's start
    SlotValues last_;
    std::string error_;
    bool outOfMemory_ = false;
};

class XmolFrameReader {
public:
    explicit XmolFrameReader(ByteSource& source) noexcept : source_(source) {}
    XmolFrameReader(const XmolFrameReader&) = delete;
    XmolFrameReader& operator=(const XmolFrameReader&) = delete;

    // Reads the next bytes into `batch` and finds its outcomes: at least one,
    // unless reading ended in a stop. Waits for input only while no whole
    // outcome has arrived. False once the input has nothing more to give
    // (its last outcome is in this batch). Throws std::bad_alloc only when
    // the batch's first buffer cannot be had.
    bool readBatch(FrameBatch& batch);

    // Reads the items of the batch's lines. Safe on any thread, for
    // different batches at once.
    static void parseBatch(FrameBatch& batch) noexcept;

    // Gives the items that failed with nothing before them in the batch the
    // values the slots hold, then moves the slots past the batch. Batches
    // must be resolved in the order they were read.
    void resolve(FrameBatch& batch);

private:
    enum class Expect { countLine, commentLine, atomLines, contentAhead, nothing };

    bool skipByteOrderMark(FrameBatch& batch) noexcept;
    void findOutcomes(FrameBatch& batch);
    void takeLine(FrameBatch& batch, std::size_t begin, std::size_t end);
    void beginFrame(FrameBatch& batch, bool hasComment, std::size_t begin, std::size_t end);
    FrameOutcome& atomOutcome(FrameBatch& batch);
    void endOfData(FrameBatch& batch);
    void readFailed(FrameBatch& batch, std::string message);
    void endReading(FrameBatch& batch, OutcomeKind stop, FrameEnding ending);
    void stop(FrameBatch& batch, OutcomeKind kind, std::uint64_t lineNumber = 0);
    bool makeRoom(FrameBatch& batch);

    ByteSource& source_;
    bool atStart_ = true;  // a byte order mark may still be skipped
    Expect expect_ = Expect::countLine;
    std::int32_t count_ = 0;        // of the frame being read
    std::int64_t atomsLeft_ = 0;    // its atom lines still to come
    bool frameInBatch_ = false;     // its last outcome is in the batch being read
    std::uint64_t lineNumber_ = 0;  // whole lines found so far
    std::uint64_t blankLine_ = 0;   // the blank count line being looked past

    // In the batch being read: the first byte not yet in a line, and how far
    // past it no line feed has been found.
    std::size_t lineStart_ = 0;
    std::size_t scanned_ = 0;
    std::vector<char> pending_;  // an unfinished line, for the next batch

    ReadingSlots slots_;
};

}  // namespace blockavg
