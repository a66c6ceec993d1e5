#include "xmol/xmol_frame_reader.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "xmol/xmol_items.hpp"

namespace blockavg {
namespace {

// Bytes read per batch: enough that the work per batch dwarfs handing it
// between threads, small enough that a few batches per thread stay in cache
// and in little memory. Longer lines grow a batch.
constexpr std::size_t batchBytes = std::size_t{1} << 20;

// A longer line is an error: it would take memory without bound (a file of
// NUL bytes, /dev/zero, has no line end at all).
constexpr std::size_t longestLine = std::size_t{256} << 20;

// The UTF-8 byte order mark that editors on Windows put at a file's start.
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

constexpr std::size_t notYet = static_cast<std::size_t>(-1);

// The line feeds in a block of 255 bytes, counted in one byte each: a loop
// the compiler turns into vector code, 16 or 32 bytes a step (std::count,
// which adds into 64 bits, and a memchr per line are several times slower).
constexpr std::ptrdiff_t countBlock = 255;

std::int64_t lineFeedsInBlock(const char* from) noexcept {
    unsigned char count = 0;
    for (std::ptrdiff_t at = 0; at < countBlock; ++at) {
        count = static_cast<unsigned char>(count + (from[at] == '\n' ? 1 : 0));
    }
    return count;
}

// Counts the line feeds in [from, end), up to `most` of them; when it finds
// that many, `after` is set past the last. Blocks that hold fewer line feeds
// than are still wanted are counted whole; the rest is searched line by line.
std::int64_t countLines(const char* from, const char* end, std::int64_t most,
                        const char*& after) noexcept {
    std::int64_t found = 0;
    while (end - from >= countBlock) {
        const std::int64_t inBlock = lineFeedsInBlock(from);
        if (found + inBlock >= most) {
            break;
        }
        found += inBlock;
        from += countBlock;
    }
    while (found < most) {
        const void* lineFeed = std::memchr(from, '\n', static_cast<std::size_t>(end - from));
        if (lineFeed == nullptr) {
            return found;
        }
        ++found;
        from = static_cast<const char*>(lineFeed) + 1;
    }
    after = from;
    return found;
}

}  // namespace

void FrameBatch::clear() noexcept {
    size_ = 0;
    outcomes_.clear();
    spans_.clear();
    atomLineCount_ = 0;
    open_ = {};
    error_.clear();
    outOfMemory_ = false;
}

bool XmolFrameReader::readBatch(FrameBatch& batch) {
    batch.clear();
    if (expect_ == Expect::nothing) {
        return false;
    }
    // Room for the unfinished line and as much again, but never more than
    // the longest line allowed: a buffer full of one line then tells, the
    // same way whatever the batches, that the line is too long.
    // A buffer grown for a long line goes back to that size once the line
    // has gone, so that a long line costs its memory once, not once in
    // every batch in flight.
    const std::size_t wanted = std::max(batchBytes, std::min(2 * pending_.size(), longestLine + 1));
    if (batch.text_.size() < wanted || batch.text_.size() > std::max(wanted, 4 * batchBytes)) {
        batch.text_.resize(wanted);
    }
    // The unfinished line from the batch before: it has no line feed.
    std::copy(pending_.begin(), pending_.end(), batch.text_.data());
    batch.size_ = pending_.size();
    lineStart_ = 0;
    scanned_ = batch.size_;
    pending_.clear();
    frameInBatch_ = false;

    for (;;) {
        findOutcomes(batch);
        // A batch goes as soon as it holds an outcome: input from a pipe is
        // then handled as it arrives, not once a whole batch has come.
        if (expect_ == Expect::nothing || !batch.outcomes_.empty() || !makeRoom(batch)) {
            break;
        }
        // At most a batch's worth at a time, also into a buffer grown for a
        // long line: what is read past the line's end then stays small, and
        // so does its copy into the next batch.
        const std::ptrdiff_t got =
            source_.readSome(batch.text_.data() + batch.size_,
                             std::min(batch.text_.size() - batch.size_, batchBytes));
        if (got < 0) {
            readFailed(batch, source_.errorMessage());
            break;
        }
        if (got == 0) {
            endOfData(batch);
            break;
        }
        batch.size_ += static_cast<std::size_t>(got);
    }
    if (expect_ == Expect::nothing) {
        return false;
    }
    pending_.assign(batch.text_.data() + lineStart_, batch.text_.data() + batch.size_);
    return true;
}

// Makes room in the batch for more bytes when none is left: the bytes before
// the unfinished line hold no outcome and go, and a line that fills the
// whole batch grows it. False, with a read error, when memory runs out.
bool XmolFrameReader::makeRoom(FrameBatch& batch) {
    if (batch.size_ < batch.text_.size()) {
        return true;
    }
    if (lineStart_ > 0) {
        char* text = batch.text_.data();
        std::memmove(text, text + lineStart_, batch.size_ - lineStart_);
        batch.size_ -= lineStart_;
        scanned_ -= lineStart_;
        lineStart_ = 0;
        if (batch.size_ < batch.text_.size()) {
            return true;
        }
    }
    // The buffer holds nothing but the unfinished line.
    if (batch.size_ > longestLine) {
        readFailed(batch, "line " + std::to_string(lineNumber_ + 1) + " is longer than 256 MiB");
        return false;
    }
    try {
        batch.text_.resize(std::min(batch.text_.size() * 2, longestLine + 1));
    } catch (const std::bad_alloc&) {
        readFailed(batch,
                   "line " + std::to_string(lineNumber_ + 1) + " is too long to hold in memory");
        return false;
    }
    return true;
}

// Skips a byte order mark at the very start of the input. False while the
// bytes so far begin one and could still be one.
bool XmolFrameReader::skipByteOrderMark(FrameBatch& batch) noexcept {
    const std::string_view start(batch.text_.data() + lineStart_,
                                 std::min(batch.size_ - lineStart_, byteOrderMark.size()));
    if (start != byteOrderMark.substr(0, start.size())) {
        atStart_ = false;
        return true;
    }
    if (start.size() < byteOrderMark.size()) {
        return false;  // no line can have ended: the bytes so far hold no line feed
    }
    lineStart_ += byteOrderMark.size();
    scanned_ = std::max(scanned_, lineStart_);
    atStart_ = false;
    return true;
}

// Finds the outcomes in the whole lines of the batch.
void XmolFrameReader::findOutcomes(FrameBatch& batch) {
    if (atStart_ && !skipByteOrderMark(batch)) {
        return;
    }
    const char* const text = batch.text_.data();
    while (expect_ != Expect::nothing) {
        if (expect_ == Expect::contentAhead) {
            // Past a blank count line: is there anything but white space?
            for (std::size_t at = lineStart_; at < batch.size_; ++at) {
                if (!isItemSpace(text[at])) {
                    stop(batch, OutcomeKind::blankCountLine, blankLine_);
                    return;
                }
            }
            lineStart_ = scanned_ = batch.size_;
            return;
        }
        if (expect_ == Expect::atomLines) {
            // Atom lines are only counted here; parseBatch reads their items.
            const char* const end = text + batch.size_;
            const char* after = nullptr;  // past the last line feed found
            const std::int64_t found = countLines(text + scanned_, end, atomsLeft_, after);
            if (found > 0 && after == nullptr) {
                after = end;
                while (after[-1] != '\n') {
                    --after;
                }
            }
            if (found > 0) {
                FrameOutcome& outcome = atomOutcome(batch);
                outcome.atomLines += static_cast<std::size_t>(found);
                batch.spans_.back().atomsEnd = static_cast<std::size_t>(after - text);
                batch.atomLineCount_ += static_cast<std::size_t>(found);
                lineNumber_ += static_cast<std::uint64_t>(found);
                atomsLeft_ -= found;
                lineStart_ = static_cast<std::size_t>(after - text);
                if (atomsLeft_ == 0) {
                    outcome.ending = FrameEnding::complete;
                    frameInBatch_ = false;
                    expect_ = Expect::countLine;
                    scanned_ = lineStart_;
                    continue;
                }
            }
            scanned_ = batch.size_;
            return;
        }
        const void* lineFeed = std::memchr(text + scanned_, '\n', batch.size_ - scanned_);
        if (lineFeed == nullptr) {
            scanned_ = batch.size_;
            return;
        }
        const auto end = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - text);
        takeLine(batch, lineStart_, end);
        lineStart_ = scanned_ = end + 1;
    }
}

