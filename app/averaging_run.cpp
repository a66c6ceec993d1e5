#include "app/averaging_run.hpp"

#include <new>
#include <stdexcept>
#include <utility>

#include "app/progress_report.hpp"
#include "trajectory/averaged_frame_writer.hpp"
#include "trajectory/xmol_frame_reader.hpp"

namespace blockavg {

AveragingRun::AveragingRun(std::string inputPath_, std::string outputPath_,
                           std::int32_t blockLength_, std::FILE* console_, std::FILE* diagnostics_)
    : inputPath(std::move(inputPath_)),
      outputPath(std::move(outputPath_)),
      blockLength(blockLength_),
      console(console_),
      diagnostics(diagnostics_) {}

std::string AveragingRun::inputName() const {
    return inputPath == "-" ? std::string("standard input") : inputPath;
}

// A line on the diagnostics stream, after whatever the console still holds,
// so that the two read in order where they share a terminal.
void AveragingRun::say(ProgressReport& report, const std::string& message) {
    report.flush();
    std::fprintf(diagnostics, "blockavg: %s\n", message.c_str());
    std::fflush(diagnostics);
}

int AveragingRun::run() {
    // The input is opened first, so that a mistyped path leaves an earlier
    // result in place.
    XmolFrameReader reader;
    if (!reader.open(inputPath)) {
        std::fprintf(diagnostics, "blockavg: cannot open %s: %s\n", inputName().c_str(),
                     reader.errorMessage().c_str());
        return exitFailure;
    }
    if (reader.isReading(outputPath)) {
        std::fprintf(diagnostics,
                     "blockavg: %s is the input; writing it would destroy it before it is read\n",
                     outputPath.c_str());
        return exitFailure;
    }
    AveragedFrameWriter writer;
    if (!writer.open(outputPath)) {
        std::fprintf(diagnostics, "blockavg: cannot create %s: %s\n", outputPath.c_str(),
                     writer.errorMessage().c_str());
        return exitFailure;
    }
    return run(reader, writer);
}

int AveragingRun::run(XmolFrameReader& reader, AveragedFrameWriter& writer) {
    ProgressReport report(console);

    int status = exitSuccess;
    try {
        status = readFrames(reader, writer, report);
    } catch (const std::bad_alloc&) {
        say(report, "out of memory in frame " + std::to_string(frameNumber) + " of " + inputName());
        status = exitFailure;
    }
    report.flush();

    const bool writeFailedBefore = writer.hasFailed();
    if (!writer.close() && !writeFailedBefore) {
        say(report, "error writing " + outputPath + ": " + writer.errorMessage());
        status = exitFailure;
    }
    reader.close();
    return status;
}

int AveragingRun::readFrames(XmolFrameReader& reader, AveragedFrameWriter& writer,
                             ProgressReport& report) {
    const ReadingSlots& slots = reader.slots();
    while (!reader.failed()) {
        report.frameHeading(frameNumber);

        std::int32_t count = 0;
        if (!reader.readCountLine(count)) {
            if (reader.hasReadError()) {
                break;
            }
            const std::string where =
                "line " + std::to_string(reader.lineNumber()) + " of " + inputName();
            if (reader.lastLineHasContent()) {
                say(report, "warning: " + where + " is not an atom count; stopped reading there");
            } else if (reader.hasContentAhead()) {
                say(report, "warning: " + where +
                                " is blank where an atom count belongs; stopped reading there");
            }
            break;
        }
        report.atomCount(count);
        if (!resizeAtoms(count)) {
            say(report, "cannot hold the " + std::to_string(count) + " atoms of frame " +
                            std::to_string(frameNumber) + " of " + inputName() + ": out of memory");
            return exitFailure;
        }

        reader.readCommentLine();
        report.boxValue(slots.boxValue);
        boxSum += slots.boxValue;

        // Only the last frame of a block names the atoms written: it visits
        // every position, so names from earlier frames would be overwritten.
        const bool closesBlock = frameNumber % blockLength == 0;
        for (AtomRecord& atom : atoms) {
            reader.readAtomLine();
            if (closesBlock) {
                atom.name = slots.atomName;
            }
            atom.x += slots.atomX;
            atom.y += slots.atomY;
            atom.z += slots.atomZ;
        }
        if (reader.hasReadError()) {
            break;
        }
        if (reader.failed()) {
            say(report, "warning: " + inputName() + " ends inside frame " +
                            std::to_string(frameNumber) + " of " + std::to_string(count) +
                            " atoms; its missing lines repeat earlier values");
        }

        if (closesBlock) {
            if (!writer.writeAveragedFrame(count, slots.boxTag, slots.stepLabel, boxSum,
                                           blockLength, atoms)) {
                say(report, "error writing " + outputPath + ": " + writer.errorMessage());
                return exitFailure;
            }
            closeBlock();
        }
        ++frameNumber;
    }
    if (reader.hasReadError()) {
        say(report, "error reading " + inputName() + ": " + reader.errorMessage());
        return exitFailure;
    }
    return exitSuccess;
}

bool AveragingRun::resizeAtoms(std::int32_t count) noexcept {
    if (count > atomLimit) {
        return false;
    }
    try {
        atoms.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

void AveragingRun::closeBlock() {
    boxSum = 0.0;
    for (AtomRecord& atom : atoms) {
        atom.x = 0.0;
        atom.y = 0.0;
        atom.z = 0.0;
    }
}

}  // namespace blockavg
