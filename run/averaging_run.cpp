#include "run/averaging_run.hpp"

#include <algorithm>
#include <charconv>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "host/available_memory.hpp"
#include "run/batch_layout.hpp"
#include "run/block_sums.hpp"
#include "run/pipeline.hpp"
#include "run/progress_line.hpp"
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
std::size_t batchesFor(unsigned threads) noexcept {
    return threads <= 1 ? 1 : std::size_t{threads} + 2;
}

std::size_t batchBytesFor(std::size_t batches) noexcept {
    const std::size_t share = bytesInFlight / batches / 4096 * 4096;
    return std::clamp(share, smallestBatch, largestBatch);
}

// Every thread but the first costs its stack and its share of the batches
// and units in flight: where the memory the process may still take is
// short (a tight ulimit -v), fewer threads do the work, so that a run never
// fails for want of memory where one thread would not. Measured: bzip2 and
// xz runs of 200 MB on two threads ran out of memory under ulimit -v
// between 28 and 56 MB, and passed from 16 MB up on one.
unsigned threadsMemoryAllows(unsigned threads) {
    constexpr std::uint64_t alone = std::uint64_t{48} << 20;
    constexpr std::uint64_t perThread = std::uint64_t{24} << 20;
    const std::optional<std::uint64_t> available = availableMemory();
    if (!available || threads <= 1) {
        return threads;
    }
    const std::uint64_t more = *available > alone ? (*available - alone) / perThread : 0;
    return static_cast<unsigned>(std::min<std::uint64_t>(threads, 1 + more));
}

// "1 averaged frame", "2 averaged frames".
std::string averagedFrames(std::int64_t count) {
    return std::to_string(count) + (count == 1 ? " averaged frame" : " averaged frames");
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
          progress_(settings.inputSize),
          writer_(streams.output, streams_.outputName, streams.input, streams.report,
                  streams.messages) {
        outOfMemory_.reserve(streams.inputName.size() + 64);
    }

    PipelineSteps steps();
    bool finish();

private:
    void read(Batch& batch);
    bool walk(Batch& batch);
    bool sum(Batch& batch);
    bool write(const Batch& batch) noexcept;
    bool writeFrames(const Batch& batch);
    void endEarly() noexcept;
    std::string afterFault();
    bool checkToTheStop();

    const RunStreams& streams_;
    const std::int32_t blockLength_;
    const std::size_t batchBytes_;
    const bool positional_;
    FrameWalker walker_;
    LastValues last_;
    BlockSums sums_;
    ProgressLine progress_;
    Writer writer_;
    bool failed_ = false;         // memory ran out, or the output could not be written
    bool readToEnd_ = false;      // the run was given the end of the input
    std::uint64_t textRead_ = 0;  // by the batches read in turn
    // The run stopped at a line that is no count: the input's text up to
    // there must pass its checks before the run may succeed.
    std::uint64_t checkTo_ = 0;
    std::string outOfMemory_;  // room for the message when memory runs out
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
        batch.laidOut.clear();
        layOutBatch(batch, blockLength_);
    };
    steps.write = [this](const Batch& batch) { return write(batch); };
    if (!positional_ && streams_.input.decodes()) {
        steps.decoding = &streams_.input;
    }
    return steps;
}

// Fills the batch with the input's next bytes: at its place in a regular
// file, otherwise as they come.
void AveragingRun::read(Batch& batch) {
    BatchLines& lines = batch.lines;
    const std::size_t size = headroom + batchBytes_;
    // A buffer grown for a long line goes back to its size once the line
    // has gone, so that the line costs its memory once.
    if (lines.bytes.size() < size || lines.bytes.size() > 4 * size) {
        lines.bytes.resize(size);
    }
    batch.readEnd = ReadEnd::more;
    batch.readError.clear();
    batch.textBegin = positional_ ? batch.sequence * batchBytes_ : textRead_;
    char* const into = lines.bytes.data() + headroom;
    ByteSource& input = streams_.input;
    std::size_t got = 0;
    while (got < batchBytes_) {
        std::ptrdiff_t bytes = 0;
        if (positional_) {
            bytes = input.readAt(batch.sequence * batchBytes_ + got, into + got, batchBytes_ - got);
        } else if (got > 0 && input.mayWait()) {
            // A live pipe's bytes go on once no more are there.
            bytes = input.readNow(into + got, batchBytes_ - got);
            if (bytes == ByteSource::notNow) {
                break;
            }
        } else {
            bytes = input.readSome(into + got, batchBytes_ - got);
        }
        if (bytes <= 0) {
            batch.readEnd = bytes == 0 ? ReadEnd::endOfData : ReadEnd::error;
            if (bytes < 0) {
                batch.readError = input.errorMessage();
            }
            break;
        }
        got += static_cast<std::size_t>(bytes);
    }
    lines.bytesBegin = headroom;
    lines.bytesEnd = headroom + got;
    if (!positional_) {
        textRead_ += got;
    }
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
    if (stop == InputStop::notACount || stop == InputStop::blankCountLine) {
        // The text up to the line that stops the run, and the unit it lies
        // in, must pass their checks: reading goes on to there.
        checkTo_ = batch.textBegin + batch.frames.stopEnd - batch.lines.bytesBegin;
        streams_.input.stopReading(checkTo_);
    } else if (stop != InputStop::endOfInput) {
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
    if (sums_.add(batch)) {
        return true;
    }
    if (sums_.failed()) {
        endEarly();
    }
    return false;
}

// Out of memory, in this batch's step or in writing it, is said in the
// place of all the batch had to say, in room taken at the start; the
// output keeps its whole frames.
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
    char number[24];
    const auto printed = std::to_chars(number, number + sizeof number, batch.firstFrame);
    outOfMemory_.assign("cannot hold frame ");
    outOfMemory_.append(number, printed.ptr);
    outOfMemory_.append(" of ").append(streams_.inputName).append(": out of memory");
    streams_.messages.error(outOfMemory_);
    endEarly();
    return false;
}