// A count line or a comment line, [begin, end) of the batch's text.
void XmolFrameReader::takeLine(FrameBatch& batch, std::size_t begin, std::size_t end) {
    ++lineNumber_;
    const std::string_view line(batch.text_.data() + begin, end - begin);
    if (expect_ == Expect::countLine) {
        LineCursor cursor(line);
        std::int32_t count = 0;
        if (readIntegerItem(cursor, count) && count >= 0) {
            count_ = count;
            expect_ = Expect::commentLine;
        } else if (hasContent(line)) {
            stop(batch, OutcomeKind::notACount, lineNumber_);
        } else {
            blankLine_ = lineNumber_;
            expect_ = Expect::contentAhead;
        }
        return;
    }
    beginFrame(batch, true, begin, end);
}

// The frame's outcome, once its comment line is there or cannot come.
void XmolFrameReader::beginFrame(FrameBatch& batch, bool hasComment, std::size_t begin,
                                 std::size_t end) {
    FrameOutcome outcome;
    outcome.kind = OutcomeKind::frame;
    outcome.count = count_;
    FrameBatch::LineSpans spans;
    spans.hasComment = hasComment;
    spans.commentBegin = begin;
    spans.commentEnd = end;
    spans.atomsBegin = spans.atomsEnd = std::min(end + 1, batch.size_);
    if (count_ == 0) {
        outcome.ending = FrameEnding::complete;
        expect_ = Expect::countLine;
    } else {
        outcome.ending = FrameEnding::continues;
        atomsLeft_ = count_;
        expect_ = Expect::atomLines;
        frameInBatch_ = true;
    }
    batch.outcomes_.push_back(outcome);
    batch.spans_.push_back(spans);
}

