#pragma once

// Writes averaged frames in this tool's own XMOL layout:
//
//   count
//    after         STEP steps,  BOX:  A A A      (empty unless the tag is "BOX:")
//   NAME XXXXXXXXXXXX YYYYYYYYYYYY ZZZZZZZZZZZZ  (name width 5, numbers width 12)
//
// Atom coordinates are in fixed notation with 6 decimals (%.6f). The box
// averages follow the writer's persistent number format: general notation
// (%g) until the first atom line of the run has been written, fixed after.
//
// Frames are laid out on any thread (formatAveragedFrame) and written in
// order, each in one write, so that a reader of the file sees whole frames.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_sink.hpp"

namespace blockavg {

// One frame of averages, as the run hands it over: every sum is divided by
// blockLength (at least 1) when the frame is laid out.
struct AveragedFrame {
    bool hasBox = false;  // the box tag was exactly "BOX:"
    std::string_view stepLabel;
    double boxSum = 0.0;
    std::int32_t blockLength = 1;
    bool boxInFixedNotation = false;
    std::span<const std::string_view> names;  // one per atom position: the count
    std::span<const double> sums;             // x, y and z of each position
};

// Lays out `frame` in `buffer` from byte `at` on, growing the buffer as
// needed; returns where the frame ends. Safe on any thread. Throws
// std::bad_alloc when the buffer cannot grow.
std::size_t formatAveragedFrame(const AveragedFrame& frame, std::vector<char>& buffer,
                                std::size_t at);

class AveragedFrameWriter {
public:
    explicit AveragedFrameWriter(ByteSink& sink) noexcept : sink_(sink) {}

    // Whether the next frame in output order, of `atomCount` atoms, has its
    // box averages in fixed notation: the number format persists from frame
    // to frame, and every atom line leaves it fixed.
    bool takeBoxNotation(std::size_t atomCount) noexcept;

    // Writes one laid-out frame, in one write where the system allows it.
    // False on failure, with errorMessage() telling why.
    bool write(std::string_view frame);
    std::string errorMessage() const { return sink_.errorMessage(); }

private:
    ByteSink& sink_;
    bool fixedNotation_ = false;
};

}  // namespace blockavg
