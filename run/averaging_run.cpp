#include "run/averaging_run.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "run/batch_layout.hpp"
#include "run/block_sums.hpp"
#include "run/pipeline.hpp"
#include "run/writer.hpp"
#include "xmol/batch_lines.hpp"
#include "xmol/frame_walker.hpp"
#include "xmol/item_parser.hpp"
#include "xmol/last_values.hpp"

namespace blockavg {
namespace {

// Room before a batch's bytes for the start of a line that the batch ends;
// a longer one takes a buffer of its own (xmol/frame_walker.hpp).
constexpr std::size_t headroom = 4096;

// The bytes of input all batches in flight may hold together, and the
// bounds of one batch: enough that the work on a batch dwarfs handing it
// between threads, small enough that the batches stay in little memory
// (with the items and text made of them, about three times their bytes)
// and in the processors' caches.
constexpr std::size_t bytesInFlight = std::size_t{2} << 20;
constexpr std::size_t smallestBatch = std::size_t{64} << 10;
constexpr std::size_t largestBatch = std::size_t{512} << 10;

// One batch per thread and two more keep every thread busy (fewer leave a
// thread waiting, more are slower: less of them stays in the caches); with
// one thread, one batch goes all the way before the next is read.
std::size_t slotsFor(unsigned threads) noexcept {
    return threads <= 1 ? 1 : std::size_t{threads} + 2;
}

std::size_t batchBytesFor(std::size_t slots) noexcept {
    const std::size_t share = bytesInFlight / slots / 4096 * 4096;
    return std::clamp(share, smallestBatch, largestBatch);
}

// A compressed file whose text stopped early is read on to its end, so that
// damage that made the stop (a changed byte that made a count line) is
// found. Not a pipe: its producer may keep it open for hours.
bool readsOnAfterAStop(const ByteSource& input) {
    return input.checksItsBytes() && !input.mayWait();
}

// What a run that went well says about the frames after its last full
// block, which it read but did not average; nothing when there are none.
std::string leftOverNote(std::int64_t frames, std::int32_t blockLength, const RunStreams& streams) {
    const std::int64_t left = frames % blockLength;
    const std::string block = "a block of " + std::to_string(blockLength);
    if (frames == 0) {
        return streams.inputName + " has no frames; " + streams.outputName + " is empty";
    }
    if (frames < blockLength) {
        return streams.inputName + " has " + std::to_string(frames) +
               (frames == 1 ? " frame" : " frames") + ", fewer than one block of " +
               std::to_string(blockLength) + "; " + streams.outputName + " is empty";
    }
    if (left == 1) {
        return "the last frame of " + streams.inputName + " does not fill " + block +
               " and was not averaged";
    }
    if (left > 1) {
        return "the last " + std::to_string(left) + " frames of " + streams.inputName +
               " do not fill " + block + " and were not averaged";
    }
    return {};
}

class AveragingRun {
public:
    AveragingRun(const RunStreams& streams, const RunSettings& settings, std::size_t batchBytes)
        : streams_(streams),
          blockLength_(settings.blockLength),
          batchBytes_(batchBytes),
          positional_(streams.input.readsAtOffsets()),
          walker_(settings.blockLength),
          sums_(settings.blockLength, streams_.inputName),
          writer_(streams.output, streams_.outputName, streams.report, streams.messages) {}

    PipelineSteps steps();
    bool finish();

private:
    void read(Batch& batch);
    bool walk(Batch& batch);
    bool sum(Batch& batch);
    bool write(const Batch& batch) noexcept;
    bool writeFrames(const Batch& batch);
    void endEarly() noexcept;
    bool readToTheEnd();

