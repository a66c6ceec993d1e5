#pragma once

// Frames found by their count lines. The walker takes the batches' lines in
// input order and tells which are count lines, comment lines and atom
// lines: it reads each count line and steps over the frame's atom lines by
// their number, so its work grows with the frames, not with the bytes. The
// part of a line that runs past a batch's end is carried into the next
// batch, in front of its bytes. The walker also numbers the frames and knows
// where reading stops: at the end of the input, at a count line that holds
// no count, or where the input could not be read.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xmol/batch_lines.hpp"

namespace blockavg {

enum class FrameEnding : std::uint8_t {
    continues,   // the frame's next atom lines are in the next batch
    complete,    // the frame has all its lines
    inputEnded,  // the input ended inside the frame: its missing lines read as empty (missingLines)
    readError,   // the input could not be read inside the frame
};

// The part of one frame that lies in a batch: its count and comment lines
// when it starts there, then a run of its atom lines.
struct FramePiece {
    std::int64_t frameNumber = 0;  // counting from 1
    std::int32_t count = 0;        // the frame's atom count
    bool startsFrame = false;      // the frame begins here: its comment line, or the input's end
                                   // after its count line, is in this batch
    bool hasComment = false;       // and its comment line (the input may end before it)
    bool closesBlock = false;      // its number is a multiple of the block length
    FrameEnding ending = FrameEnding::continues;
    std::uint32_t commentLine = 0;    // the comment line's index among the batch's lines
    std::uint32_t firstAtomLine = 0;  // the index of its first atom line
    std::uint32_t atomLines = 0;
    // The frame's atom lines after these that the input ended without: they
    // read as empty lines, as one item after the piece's own.
    std::int64_t missingLines = 0;
    std::uint32_t firstAtom = 0;  // the batch's atom items before this piece
    std::uint32_t firstName = 0;  // the batch's atom items of block-closing frames before it
};

// Why reading ends in a batch, if it does.
enum class InputStop : std::uint8_t {
    none,            // the input goes on
    endOfInput,      // no further count line: the input has ended (blank lines included)
    notACount,       // a count line that holds something other than a count
    blankCountLine,  // a blank count line with more data after it
    readError,       // the input could not be read, where a count line belongs or inside a frame
};

// How reading a batch's bytes ended.
enum class ReadEnd : std::uint8_t { more, endOfData, error };

// A batch's frames, as the walker finds them.
struct BatchFrames {
    std::vector<FramePiece> pieces;
    std::uint32_t frameStarts = 0;   // pieces that start a frame
    std::uint32_t atomLines = 0;     // atom items in all pieces
    std::uint32_t closingLines = 0;  // atom items in the pieces of block-closing frames
    InputStop stop = InputStop::none;
    bool stopsAtCountLine = false;  // the stop stands where frame `nextFrame` would begin
    std::int64_t nextFrame = 0;     // the number of the frame after the batch's last whole one
    std::uint64_t stopLine = 0;     // notACount and blankCountLine: the line's number
    std::size_t stopEnd = 0;        // and where that line ends, its feed included
    std::string error;              // readError: why

    void clear() noexcept;
};

class FrameWalker {
public:
    explicit FrameWalker(std::int32_t blockLength) noexcept : blockLength_(blockLength) {}
    FrameWalker(const FrameWalker&) = delete;
    FrameWalker& operator=(const FrameWalker&) = delete;

    // Walks the lines of the next batch. `end` says how reading its bytes
    // ended (`error` tells why when it failed). Afterwards `frames.stop`
    // says whether reading stops in this batch. May move the batch's text
    // into a larger buffer, for a line longer than the room before its
    // bytes; throws std::bad_alloc when that cannot be had.
    void walk(BatchLines& lines, ReadEnd end, std::string_view error, BatchFrames& frames);

    // The number of the frame being read, or the next one.
    std::int64_t nextFrame() const noexcept { return frameNumber_; }

private:
    enum class Expect { countLine, commentLine, atomLines, contentAhead, nothing };

    bool placeCarry(BatchLines& lines, ReadEnd end, BatchFrames& frames);
    void takeLines(const BatchLines& lines, BatchFrames& frames);
    void takeCountLine(const BatchLines& lines, std::uint32_t index, BatchFrames& frames);
    void beginFrame(BatchFrames& frames, bool hasComment, std::uint32_t commentLine);
    FramePiece& atomPiece(BatchFrames& frames, std::uint32_t line);
    void endReading(BatchFrames& frames, std::uint32_t lineCount, ReadEnd end,
                    std::string_view error);
    void stop(BatchFrames& frames, InputStop kind, std::uint64_t lineNumber = 0,
              std::size_t end = 0);
    bool closes(std::int64_t frameNumber) const noexcept { return frameNumber % blockLength_ == 0; }

    std::int32_t blockLength_;
    Expect expect_ = Expect::countLine;
    bool atStart_ = true;           // a byte order mark may still be skipped
    std::int64_t frameNumber_ = 1;  // of the frame being read, or the next
    std::int32_t count_ = 0;        // of the frame being read
    std::int64_t atomsLeft_ = 0;    // its atom lines still to come
    bool frameInBatch_ = false;     // its piece is the last of the batch being walked
    std::uint64_t lineNumber_ = 0;  // whole lines taken so far
    std::uint64_t blankLine_ = 0;   // the blank count line being looked past
    InputBytes carry_;              // the start of a line that the next batch ends
    std::size_t carrySize_ = 0;
};

}  // namespace blockavg