bool AveragingRun::writeFrames(const Batch& batch) {
    const SummedBatch& summed = batch.summed;
    const BatchLines& lines = batch.lines;
    if (!writer_.writeBatch(batch) ||
        (summed.missingTo > summed.missingFrom &&
         !writer_.finishFrame(
             summed.missingName,
             sums_.sums().subspan(summed.missingFrom, summed.missingTo - summed.missingFrom),
             blockLength_, batch.textBegin + lines.bytesEnd - lines.bytesBegin))) {
        failed_ = true;
        endEarly();
        return false;
    }
    if (batch.frames.stop == InputStop::readError) {
        // The input could not be read, or a line was too long to hold.
        const bool input = batch.readEnd == ReadEnd::error && batch.frames.error == batch.readError;
        streams_.messages.error("error reading " + streams_.inputName + ": " + batch.frames.error +
                                (input ? afterFault() : std::string()));
    }
    // The input was read to its end: what was passed over after it may be
    // told. Decided here, by the last batch written, as neither threads
    // nor the way the bytes came can change.
    readToEnd_ = readToEnd_ || batch.frames.stop == InputStop::endOfInput;
    if (streams_.messages.showsProgress()) {
        const std::string_view line =
            progress_.update(streams_.input.bytesTaken(), batch.frames.nextFrame - 1);
        if (!line.empty()) {
            streams_.messages.progress(line);
        }
    }
    return true;
}

// What the output keeps after the input failed: damaged input cuts it back
// to the frames made from checked text; otherwise it keeps its frames, and
// those made from text whose check never came are told.
std::string AveragingRun::afterFault() {
    const std::string& output = streams_.outputName;
    if (streams_.input.damaged()) {
        const Writer::Kept kept = writer_.cutBackToChecked();
        if (kept.cutBack) {
            return "; " + output + " holds " +
                   (kept.frames == 0 ? std::string("no averaged frames")
                                     : "the " +
                                           (kept.frames == 1 ? std::string("averaged frame")
                                                             : averagedFrames(kept.frames)) +
                                           " made before it");
        }
        return "; the reader of " + output + " got " + averagedFrames(kept.frames) +
               (kept.unchecked > 0
                    ? ", the last " + std::to_string(kept.unchecked) + " made from it"
                    : std::string());
    }
    const Writer::Kept kept = writer_.framesWritten();
    if (kept.unchecked == 0) {
        return {};
    }
    return "; " + std::string(kept.unchecked == kept.frames ? "all " : "the last ") +
           std::to_string(kept.unchecked) + " of the " + averagedFrames(kept.frames) + " in " +
           output + " come from data that could not be checked";
}

// A run that has ended early waits for no producer: a read waiting on a
// pipe returns, and reading ends.
void AveragingRun::endEarly() noexcept { streams_.input.stopReading(); }

// A run that stopped at a line that is no count reads on until the text up
// to that line has passed its checks: the line may come from damage.
bool AveragingRun::checkToTheStop() {
    ByteSource& input = streams_.input;
    if (checkTo_ == 0 || input.checkedBytes() >= checkTo_) {
        return true;
    }
    std::vector<char> buffer(std::size_t{1} << 16);
    std::ptrdiff_t got = 1;
    while (input.checkedBytes() < checkTo_ && got > 0) {
        got = input.readSome(buffer.data(), buffer.size());
    }
    if (input.checkedBytes() >= checkTo_) {
        return true;
    }
    streams_.messages.error("error reading " + streams_.inputName + ": " + input.errorMessage() +
                            afterFault());
    return false;
}

// After the last batch: a compressed input that stopped early is checked up
// to the stop; then the notes of a run that went well.
bool AveragingRun::finish() {
    std::fflush(streams_.report);
    streams_.messages.endProgress();
    const bool checked = sums_.failed() || failed_ || checkToTheStop();
    streams_.input.stopReading();
    // A frame begun and not ended (the run failed) is not kept.
    writer_.abandonFrame();
    const bool succeeded = !sums_.failed() && !failed_ && checked;
    if (succeeded) {
        const std::string note = leftOverNote(sums_.framesRead(), blockLength_, streams_);
        if (!note.empty()) {
            streams_.messages.note(note);
        }
    }
    // What was passed over after the input's end (bytes after the last
    // gzip member), once the run has been given that end.
    const std::string endNote = readToEnd_ ? streams_.input.endNote() : std::string();
    if (!endNote.empty()) {
        streams_.messages.warning(streams_.inputName + " " + endNote);
    }
    return succeeded;
}

}  // namespace

bool averageTrajectory(const RunStreams& streams, const RunSettings& settings, RunTimes* times) {
    const unsigned threads = threadsMemoryAllows(std::max(settings.threads, 1u));
    std::vector<Batch> batches(batchesFor(threads));
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
}

}  // namespace blockavg