// The outcome that takes the frame's next atom lines: the frame's own when
// it began in this batch, otherwise a moreAtoms outcome.
FrameOutcome& XmolFrameReader::atomOutcome(FrameBatch& batch) {
    if (!frameInBatch_) {
        FrameOutcome outcome;
        outcome.kind = OutcomeKind::moreAtoms;
        outcome.ending = FrameEnding::continues;
        FrameBatch::LineSpans spans;
        spans.atomsBegin = spans.atomsEnd = lineStart_;
        batch.outcomes_.push_back(outcome);
        batch.spans_.push_back(spans);
        frameInBatch_ = true;
    }
    return batch.outcomes_.back();
}

// The input has ended: a last line without a line feed is a line like any
// other, and a frame that lacks lines ends inside.
void XmolFrameReader::endOfData(FrameBatch& batch) {
    if (lineStart_ < batch.size_ && expect_ != Expect::contentAhead) {
        if (expect_ == Expect::atomLines) {
            FrameOutcome& outcome = atomOutcome(batch);
            ++outcome.atomLines;
            batch.spans_.back().atomsEnd = batch.size_;
            ++batch.atomLineCount_;
            ++lineNumber_;
            if (--atomsLeft_ == 0) {
                outcome.ending = FrameEnding::complete;
                frameInBatch_ = false;
                expect_ = Expect::countLine;
            }
        } else {
            takeLine(batch, lineStart_, batch.size_);
        }
        lineStart_ = scanned_ = batch.size_;
    }
    endReading(batch, OutcomeKind::endOfInput, FrameEnding::inputEnded);
}