    const RunStreams& streams_;
    const std::int32_t blockLength_;
    const std::size_t batchBytes_;
    const bool positional_;
    FrameWalker walker_;
    LastValues last_;
    BlockSums sums_;
    Writer writer_;
    bool failed_ = false;     // memory ran out, or the output could not be written
    bool readToEnd_ = false;  // the run was given the end of the input
};

PipelineSteps AveragingRun::steps() {
    PipelineSteps steps;
    steps.read = [this](Batch& batch) { read(batch); };
    steps.readsInOrder = !positional_;
    steps.findLines = [](Batch& batch) { batch.lines.findEnds(); };
    steps.walk = [this](Batch& batch) { return walk(batch); };
    steps.parse = [](Batch& batch) { parseItems(batch.lines, batch.frames, batch.items); };
    steps.sum = [this](Batch& batch) { return sum(batch); };
    steps.layOut = [this](Batch& batch) {
        batch.text.clear();
        layOutBatch(batch, blockLength_);
    };
    steps.write = [this](const Batch& batch) { return write(batch); };
    return steps;
}

// Fills the batch with the input's next bytes: at its place in a regular
// file, otherwise as they come.
void AveragingRun::read(Batch& batch) {
    BatchLines& lines = batch.lines;
    const std::size_t size = headroom + batchBytes_;
    // A buffer grown for a long line goes back to its size once the line
    // has gone, so that the line costs its memory once.
    if (lines.text.size() < size || lines.text.size() > 4 * size) {
        lines.text.resize(size);
    }
    batch.readEnd = ReadEnd::more;
    batch.readError.clear();
    char* const into = lines.text.data() + headroom;
    ByteSource& input = streams_.input;
    std::size_t got = 0;
    while (got < batchBytes_) {
        const std::ptrdiff_t bytes = positional_ ? input.readAt(batch.sequence * batchBytes_ + got,
                                                                into + got, batchBytes_ - got)
                                                 : input.readSome(into + got, batchBytes_ - got);
        if (bytes <= 0) {
            batch.readEnd = bytes == 0 ? ReadEnd::endOfData : ReadEnd::error;
            if (bytes < 0) {
                batch.readError = input.errorMessage();
            }
            break;
        }
        got += static_cast<std::size_t>(bytes);
        // A live pipe's bytes go on once no more are there.
        if (!positional_ && input.mayWait() && !input.bytesWaiting()) {
            break;
        }
    }
    lines.bytesBegin = headroom;
    lines.bytesEnd = headroom + got;
}

bool AveragingRun::walk(Batch& batch) {
    batch.firstFrame = walker_.nextFrame();
    if (batch.outOfMemory) {
        batch.frames.clear();
        return false;
    }
    walker_.walk(batch.lines, batch.readEnd, batch.readError, batch.frames);
    const InputStop stop = batch.frames.stop;
    if (stop == InputStop::none) {
        return true;
    }
    const bool countLineStop = stop == InputStop::notACount || stop == InputStop::blankCountLine;
    if (stop != InputStop::endOfInput && (!countLineStop || !readsOnAfterAStop(streams_.input))) {
        streams_.input.stopReading();
    }
    return false;
}

bool AveragingRun::sum(Batch& batch) {
    if (batch.outOfMemory) {
        batch.summed.clear();
        return false;
    }
    last_.resolve(batch.items);
    if (sums_.add(batch, last_)) {
        return true;
    }
    if (sums_.failed()) {
        endEarly();
    }
    return false;
}

// Out of memory, in this batch's step or in writing it, is said in the
// place of all the batch had to say; the output keeps its whole frames.
bool AveragingRun::write(const Batch& batch) noexcept {
    if (!batch.outOfMemory) {
        try {
            return writeFrames(batch);
        } catch (const std::bad_alloc&) {
            // as for a batch that ran out before its turn
        }
    }
    writer_.abandonFrame();
    failed_ = true;
    try {
        writer_.say("out of memory in frame " + std::to_string(batch.firstFrame) + " of " +
                    streams_.inputName);
    } catch (const std::bad_alloc&) {
        writer_.say("out of memory");  // a message that needs no memory
    }
    endEarly();
    return false;
}

bool AveragingRun::writeFrames(const Batch& batch) {
    const SummedBatch& summed = batch.summed;
    if (!writer_.writeBatch(batch) ||
        (summed.missingTo > summed.missingFrom &&
         !writer_.finishFrame(
             last_.atomName(),
             sums_.sums().subspan(summed.missingFrom, summed.missingTo - summed.missingFrom),
             blockLength_))) {
        failed_ = true;
        endEarly();
        return false;
    }
    // The input was read to its end: what was passed over after it may be
    // told. Decided here, by the last batch written, as neither threads
    // nor the way the bytes came can change.
    readToEnd_ = readToEnd_ || batch.frames.stop == InputStop::endOfInput;
    return true;
}

// A run that has ended early waits for no producer: a read waiting on a
// pipe returns, and reading ends.
void AveragingRun::endEarly() noexcept { streams_.input.stopReading(); }

bool AveragingRun::readToTheEnd() {
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
        const std::ptrdiff_t got = streams_.input.readSome(buffer.data(), buffer.size());
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            writer_.say("error reading " + streams_.inputName + ": " +
                        streams_.input.errorMessage());
            return false;
        }
    }
}

// After the last batch: a compressed file that stopped early is read to
// its end to find damage; then the notes of a run that went well.
bool AveragingRun::finish() {
    std::fflush(streams_.report);
    bool damaged = false;
    if (sums_.stoppedEarly() && !sums_.failed() && !failed_ && readsOnAfterAStop(streams_.input)) {
        damaged = !readToTheEnd();
        readToEnd_ = !damaged;
    }
    streams_.input.stopReading();
    // A frame begun and not ended (the run failed) is not kept.
    writer_.abandonFrame();
    const bool succeeded = !sums_.failed() && !failed_ && !damaged;
    if (succeeded) {
        const std::string note = leftOverNote(sums_.framesRead(), blockLength_, streams_);
        if (!note.empty()) {
            writer_.say("note: " + note);
        }
    }
    // What was passed over after the input's end (bytes after the last
    // gzip member), once the run has been given that end.
    const std::string endNote = readToEnd_ ? streams_.input.endNote() : std::string();
    if (!endNote.empty()) {
        writer_.say("warning: " + streams_.inputName + " " + endNote);
    }
    return succeeded;
}

}  // namespace

bool averageTrajectory(const RunStreams& streams, const RunSettings& settings, RunTimes* times) {
    try {
        const unsigned threads = std::max(settings.threads, 1u);
        std::vector<Batch> batches(slotsFor(threads));
        const std::size_t batchBytes =
            settings.batchBytes > 0 ? settings.batchBytes : batchBytesFor(batches.size());
        AveragingRun run(streams, settings, batchBytes);
        const PipelineSteps steps = run.steps();
        const auto seconds = runPipeline(steps, batches, threads, times != nullptr);
        if (times != nullptr) {
            *times = {seconds[0], seconds[1], seconds[2], seconds[3],
                      seconds[4], seconds[5], seconds[6], steps.readsInOrder};
        }
        return run.finish();
    } catch (const std::bad_alloc&) {
        // Before the first batch, or for the last messages.
        std::fputs("blockavg: out of memory\n", streams.messages);
        std::fflush(streams.messages);
        return false;
    }
}

}  // namespace blockavg
