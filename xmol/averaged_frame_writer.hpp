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
// A large frame is laid out and written in parts of about a MiB instead
// (formatFrameHead, then formatAtomLines range by range), which the output
// counts as one frame once the last is out.

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
    std::span<const double> sums;  // x, y and z of each position: 3 * the count
    // The positions' names, one after another in `names`: position i's ends
    // at nameEnds[i] and begins where the one before ends (the first at
    // firstNameBegin).
    std::string_view names;
    std::span<const std::size_t> nameEnds;
    std::size_t firstNameBegin = 0;

    std::size_t count() const noexcept { return nameEnds.size(); }
};

// Lays out `frame` in `buffer` from byte `at` on, growing the buffer as
// needed; returns where the frame ends. Safe on any thread. Throws
// std::bad_alloc when the buffer cannot grow.
std::size_t formatAveragedFrame(const AveragedFrame& frame, std::vector<char>& buffer,
                                std::size_t at);

// The same in parts: the count and comment lines, then the atom lines of
// positions [first, end).
std::size_t formatFrameHead(const AveragedFrame& frame, std::vector<char>& buffer, std::size_t at);
std::size_t formatAtomLines(const AveragedFrame& frame, std::size_t first, std::size_t end,
                            std::vector<char>& buffer, std::size_t at);

class AveragedFrameWriter {
public:
    explicit AveragedFrameWriter(ByteSink& sink) noexcept : sink_(sink) {}

    // Whether the next frame in output order, of `atomCount` atoms, has its
    // box averages in fixed notation: the number format persists from frame
    // to frame, and every atom line leaves it fixed.
    bool takeBoxNotation(std::size_t atomCount) noexcept;

    // Writes one laid-out frame, or part of one (`endsFrame` false), in one
    // write where the system allows it. False on failure, with
    // errorMessage() telling why: the output then holds whole frames only.
    bool write(std::string_view bytes, bool endsFrame = true);
    // Drops the parts written of a frame that will not be ended.
    void abandonFrame() noexcept { sink_.abandonFrame(); }
    std::string errorMessage() const { return sink_.errorMessage(); }

private:
    ByteSink& sink_;
    bool fixedNotation_ = false;
};

}  // namespace blockavg