// Reading failed: the bytes of an unfinished line are lost, and whatever
// was being read ends there.
void XmolFrameReader::readFailed(FrameBatch& batch, std::string message) {
    batch.error_ = std::move(message);
    batch.size_ = lineStart_;
    endReading(batch, OutcomeKind::readError, FrameEnding::readError);
}

// No more input: where a count line belongs, a `stop` outcome; inside a
// frame, the frame ends with `ending`.
void XmolFrameReader::endReading(FrameBatch& batch, OutcomeKind stop, FrameEnding ending) {
    switch (expect_) {
        case Expect::countLine:
        case Expect::contentAhead:
            this->stop(batch, stop);
            break;
        case Expect::commentLine:
            beginFrame(batch, false, batch.size_, batch.size_);
            batch.outcomes_.back().ending = ending;
            break;
        case Expect::atomLines:
            atomOutcome(batch).ending = ending;
            break;
        case Expect::nothing:
            break;
    }
    expect_ = Expect::nothing;
}

void XmolFrameReader::stop(FrameBatch& batch, OutcomeKind kind, std::uint64_t lineNumber) {
    FrameOutcome outcome;
    outcome.kind = kind;
    outcome.lineNumber = lineNumber;
    batch.outcomes_.push_back(outcome);
    batch.spans_.emplace_back();
    expect_ = Expect::nothing;
}

