#include "run/averaging_run.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/available_memory.hpp"
#include "run/batch_pipeline.hpp"
#include "run/block_atoms.hpp"
#include "run/run_transcript.hpp"
#include "xmol/averaged_frame_writer.hpp"
#include "xmol/xmol_frame_reader.hpp"

namespace blockavg {
namespace {

// What the run holds per atom of its largest frame, in bytes: its sums and
// the end of its name (32) and the name, and the same again in the frame
// handed over to be written, which is laid out a part at a time.
constexpr std::uint64_t bytesPerAtom = 80;

// A size for messages, in binary units with one decimal ("5.2 GiB").
std::string humanSize(std::uint64_t bytes) {
    if (bytes < 1024) {
        return std::to_string(bytes) + " bytes";
    }
    constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1023.95 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

// The sums since the last averaged frame, and the frame loop that adds to
// them: it takes the reader's outcomes in input order.
class BlockSums {
public:
    BlockSums(std::int32_t blockLength, std::string_view inputName, AveragedFrameWriter& writer)
        : blockLength_(blockLength), inputName_(inputName), writer_(writer) {}

    // Adds the batch's outcomes, recording what they say in `transcript`.
    // False once the run ends: at its last outcome, or on an error.
    bool add(const FrameBatch& batch, RunTranscript& transcript);

    // The input could not be read, or memory ran out.
    bool failed() const noexcept { return failed_; }
    // The run stopped at a count line, with input left unread.
    bool stoppedEarly() const noexcept { return stoppedEarly_; }
    // Memory ran out even for the message that says so.
    bool messageLost() const noexcept { return messageLost_; }
    // The frames read to their end (or to the end of the input).
    std::int64_t framesRead() const noexcept { return frameNumber_ - 1; }

    void outOfMemory(RunTranscript& transcript) noexcept {
        failed_ = true;
        try {
            transcript.say("out of memory in frame " + std::to_string(frameNumber_) + " of " +
                           std::string(inputName_));
        } catch (const std::bad_alloc&) {
            messageLost_ = true;
        }
    }

private:
    bool startFrame(const FrameOutcome& outcome, RunTranscript& transcript);
    void addAtoms(const FrameBatch& batch, const FrameOutcome& outcome);
    bool endFrame(const FrameBatch& batch, const FrameOutcome& outcome, RunTranscript& transcript);
    void closeBlock(RunTranscript& transcript);
    bool resizeAtoms(std::int32_t count) noexcept;
    std::string where() const { return std::string(inputName_); }

    std::int32_t blockLength_;
    std::string_view inputName_;
    AveragedFrameWriter& writer_;
    std::int64_t frameNumber_ = 1;
    double boxSum_ = 0.0;
    BlockAtoms atoms_;
    bool failed_ = false;
    bool messageLost_ = false;
    bool stoppedEarly_ = false;

    // The frame being read.
    std::int32_t count_ = 0;
    std::size_t position_ = 0;  // its next atom position
    bool closesBlock_ = false;
    bool hasBox_ = false;
    std::string stepLabel_;
};

bool BlockSums::add(const FrameBatch& batch, RunTranscript& transcript) {
    for (const FrameOutcome& outcome : batch.outcomes()) {
        switch (outcome.kind) {
            case OutcomeKind::frame:
                if (!startFrame(outcome, transcript)) {
                    return false;
                }
                [[fallthrough]];
            case OutcomeKind::moreAtoms:
                addAtoms(batch, outcome);
                if (outcome.ending != FrameEnding::continues &&
                    !endFrame(batch, outcome, transcript)) {
                    return false;
                }
                break;
            case OutcomeKind::endOfInput:
                transcript.frameHeading(frameNumber_);
                return false;
            case OutcomeKind::notACount:
                stoppedEarly_ = true;
                transcript.frameHeading(frameNumber_);
                transcript.say("warning: line " + std::to_string(outcome.lineNumber) + " of " +
                               where() + " is not an atom count; stopped reading there");
                return false;
            case OutcomeKind::blankCountLine:
                stoppedEarly_ = true;
                transcript.frameHeading(frameNumber_);
                transcript.say("warning: line " + std::to_string(outcome.lineNumber) + " of " +
                               where() +
                               " is blank where an atom count belongs; stopped reading there");
                return false;
            case OutcomeKind::readError:
                transcript.frameHeading(frameNumber_);
                transcript.say("error reading " + where() + ": " + batch.errorMessage());
                failed_ = true;
                return false;
        }
    }
    return true;
}

bool BlockSums::startFrame(const FrameOutcome& outcome, RunTranscript& transcript) {
    transcript.frameHeading(frameNumber_);
    transcript.atomCount(outcome.count);
    // More atoms than memory can take (a damaged count line, most often)
    // stop the run before they are held: a memory cgroup would otherwise
    // kill the process, without a word, once the pages are touched.
    const auto count = static_cast<std::size_t>(outcome.count);
    if (count > atoms_.size()) {
        const std::uint64_t needs = (count - atoms_.size()) * bytesPerAtom;
        const std::optional<std::uint64_t> available = availableMemory();
        if (available && needs > *available) {
            transcript.say("cannot hold the " + std::to_string(outcome.count) + " atoms of frame " +
                           std::to_string(frameNumber_) + " of " + where() + ": needs " +
                           humanSize(needs) + ", " + humanSize(*available) + " available");
            failed_ = true;
            return false;
        }
    }
    // Only the last frame of a block names the atoms written: it visits
    // every position, in order.
    closesBlock_ = frameNumber_ % blockLength_ == 0;
    if (!resizeAtoms(outcome.count)) {
        transcript.say("cannot hold the " + std::to_string(outcome.count) + " atoms of frame " +
                       std::to_string(frameNumber_) + " of " + where() + ": out of memory");
        failed_ = true;
        return false;
    }
    transcript.boxValue(outcome.boxValue);
    boxSum_ += outcome.boxValue;
    count_ = outcome.count;
    position_ = 0;
    if (closesBlock_) {
        hasBox_ = outcome.boxTag == "BOX:";
        stepLabel_.assign(outcome.stepLabel);
    }
    return true;
}

void BlockSums::addAtoms(const FrameBatch& batch, const FrameOutcome& outcome) {
    const std::span<const AtomItems> items = batch.atoms(outcome);
    double* const sums = atoms_.sums.data() + 3 * position_;
    for (std::size_t index = 0; index < items.size(); ++index) {
        sums[3 * index] += items[index].x;
        sums[3 * index + 1] += items[index].y;
        sums[3 * index + 2] += items[index].z;
    }
    if (closesBlock_) {
        for (const std::string_view name : batch.names(outcome)) {
            atoms_.names.append(name);
            atoms_.nameEnds.push_back(atoms_.names.size());
        }
    }
    position_ += items.size();
}

bool BlockSums::endFrame(const FrameBatch& batch, const FrameOutcome& outcome,
                         RunTranscript& transcript) {
    if (outcome.ending == FrameEnding::readError) {
        transcript.say("error reading " + where() + ": " + batch.errorMessage());
        failed_ = true;
        return false;
    }
    if (outcome.ending == FrameEnding::inputEnded) {
        // The missing lines read as empty lines: every item keeps its value.
        const SlotValues& last = batch.last();
        for (std::size_t position = position_; position < atoms_.size(); ++position) {
            double* const sums = atoms_.sums.data() + 3 * position;
            sums[0] += last.atomX;
            sums[1] += last.atomY;
            sums[2] += last.atomZ;
            if (closesBlock_) {
                atoms_.names.append(last.atomName);
                atoms_.nameEnds.push_back(atoms_.names.size());
            }
        }
        transcript.say("warning: " + where() + " ends inside frame " +
                       std::to_string(frameNumber_) + " of " + std::to_string(count_) +
                       " atoms; its missing lines repeat earlier values");
    }
    if (closesBlock_) {
        closeBlock(transcript);
    }
    ++frameNumber_;
    return outcome.ending == FrameEnding::complete;
}

// Hands the sums over as an averaged frame and starts the next block from
// zero: the transcript copies them, or takes them whole (a large frame), in
// which case the next frame starts from no positions.
void BlockSums::closeBlock(RunTranscript& transcript) {
    AveragedFrame frame;
    frame.hasBox = hasBox_;
    frame.stepLabel = stepLabel_;
    frame.boxSum = boxSum_;
    frame.blockLength = blockLength_;
    frame.boxInFixedNotation = writer_.takeBoxNotation(atoms_.size());
    transcript.addFrame(frameNumber_, frame, atoms_);

    boxSum_ = 0.0;
    std::fill(atoms_.sums.begin(), atoms_.sums.end(), 0.0);
}

bool BlockSums::resizeAtoms(std::int32_t count) noexcept {
    try {
        const auto positions = static_cast<std::size_t>(count);
        atoms_.sums.resize(3 * positions);
        if (closesBlock_) {
            atoms_.names.clear();
            atoms_.nameEnds.clear();
            atoms_.nameEnds.reserve(positions);
        }
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

// A compressed file whose text stopped early is read on to its end, so that
// damage that made the stop (a changed byte that made a count line) is
// found: false, with the error said, when it is. Not a pipe: its producer
// may keep it open for hours.
bool readsOnAfterAStop(const ByteSource& input) {
    return input.checksItsBytes() && !input.mayWait();
}

bool readToTheEnd(const RunStreams& streams) {
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
        const std::ptrdiff_t got = streams.input.readSome(buffer.data(), buffer.size());
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            std::fprintf(streams.diagnostics, "blockavg: error reading %s: %s\n",
                         streams.inputName.c_str(), streams.input.errorMessage().c_str());
            std::fflush(streams.diagnostics);
            return false;
        }
    }
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

// One batch on its way through the pipeline.
struct Slot {
    FrameBatch batch;
    bool readOutOfMemory = false;
    RunTranscript transcript;
};

bool runSteps(const RunStreams& streams, const RunSettings& settings, RunTimes* times) {
    XmolFrameReader reader(streams.input);
    AveragedFrameWriter writer(streams.output);
    BlockSums sums(settings.blockLength, streams.inputName, writer);
    bool writeFailed = false;
    bool writeMessageLost = false;

    // With one thread a single slot does: each batch goes all the way
    // before the next is read. With more, one batch per thread and two
    // more keep every thread busy (as fast as twice that many on two
    // cores, and the same peak memory on 10 MB as on 1 GB).
    const unsigned threads = std::max(settings.threads, 1u);
    std::vector<Slot> slots(threads == 1 ? 1 : std::size_t{threads} + 2);

    // Reading that may wait on a pipe runs never on the thread that writes,
    // so that every averaged frame reaches the file as soon as it is
    // complete; reading a file runs on any thread.
    const StepThreads readers = streams.input.mayWait() ? StepThreads::others : StepThreads::any;
    const std::vector<PipelineStep> steps = {
        {true, readers,
         [&](std::size_t slot) {
             Slot& s = slots[slot];
             s.readOutOfMemory = false;
             try {
                 return reader.readBatch(s.batch);
             } catch (const std::bad_alloc&) {
                 s.readOutOfMemory = true;
                 return false;
             }
         }},
        {false, StepThreads::any,
         [&](std::size_t slot) {
             // A batch that memory could not hold goes on only to say so.
             if (!slots[slot].readOutOfMemory) {
                 XmolFrameReader::parseBatch(slots[slot].batch);
             }
             return true;
         }},
        {true, StepThreads::any,
         [&](std::size_t slot) {
             Slot& s = slots[slot];
             s.transcript.clear();
             try {
                 if (s.readOutOfMemory || s.batch.outOfMemory()) {
                     throw std::bad_alloc();
                 }
                 reader.resolve(s.batch);
                 if (sums.add(s.batch, s.transcript)) {
                     return true;
                 }
             } catch (const std::bad_alloc&) {
                 sums.outOfMemory(s.transcript);
             }
             // A run that has ended waits for no producer: a read waiting
             // on a pipe returns, and its batch goes no further.
             if (sums.failed() || (sums.stoppedEarly() && !readsOnAfterAStop(streams.input))) {
                 streams.input.stopReading();
             }
             return false;
         }},
        {false, StepThreads::any,
         [&](std::size_t slot) {
             slots[slot].transcript.layOut();
             return true;
         }},
        // Writing takes the signals that interrupt a run (see
        // io/interruption.hpp): on the calling thread only.
        {true, StepThreads::calling,
         [&](std::size_t slot) {
             try {
                 if (slots[slot].transcript.replay(streams.console, streams.diagnostics, writer,
                                                   streams.outputName, streams.inputName)) {
                     return true;
                 }
             } catch (const std::bad_alloc&) {
                 writeMessageLost = true;
             }
             writeFailed = true;
             streams.input.stopReading();
             return false;
         }},
    };
    const std::vector<double> seconds = runPipeline(steps, slots.size(), threads);
    if (times != nullptr) {
        *times = {seconds[0], seconds[1], seconds[2], seconds[3], seconds[4]};
    }
    std::fflush(streams.console);
    bool damaged = false;
    if (sums.stoppedEarly() && !sums.failed() && !writeFailed && readsOnAfterAStop(streams.input)) {
        damaged = !readToTheEnd(streams);
    }
    // Nothing more is read: a thread reading ahead ends at once.
    streams.input.stopReading();
    if (sums.messageLost() || writeMessageLost) {
        // A message that needs no memory.
        std::fputs("blockavg: out of memory\n", streams.diagnostics);
        std::fflush(streams.diagnostics);
    }
    const bool succeeded = !sums.failed() && !writeFailed && !damaged;
    if (succeeded) {
        const std::string note = leftOverNote(sums.framesRead(), settings.blockLength, streams);
        if (!note.empty()) {
            std::fprintf(streams.diagnostics, "blockavg: note: %s\n", note.c_str());
            std::fflush(streams.diagnostics);
        }
    }
    return succeeded;
}

}  // namespace

bool averageTrajectory(const RunStreams& streams, const RunSettings& settings, RunTimes* times) {
    try {
        return runSteps(streams, settings, times);
    } catch (const std::bad_alloc&) {
        // Memory ran out before the first batch: nothing was read or written.
        std::fputs("blockavg: out of memory\n", streams.diagnostics);
        std::fflush(streams.diagnostics);
        return false;
    }
}

}  // namespace blockavg
