#pragma once

// The writer: the in-order step that puts each batch's text out, on the
// calling thread, the one thread that reports while others work.
//
// For each batch: the averaged frames, whole frames in one write, with the
// report up to the first of them before it and up to the last after it
// (for an output whose reader has each frame as it goes out, a FIFO, one
// frame a write); then the rest of the report, then the batch's messages. The start of a frame
// that a later batch ends is held back while it is small, so that a frame
// of up to a slice (a MiB) goes out in one write; a larger frame goes out
// in slices of about that size, and counts as written with its last. When
// a write fails, the report stops at the line of the first frame that was
// not written, and the output is cut back to the frames written.
//
// It also keeps the place after the last frame made wholly from text that
// has passed its checks (compressed input: ByteSource::checkedBytes()),
// where damage found later cuts the output back to. That takes no list of
// frames: the text given beyond the checked part always lies in the one
// unit being decoded in place (compression/decompressing_source.hpp), so
// once more of the text has been checked, every frame written before is.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/reporter.hpp"
#include "run/batch.hpp"

namespace blockavg {

class Writer {
public:
    Writer(ByteSink& output, std::string_view outputName, const ByteSource& input,
           std::FILE* report, Reporter& messages) noexcept
        : output_(output),
          outputName_(outputName),
          input_(input),
          report_(report),
          messages_(messages) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Writes the batch's frames, its report and its messages. False when
    // writing the output failed, which has been said.
    bool writeBatch(const Batch& batch);

    // Ends the frame whose start has been written with atom lines named
    // `name`, one for each of `sums`; the input's text ends at `textEnd`.
    bool finishFrame(std::string_view name, std::span<const Coordinates> sums,
                     std::int32_t blockLength, std::uint64_t textEnd);

    // Gives up the frame begun: the output keeps its whole frames only.
    void abandonFrame() noexcept;

    // The input was found damaged: the output is cut back to the frames
    // made from checked text, and takes no more. What it keeps, or, when
    // it cannot be cut back, what its reader got.
    struct Kept {
        std::int64_t frames = 0;
        std::int64_t unchecked = 0;  // of them, made from text that failed its check
        bool cutBack = false;
    };
    Kept cutBackToChecked() noexcept;
    // The frames written, and how many of the last of them were made from
    // text not yet checked.
    Kept framesWritten() noexcept;

private:
    bool writeFrames(const LaidOut& text);
    // Sends `bytes`, which end `ends` frames (their places in `bytes`) and
    // whose first end is frame end `firstEnd` of the batch's text.
    bool send(std::string_view bytes, std::span<const std::size_t> ends, std::size_t firstEnd);
    bool sendTogether(std::string_view bytes, std::span<const std::size_t> ends,
                      std::size_t firstEnd);
    void reportUpTo(std::size_t end) noexcept;
    void frameWritten(std::uint64_t textEnd, SinkPlace place) noexcept;

    ByteSink& output_;
    std::string_view outputName_;
    const ByteSource& input_;
    std::FILE* report_;
    Reporter& messages_;
    const LaidOut* laidOut_ = nullptr;  // the batch being written
    std::size_t reportOut_ = 0;         // how much of its report is out
    std::vector<char> begun_;           // the start of a frame that a later batch ends
    bool inSlices_ = false;             // the frame begun has gone out in slices
    std::vector<std::size_t> ends_;
    std::vector<char> missing_;  // lines that a frame cut short lacks
    std::int64_t bytesOut_ = 0;  // sent to the output
    SinkPlace latest_;           // after the last frame written
    SinkPlace checked_;          // after the last one made from checked text
    std::uint64_t checkedSeen_ = 0;
};

}  // namespace blockavg