void XmolFrameReader::parseBatch(FrameBatch& batch) noexcept {
    try {
        batch.atoms_.resize(batch.atomLineCount_);
        batch.names_.resize(batch.atomLineCount_);
    } catch (const std::bad_alloc&) {
        batch.outOfMemory_ = true;
        return;
    }
    const char* const text = batch.text_.data();
    // The slots as this batch sets them; an item whose slot has not been set
    // in the batch yet stays open for resolve().
    std::string_view stepLabel;
    std::string_view boxTag;
    double boxValue = 0.0;
    bool knowStepLabel = false;
    bool knowBoxTag = false;
    bool knowBoxValue = false;
    std::string_view name;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    std::size_t firstName = notYet;
    std::size_t firstX = notYet;
    std::size_t firstY = notYet;
    std::size_t firstZ = notYet;
    std::size_t atom = 0;

    for (std::size_t index = 0; index < batch.outcomes_.size(); ++index) {
        FrameOutcome& outcome = batch.outcomes_[index];
        FrameBatch::LineSpans& spans = batch.spans_[index];
        if (outcome.kind == OutcomeKind::frame) {
            // Comment line: word, step label, word, box tag, box value. A
            // missing line reads like an empty one.
            LineCursor cursor(
                std::string_view(text + spans.commentBegin, spans.commentEnd - spans.commentBegin));
            std::string_view word;
            if (spans.hasComment && readWordItem(cursor, word) && readWordItem(cursor, word)) {
                stepLabel = word;
                knowStepLabel = true;
                if (readWordItem(cursor, word) && readWordItem(cursor, word)) {
                    boxTag = word;
                    knowBoxTag = true;
                    knowBoxValue = readRealItem(cursor, boxValue) || knowBoxValue;
                }
            }
            outcome.stepLabel = stepLabel;
            outcome.boxTag = boxTag;
            outcome.boxValue = boxValue;
            spans.openStepLabel = !knowStepLabel;
            spans.openBoxTag = !knowBoxTag;
            spans.openBoxValue = !knowBoxValue;
        }
        if (outcome.kind != OutcomeKind::frame && outcome.kind != OutcomeKind::moreAtoms) {
            continue;
        }
        // Atom lines: name, x, y, z.
        outcome.firstAtom = atom;
        const char* line = text + spans.atomsBegin;
        const char* const end = text + spans.atomsEnd;
        for (std::size_t n = 0; n < outcome.atomLines; ++n, ++atom) {
            const auto* lineFeed = static_cast<const char*>(
                std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
            const char* const lineEnd = lineFeed != nullptr ? lineFeed : end;
            LineCursor cursor(std::string_view(line, static_cast<std::size_t>(lineEnd - line)));
            if (readWordItem(cursor, name)) {
                firstName = std::min(firstName, atom);
                if (readRealItem(cursor, x)) {
                    firstX = std::min(firstX, atom);
                    if (readRealItem(cursor, y)) {
                        firstY = std::min(firstY, atom);
                        if (readRealItem(cursor, z)) {
                            firstZ = std::min(firstZ, atom);
                        }
                    }
                }
            }
            batch.atoms_[atom] = {x, y, z};
            batch.names_[atom] = name;
            line = lineFeed != nullptr ? lineFeed + 1 : end;
        }
    }
    batch.open_.name = std::min(firstName, atom);
    batch.open_.x = std::min(firstX, atom);
    batch.open_.y = std::min(firstY, atom);
    batch.open_.z = std::min(firstZ, atom);
}

void XmolFrameReader::resolve(FrameBatch& batch) {
    if (batch.outOfMemory_) {
        return;
    }
    // A copy of the slots that the batch's views can point into while the
    // slots themselves move on.
    ReadingSlots& incoming = batch.incoming_;
    incoming.stepLabel.assign(slots_.stepLabel);
    incoming.boxTag.assign(slots_.boxTag);
    incoming.boxValue = slots_.boxValue;
    incoming.atomName.assign(slots_.atomName);
    incoming.atomX = slots_.atomX;
    incoming.atomY = slots_.atomY;
    incoming.atomZ = slots_.atomZ;

    const FrameBatch::OpenAtomItems& open = batch.open_;
    std::fill_n(batch.names_.begin(), open.name, std::string_view(incoming.atomName));
    for (std::size_t atom = 0; atom < open.x; ++atom) {
        batch.atoms_[atom].x = incoming.atomX;
    }
    for (std::size_t atom = 0; atom < open.y; ++atom) {
        batch.atoms_[atom].y = incoming.atomY;
    }
    for (std::size_t atom = 0; atom < open.z; ++atom) {
        batch.atoms_[atom].z = incoming.atomZ;
    }

    SlotValues& last = batch.last_;
    last.stepLabel = incoming.stepLabel;
    last.boxTag = incoming.boxTag;
    last.boxValue = incoming.boxValue;
    for (std::size_t index = 0; index < batch.outcomes_.size(); ++index) {
        FrameOutcome& outcome = batch.outcomes_[index];
        if (outcome.kind != OutcomeKind::frame) {
            continue;
        }
        const FrameBatch::LineSpans& spans = batch.spans_[index];
        if (spans.openStepLabel) {
            outcome.stepLabel = incoming.stepLabel;
        }
        if (spans.openBoxTag) {
            outcome.boxTag = incoming.boxTag;
        }
        if (spans.openBoxValue) {
            outcome.boxValue = incoming.boxValue;
        }
        last.stepLabel = outcome.stepLabel;
        last.boxTag = outcome.boxTag;
        last.boxValue = outcome.boxValue;
    }
    if (batch.atoms_.empty()) {
        last.atomName = incoming.atomName;
        last.atomX = incoming.atomX;
        last.atomY = incoming.atomY;
        last.atomZ = incoming.atomZ;
    } else {
        last.atomName = batch.names_.back();
        last.atomX = batch.atoms_.back().x;
        last.atomY = batch.atoms_.back().y;
        last.atomZ = batch.atoms_.back().z;
    }

    slots_.stepLabel.assign(last.stepLabel);
    slots_.boxTag.assign(last.boxTag);
    slots_.boxValue = last.boxValue;
    slots_.atomName.assign(last.atomName);
    slots_.atomX = last.atomX;
    slots_.atomY = last.atomY;
    slots_.atomZ = last.atomZ;
}

}  // namespace blockavg
