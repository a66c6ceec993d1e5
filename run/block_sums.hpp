#pragma once

// The sums of the block being averaged, and the frame loop that adds each
// batch's atoms into them, batch after batch in input order, with the same
// additions in the same order whatever the batches. Atoms are matched
// between frames by their position; when the count changes, positions
// below the new count keep their sums, the others are dropped, and new
// ones start from zero. Every blockLength frames a block closes: as the
// closing frame's atoms are added, each position's sum goes into the
// batch's items in place of the coordinates read, and the position starts
// again from zero, so that the averaged frame is laid out from the batch
// itself.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "run/batch.hpp"
#include "xmol/averaged_frame_layout.hpp"

namespace blockavg {

class BlockSums {
public:
    BlockSums(std::int32_t blockLength, std::string_view inputName)
        : blockLength_(blockLength), inputName_(inputName) {}
    BlockSums(const BlockSums&) = delete;
    BlockSums& operator=(const BlockSums&) = delete;

    // Adds the batch's frames, whose items have been resolved (LastValues),
    // and fills in batch.summed. False once the run ends in this batch: at
    // the end of the input, at a stop, or on an error.
    bool add(Batch& batch);

    // The input could not be read, or a frame could not be held.
    bool failed() const noexcept { return failed_; }
    // The run stopped at a count line, with input left unread.
    bool stoppedEarly() const noexcept { return stoppedEarly_; }
    // The frames read to their end, or to the end of the input.
    std::int64_t framesRead() const noexcept { return framesRead_; }
    // The sums of each position: for a frame that the input ended inside,
    // those of its missing lines are its averages once summed.
    std::span<const Coordinates> sums() const noexcept { return sums_; }

private:
    bool holdAtoms(const FramePiece& piece, SummedBatch& summed);
    void stop(const BatchFrames& frames, SummedBatch& summed);
    std::string input() const { return std::string(inputName_); }

    std::int32_t blockLength_;
    std::string_view inputName_;
    std::vector<Coordinates> sums_;
    double boxSum_ = 0.0;
    BoxNotation notation_;
    std::size_t position_ = 0;  // the next atom position of the frame being summed
    std::int64_t framesRead_ = 0;
    bool failed_ = false;
    bool stoppedEarly_ = false;
};

}  // namespace blockavg
