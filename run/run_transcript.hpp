#pragma once

// What the run has to say about one batch of input, in the order it must be
// said: the progress report for the console, errors and warnings, and the
// averaged frames for the output file. The run records it while it sums the
// batch, as values; the report and the frames are laid out as text on any
// thread (layOut); then replay() says it all,
// batch after batch, so that what reaches the console, the diagnostics and
// the file is the same however many threads did the work.
//
// The progress report is one line per frame:
//
//   # FRAME   COUNT atoms   box BOX A
//
// each opened by a line feed that ends the line before; the console is
// flushed at the end of the batch and before every diagnostic and every
// averaged frame.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "run/block_atoms.hpp"
#include "xmol/averaged_frame_writer.hpp"

namespace blockavg {

class RunTranscript {
public:
    void clear() noexcept;

    // The progress report.
    void frameHeading(std::int64_t frameNumber);
    void atomCount(std::int32_t count);
    void boxValue(double value);

    // An error or warning line, "blockavg: " and the message.
    void say(std::string_view message);

    // An averaged frame, closed by frame `frameNumber`, whose names and sums
    // are those of `atoms`: a copy of them, in storage that is reused from
    // batch to batch, or for a large frame the storage itself (`atoms` is
    // left with no positions); such a frame is laid out by replay(), a part
    // of about a MiB at a time.
    void addFrame(std::int64_t frameNumber, const AveragedFrame& frame, BlockAtoms& atoms);

    // Lays out the report and the averaged frames. Safe on any thread.
    // Memory that runs out stops the replay there, with a message.
    void layOut() noexcept;

    // Writes it all out: the report to `console`, messages to
    // `diagnostics`, frames through `writer`. False when writing a frame
    // failed or memory ran out (the reason has been said then); nothing
    // after that is written.
    bool replay(std::FILE* console, std::FILE* diagnostics, AveragedFrameWriter& writer,
                std::string_view outputName, std::string_view inputName);

private:
    // One line of the report: its parts up to `parts` (1: the frame
    // heading, 2: and the atom count, 3: and the box value). A line is
    // complete before any event is recorded after it.
    struct ReportLine {
        std::int64_t frameNumber;
        double box;
        std::int32_t count;
        std::uint8_t parts;
    };

    enum class EventKind { diagnostic, frame, end };
    struct Event {
        EventKind kind;
        std::size_t reportLines;  // the report lines that come before the event
        std::size_t consoleEnd;   // their end in console_, once laid out
        std::size_t index;        // of the diagnostic or the frame
    };
    // An averaged frame: its names in names_ (ending at nameEnds_), its sums
    // in sums_, its step label in labels_, its laid-out bytes in text_.
    struct Frame {
        std::int64_t frameNumber;
        AveragedFrame frame;  // its views: viewOf()
        std::size_t firstAtom;
        std::size_t count;
        std::size_t labelBegin;
        std::size_t textBegin = 0;
        std::size_t textEnd = 0;
        bool outOfMemory = false;
        bool inParts = false;  // its storage taken over, in `owned`
        BlockAtoms owned{};
    };

    AveragedFrame viewOf(const Frame& entry) const noexcept;
    bool writeInParts(const Frame& entry, AveragedFrameWriter& writer);

    void layOutReport();

    std::vector<ReportLine> report_;
    bool reportOutOfMemory_ = false;
    std::string console_;
    std::vector<std::string> diagnostics_;
    std::size_t diagnosticCount_ = 0;
    std::vector<Frame> frames_;
    std::string names_;
    std::vector<std::size_t> nameEnds_;
    std::vector<double> sums_;
    std::string labels_;
    std::vector<char> text_;
    std::vector<char> part_;  // a part of a frame written in parts
    std::vector<Event> events_;
};

}  // namespace blockavg
