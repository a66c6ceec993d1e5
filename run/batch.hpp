#pragma once

// One batch of input on its way through the run, in the forms the steps
// give it, one after another:
//
//   lines    the bytes read and where their lines end (pool), with the line
//            that earlier batches began put in front (frame walker);
//   frames   the part of each frame that lies in the batch (frame walker);
//   items    the comment and atom items of those frames (pool), the open
//            ones given the values held before the batch (LastValues); for
//            a frame that closes a block, its atoms' coordinates are turned
//            into the block's sums as they are added (BlockSums);
//   summed   what summing found: the heads of the averaged frames the batch
//            begins, how far it got, the messages it has to give;
//   text     the report lines and the averaged frames laid out (pool).
//
// The batch's sequence number is its place in the input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/reporter.hpp"
#include "xmol/averaged_frame_layout.hpp"
#include "xmol/batch_lines.hpp"
#include "xmol/frame_walker.hpp"
#include "xmol/item_parser.hpp"

namespace blockavg {

// What summing a batch found.
struct SummedBatch {
    std::vector<FrameHead> heads;  // one per block-closing frame that starts in the batch
    std::size_t pieces = 0;        // the pieces summed: all, unless the run ended at one
    bool lastCountOnly = false;    // the piece after them is reported with its count only
    bool abandonsFrame = false;    // the input broke off a block-closing frame
    // The positions of a block-closing frame that the input ended inside:
    // its missing lines, laid out from the sums once the batch is written,
    // with the name they read as.
    std::size_t missingFrom = 0;
    std::size_t missingTo = 0;
    std::string_view missingName;
    std::vector<Message> messages;  // reported once the batch's frames are written

    void clear() noexcept {
        heads.clear();
        pieces = 0;
        lastCountOnly = false;
        abandonsFrame = false;
        missingFrom = missingTo = 0;
        missingName = {};
        messages.clear();
    }
};

// The batch's text: its report lines, and its averaged frames or slices of
// them.
struct LaidOut {
    std::vector<char> report;
    std::size_t reportSize = 0;
    std::vector<char> frames;
    std::size_t framesSize = 0;
    std::vector<std::size_t> frameEnds;  // where averaged frames end in `frames`
    // For each, where the text it was made from ends in the input's text.
    std::vector<std::uint64_t> frameTextEnds;
    // For each frame end, then for the frame begun after the last: how much
    // of the report must be out before that frame counts as written (its
    // own report line, when it starts in this batch).
    std::vector<std::size_t> reportBefore;

    void clear() noexcept {
        reportSize = 0;
        framesSize = 0;
        frameEnds.clear();
        frameTextEnds.clear();
        reportBefore.clear();
    }
};

// Aligned to a cache line: neighbouring batches are worked on by different
// threads at once.
struct alignas(64) Batch {
    std::uint64_t sequence = 0;
    std::int64_t firstFrame = 0;  // the number of the frame being read when the batch begins
    std::uint64_t textBegin = 0;  // where its bytes begin in the input's text
    BatchLines lines;
    ReadEnd readEnd = ReadEnd::more;
    std::string readError;
    BatchFrames frames;
    BatchItems items;
    SummedBatch summed;
    LaidOut laidOut;
    bool outOfMemory = false;  // a step could not have the memory it needed (run/pipeline.hpp)
};

}  // namespace blockavg
