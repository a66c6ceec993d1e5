#include "xmol/frame_walker.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "xmol/xmol_items.hpp"

namespace blockavg {
namespace {

// A longer line is an error: it would take memory without bound (a file of
// NUL bytes, /dev/zero, has no line end at all).
constexpr std::size_t longestLine = std::size_t{256} << 20;

// The UTF-8 byte order mark that editors on Windows put at a file's start.
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

}  // namespace

void BatchFrames::clear() noexcept {
    pieces.clear();
    frameStarts = 0;
    atomLines = 0;
    closingLines = 0;
    stop = InputStop::none;
    stopsAtCountLine = false;
    nextFrame = 0;
    stopLine = 0;
    stopEnd = 0;
    error.clear();
}

void FrameWalker::walk(BatchLines& lines, ReadEnd end, std::string_view error,
                       BatchFrames& frames) {
    frames.clear();
    frameInBatch_ = false;
    if (placeCarry(lines, end, frames)) {
        // The input's last line may have no line feed; otherwise the start
        // of a line after the batch's last line feed goes on in the next.
        const std::size_t tail =
            lines.size() == 0 ? lines.firstLine : std::size_t{lines[lines.size() - 1].end} + 1;
        if (end == ReadEnd::endOfData && tail < lines.bytesEnd) {
            lines.addEnd(static_cast<std::uint32_t>(lines.bytesEnd));
        } else if (end == ReadEnd::more && tail < lines.bytesEnd) {
            carrySize_ = lines.bytesEnd - tail;
            if (carry_.size() < carrySize_) {
                carry_.resize(std::max(carrySize_, 2 * carry_.size()));
            }
            std::memcpy(carry_.data(), lines.bytes.data() + tail, carrySize_);
        }
        if (atStart_ && lines.size() > 0) {
            atStart_ = false;
            if (lines.line(0).substr(0, byteOrderMark.size()) == byteOrderMark) {
                lines.firstLine += byteOrderMark.size();
            }
        }
        if (lines.size() > 0 && lines.line(0).size() > longestLine) {
            frames.error = "line " + std::to_string(lineNumber_ + 1) + " is longer than 256 MiB";
            endReading(frames, 0, ReadEnd::error, frames.error);
        } else {
            takeLines(lines, frames);
        }
    }
    if (end != ReadEnd::more && expect_ != Expect::nothing) {
        endReading(frames, static_cast<std::uint32_t>(lines.size()), end, error);
    }
    frames.nextFrame = frameNumber_;
}

// Puts the carried start of a line in front of the batch's bytes, so that
// the batch's first line lies whole in its text; a line longer than the
// room there takes the carry's buffer, with the bytes after it. A batch
// with no line end and more input after it has no line: its bytes join the
// carry, and false is returned. So is false when the line cannot be held.
bool FrameWalker::placeCarry(BatchLines& lines, ReadEnd end, BatchFrames& frames) {
    const std::size_t bytes = lines.bytesEnd - lines.bytesBegin;
    try {
        if (lines.size() == 0 && end == ReadEnd::more) {
            if (bytes == 0) {
                return false;
            }
            // Room for a byte order mark too, which the first line does
            // not count: the line itself is checked once it has ended.
            if (carrySize_ + bytes > longestLine + byteOrderMark.size()) {
                frames.error =
                    "line " + std::to_string(lineNumber_ + 1) + " is longer than 256 MiB";
                endReading(frames, 0, ReadEnd::error, frames.error);
                return false;
            }
            if (carry_.size() < carrySize_ + bytes) {
                carry_.resize(
                    std::min(std::max(carrySize_ + bytes, 2 * carry_.size()), longestLine + 1));
            }
            std::memcpy(carry_.data() + carrySize_, lines.bytes.data() + lines.bytesBegin, bytes);
            carrySize_ += bytes;
            return false;
        }
        if (carrySize_ == 0) {
            lines.firstLine = lines.bytesBegin;
        } else if (carrySize_ <= lines.bytesBegin) {
            lines.firstLine = lines.bytesBegin - carrySize_;
            std::memcpy(lines.bytes.data() + lines.firstLine, carry_.data(), carrySize_);
        } else {
            // A long line: the carry's buffer, grown to take the bytes after
            // it, becomes the batch's, and the batch's the carry's.
            if (carry_.size() < carrySize_ + bytes) {
                carry_.resize(carrySize_ + bytes);
            }
            std::memcpy(carry_.data() + carrySize_, lines.bytes.data() + lines.bytesBegin, bytes);
            const std::size_t shift = carrySize_ - lines.bytesBegin;
            std::swap(carry_, lines.bytes);
            lines.firstLine = 0;
            lines.bytesBegin = carrySize_;
            lines.bytesEnd = carrySize_ + bytes;
            lines.moveEnds(static_cast<std::uint32_t>(shift));
        }
    } catch (const std::bad_alloc&) {
        frames.error = "cannot hold line " + std::to_string(lineNumber_ + 1) + ": out of memory";
        endReading(frames, 0, ReadEnd::error, frames.error);
        return false;
    }
    carrySize_ = 0;
    return true;
}

void FrameWalker::takeLines(const BatchLines& lines, BatchFrames& frames) {
    const auto lineCount = static_cast<std::uint32_t>(lines.size());
    std::uint32_t index = 0;
    while (index < lineCount) {
        switch (expect_) {
            case Expect::atomLines: {
                // Atom lines are stepped over by their number here; the
                // parser reads their items.
                const auto taken = static_cast<std::uint32_t>(
                    std::min<std::int64_t>(atomsLeft_, lineCount - index));
                FramePiece& piece = atomPiece(frames, index);
                piece.atomLines += taken;
                frames.atomLines += taken;
                if (piece.closesBlock) {
                    frames.closingLines += taken;
                }
                atomsLeft_ -= taken;
                lineNumber_ += taken;
                index += taken;
                if (atomsLeft_ == 0) {
                    piece.ending = FrameEnding::complete;
                    ++frameNumber_;
                    frameInBatch_ = false;
                    expect_ = Expect::countLine;
                }
                break;
            }
            case Expect::countLine:
                ++lineNumber_;
                if (lines[index].count >= 0) {
                    count_ = lines[index++].count;
                    expect_ = Expect::commentLine;
                } else {
                    takeCountLine(lines, index++, frames);
                }
                break;
            case Expect::commentLine:
                ++lineNumber_;
                beginFrame(frames, true, index++);
                break;
            case Expect::contentAhead:
                // Past a blank count line: blank lines up to the end are the
                // end; anything else is a stop at the blank line.
                if (hasContent(lines.line(index))) {
                    stop(frames, InputStop::blankCountLine, blankLine_, lines.endWithFeed(index));
                    return;
                }
                ++lineNumber_;
                ++index;
                break;
            case Expect::nothing:
                return;
        }
    }
}

void FrameWalker::takeCountLine(const BatchLines& lines, std::uint32_t index, BatchFrames& frames) {
    const std::string_view line = lines.line(index);
    LineCursor cursor(line);
    std::int32_t count = 0;
    if (readIntegerItem(cursor, count) && count >= 0) {
        count_ = count;
        expect_ = Expect::commentLine;
    } else if (hasContent(line)) {
        stop(frames, InputStop::notACount, lineNumber_, lines.endWithFeed(index));
    } else {
        blankLine_ = lineNumber_;
        expect_ = Expect::contentAhead;
    }
}

// The frame's first piece, once its comment line is there or cannot come.
void FrameWalker::beginFrame(BatchFrames& frames, bool hasComment, std::uint32_t commentLine) {
    FramePiece piece;
    piece.frameNumber = frameNumber_;
    piece.count = count_;
    piece.startsFrame = true;
    piece.hasComment = hasComment;
    piece.closesBlock = closes(frameNumber_);
    piece.commentLine = commentLine;
    piece.firstAtomLine = commentLine + 1;
    piece.firstAtom = frames.atomLines;
    piece.firstName = frames.closingLines;
    ++frames.frameStarts;
    if (count_ == 0) {
        piece.ending = FrameEnding::complete;
        ++frameNumber_;
        expect_ = Expect::countLine;
    } else {
        atomsLeft_ = count_;
        expect_ = Expect::atomLines;
        frameInBatch_ = true;
    }
    frames.pieces.push_back(piece);
}

// The piece that takes the frame's next atom lines: the frame's own when it
// began in this batch, otherwise one that continues it.
FramePiece& FrameWalker::atomPiece(BatchFrames& frames, std::uint32_t line) {
    if (!frameInBatch_) {
        FramePiece piece;
        piece.frameNumber = frameNumber_;
        piece.count = count_;
        piece.closesBlock = closes(frameNumber_);
        piece.firstAtomLine = line;
        piece.firstAtom = frames.atomLines;
        piece.firstName = frames.closingLines;
        frames.pieces.push_back(piece);
        frameInBatch_ = true;
    }
    return frames.pieces.back();
}

// No more input: where a count line belongs, a stop; inside a frame, the
// frame ends there. The input's end completes the frame from the values
// last read; an error leaves it unfinished.
void FrameWalker::endReading(BatchFrames& frames, std::uint32_t lineCount, ReadEnd end,
                             std::string_view error) {
    const bool failed = end != ReadEnd::endOfData;
    if (failed) {
        frames.error.assign(error);
    }
    const FrameEnding ending = failed ? FrameEnding::readError : FrameEnding::inputEnded;
    switch (expect_) {
        case Expect::countLine:
        case Expect::contentAhead:
            stop(frames, failed ? InputStop::readError : InputStop::endOfInput);
            return;
        case Expect::commentLine:
            // The frame lacks its comment line even when it has no atoms.
            beginFrame(frames, false, lineCount);
            if (frames.pieces.back().ending == FrameEnding::continues && !failed) {
                ++frameNumber_;
            }
            frames.pieces.back().ending = ending;
            break;
        case Expect::atomLines:
            atomPiece(frames, lineCount).ending = ending;
            if (!failed) {
                ++frameNumber_;
            }
            break;
        case Expect::nothing:
            return;
    }
    FramePiece& piece = frames.pieces.back();
    if (!failed && atomsLeft_ > 0 && expect_ != Expect::countLine) {
        // The lines the input ended without, as one empty line's items.
        piece.missingLines = atomsLeft_;
        ++frames.atomLines;
        if (piece.closesBlock) {
            ++frames.closingLines;
        }
    }
    frames.stop = failed ? InputStop::readError : InputStop::endOfInput;
    frames.stopsAtCountLine = false;
    expect_ = Expect::nothing;
}

void FrameWalker::stop(BatchFrames& frames, InputStop kind, std::uint64_t lineNumber,
                       std::size_t end) {
    frames.stop = kind;
    frames.stopLine = lineNumber;
    frames.stopEnd = end;
    frames.stopsAtCountLine = true;
    expect_ = Expect::nothing;
}

}  // namespace blockavg
