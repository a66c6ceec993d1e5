#include "run/run_transcript.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "numbers/number_format.hpp"

namespace blockavg {

namespace {

// Frames of more atoms than this (about a MiB laid out) are taken over
// whole and laid out and written a part at a time, in order: memory then
// holds one laid-out part, not a laid-out copy of the frame.
constexpr std::size_t atomsLaidOutWhole = std::size_t{1} << 14;
constexpr std::size_t partBytes = std::size_t{1} << 20;
// Lines laid out between looks at a part's size.
constexpr std::size_t linesPerLook = 1024;

// A batch closes frames of at most a few times atomsLaidOutWhole atoms in
// all; more room than this, kept for a rare batch, goes once it is used.
constexpr std::size_t atomsKeptRoomFor = std::size_t{1} << 16;

template <typename Storage>
void release(Storage& storage) noexcept {
    Storage().swap(storage);
}

// Room for `needed` elements, growing as push_back would (at least
// doubling), in one step.
template <typename Storage>
void makeRoom(Storage& storage, std::size_t needed) {
    if (needed > storage.capacity()) {
        storage.reserve(std::max(needed, 2 * storage.capacity()));
    }
}

}  // namespace

void RunTranscript::clear() noexcept {
    report_.clear();
    reportOutOfMemory_ = false;
    console_.clear();
    diagnosticCount_ = 0;
    frames_.clear();
    names_.clear();
    nameEnds_.clear();
    sums_.clear();
    labels_.clear();
    events_.clear();
    if (part_.capacity() > 2 * partBytes) {
        release(part_);
    }
    if (nameEnds_.capacity() > atomsKeptRoomFor) {
        release(names_);
        release(nameEnds_);
        release(sums_);
        release(text_);
    }
}

void RunTranscript::frameHeading(std::int64_t frameNumber) {
    report_.push_back({frameNumber, 0.0, 0, 1});
}

void RunTranscript::atomCount(std::int32_t count) {
    report_.back().count = count;
    report_.back().parts = 2;
}

void RunTranscript::boxValue(double value) {
    report_.back().box = value;
    report_.back().parts = 3;
}

// "\n# FRAME   COUNT atoms   box BOX A   " for each line, with the parts it
// has. Boxes often repeat from frame to frame (a fixed volume): the text of
// the last one is reused.
void RunTranscript::layOutReport() {
    // The longest line but its box value: two integers and the words.
    constexpr std::size_t lineWithoutBox = 3 + 20 + 3 + 11 + 9 + 4 + 5;
    makeRoom(console_, report_.size() * (lineWithoutBox + 8));
    console_.resize(console_.capacity());
    std::size_t used = 0;
    char boxText[maxFormattedNumberLength];
    std::size_t boxLength = 0;
    double lastBox = 0.0;
    bool haveBox = false;
    std::size_t line = 0;
    for (Event& event : events_) {
        for (; line < event.reportLines; ++line) {
            const ReportLine& entry = report_[line];
            if (entry.parts >= 3 &&
                (!haveBox || std::memcmp(&entry.box, &lastBox, sizeof lastBox) != 0)) {
                boxLength = static_cast<std::size_t>(formatGeneral(boxText, entry.box) - boxText);
                lastBox = entry.box;
                haveBox = true;
            }
            if (console_.size() - used < lineWithoutBox + boxLength) {
                console_.resize(2 * console_.size() + lineWithoutBox + boxLength);
            }
            char* out = console_.data() + used;
            out = std::copy_n("\n# ", 3, out);
            out = formatInteger(out, entry.frameNumber);
            out = std::copy_n("   ", 3, out);
            if (entry.parts >= 2) {
                out = formatInteger(out, entry.count);
                out = std::copy_n(" atoms   ", 9, out);
            }
            if (entry.parts >= 3) {
                out = std::copy_n("box ", 4, out);
                out = std::copy_n(boxText, boxLength, out);
                out = std::copy_n(" A   ", 5, out);
            }
            used = static_cast<std::size_t>(out - console_.data());
        }
        event.consoleEnd = used;
    }
    console_.resize(used);
}

void RunTranscript::say(std::string_view message) {
    if (diagnosticCount_ == diagnostics_.size()) {
        diagnostics_.emplace_back();
    }
    std::string& line = diagnostics_[diagnosticCount_];
    line.assign("blockavg: ");
    line.append(message);
    line.push_back('\n');
    events_.push_back({EventKind::diagnostic, report_.size(), 0, diagnosticCount_++});
}

void RunTranscript::addFrame(std::int64_t frameNumber, const AveragedFrame& frame,
                             BlockAtoms& atoms) {
    // The frame is entered once its copies are complete: memory that runs
    // out half-way leaves no frame behind to lay out.
    const std::size_t labelBegin = labels_.size();
    labels_.append(frame.stepLabel);
    if (atoms.size() > atomsLaidOutWhole) {
        frames_.push_back({frameNumber, frame, 0, atoms.size(), labelBegin});
        frames_.back().inParts = true;
        frames_.back().owned = std::move(atoms);
        atoms = BlockAtoms();
    } else {
        const std::size_t firstAtom = nameEnds_.size();
        makeRoom(names_, names_.size() + atoms.names.size());
        makeRoom(nameEnds_, firstAtom + atoms.size());
        makeRoom(sums_, sums_.size() + atoms.sums.size());
        const std::size_t base = names_.size();
        names_.append(atoms.names);
        for (const std::size_t end : atoms.nameEnds) {
            nameEnds_.push_back(base + end);
        }
        sums_.insert(sums_.end(), atoms.sums.begin(), atoms.sums.end());
        frames_.push_back({frameNumber, frame, firstAtom, atoms.size(), labelBegin});
    }
    events_.push_back({EventKind::frame, report_.size(), 0, frames_.size() - 1});
}

// The frame with its views set: of its copies, or of the storage it took.
AveragedFrame RunTranscript::viewOf(const Frame& entry) const noexcept {
    AveragedFrame frame = entry.frame;
    frame.stepLabel =
        std::string_view(labels_).substr(entry.labelBegin, entry.frame.stepLabel.size());
    if (entry.inParts) {
        frame.sums = entry.owned.sums;
        frame.names = entry.owned.names;
        frame.nameEnds = entry.owned.nameEnds;
        frame.firstNameBegin = 0;
    } else {
        frame.sums = std::span<const double>(sums_).subspan(3 * entry.firstAtom, 3 * entry.count);
        frame.names = names_;
        frame.nameEnds =
            std::span<const std::size_t>(nameEnds_).subspan(entry.firstAtom, entry.count);
        frame.firstNameBegin = entry.firstAtom == 0 ? 0 : nameEnds_[entry.firstAtom - 1];
    }
    return frame;
}

// Lays out and writes a frame taken over whole, a part at a time. False
// when a part could not be written; memory that runs out drops the parts
// written (the output keeps whole frames only) and throws.
bool RunTranscript::writeInParts(const Frame& entry, AveragedFrameWriter& writer) {
    const AveragedFrame frame = viewOf(entry);
    bool partWritten = false;
    try {
        makeRoom(part_, partBytes + 4096);
        std::size_t used = formatFrameHead(frame, part_, 0);
        for (std::size_t position = 0;;) {
            const std::size_t end = std::min(frame.count(), position + linesPerLook);
            used = formatAtomLines(frame, position, end, part_, used);
            position = end;
            const bool last = position == frame.count();
            if (last || used >= partBytes) {
                if (!writer.write(std::string_view(part_.data(), used), last)) {
                    return false;
                }
                partWritten = true;
                used = 0;
            }
            if (last) {
                return true;
            }
        }
    } catch (const std::bad_alloc&) {
        if (partWritten) {
            writer.abandonFrame();
        }
        throw;
    }
}

void RunTranscript::layOut() noexcept {
    try {
        // The report after the last event goes out at the end of the replay.
        events_.push_back({EventKind::end, report_.size(), 0, 0});
        layOutReport();
    } catch (const std::bad_alloc&) {
        reportOutOfMemory_ = true;
        return;
    }
    // Room for the lines as they are laid out most often (a name of up to
    // five bytes, numbers of up to twelve), at once.
    std::size_t usual = names_.size();
    for (const Frame& entry : frames_) {
        if (!entry.inParts) {
            usual += 64 + entry.frame.stepLabel.size() + 45 * entry.count;
        }
    }
    try {
        if (text_.size() < usual) {
            text_.resize(std::max(usual, 2 * text_.size()));
        }
    } catch (const std::bad_alloc&) {
        // Laid out as far as memory allows, below.
    }
    std::size_t used = 0;
    for (Frame& entry : frames_) {
        if (entry.inParts) {
            continue;
        }
        try {
            entry.textBegin = used;
            used = formatAveragedFrame(viewOf(entry), text_, used);
            entry.textEnd = used;
        } catch (const std::bad_alloc&) {
            entry.outOfMemory = true;
            return;
        }
    }
}

bool RunTranscript::replay(std::FILE* console, std::FILE* diagnostics, AveragedFrameWriter& writer,
                           std::string_view outputName, std::string_view inputName) {
    std::size_t written = 0;
    // The report is not the product: a console that cannot take it (a full
    // disk behind a redirection, a closed pipe) does not stop the run. It is
    // flushed at the end of a batch, before a diagnostic and before an
    // averaged frame is written, not once a line: a batch goes on as soon as
    // it holds a frame, so a live pipe is still reported frame by frame, the
    // report never lags the file (an interruption cannot flush it), and a
    // batch of many small frames costs one write instead of one a line.
    const auto writeConsole = [&](std::size_t upTo, bool flush) {
        std::fwrite(console_.data() + written, 1, upTo - written, console);
        written = upTo;
        if (flush) {
            std::fflush(console);
        }
    };
    const auto sayNow = [&](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), diagnostics);
        std::fflush(diagnostics);
    };
    if (reportOutOfMemory_) {
        const std::int64_t frame = report_.empty() ? 0 : report_.front().frameNumber;
        sayNow("blockavg: out of memory in frame " + std::to_string(frame) + " of " +
               std::string(inputName) + "\n");
        return false;
    }
    for (const Event& event : events_) {
        switch (event.kind) {
            case EventKind::end:
                writeConsole(event.consoleEnd, true);
                break;
            case EventKind::diagnostic:
                writeConsole(event.consoleEnd, true);
                sayNow(diagnostics_[event.index]);
                break;
            case EventKind::frame: {
                writeConsole(event.consoleEnd, true);
                Frame& frame = frames_[event.index];
                if (frame.outOfMemory) {
                    sayNow("blockavg: out of memory in frame " + std::to_string(frame.frameNumber) +
                           " of " + std::string(inputName) + "\n");
                    return false;
                }
                bool written = false;
                try {
                    written = frame.inParts
                                  ? writeInParts(frame, writer)
                                  : writer.write(std::string_view(text_.data() + frame.textBegin,
                                                                  frame.textEnd - frame.textBegin));
                } catch (const std::bad_alloc&) {
                    sayNow("blockavg: out of memory in frame " + std::to_string(frame.frameNumber) +
                           " of " + std::string(inputName) + "\n");
                    return false;
                }
                if (frame.inParts) {
                    // Gone once written: the frames after it may be as large.
                    frame.owned = BlockAtoms();
                }
                if (!written) {
                    sayNow("blockavg: error writing " + std::string(outputName) + ": " +
                           writer.errorMessage() + "\n");
                    return false;
                }
                break;
            }
        }
    }
    return true;
}

}  // namespace blockavg
