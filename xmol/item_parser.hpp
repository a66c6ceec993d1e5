#pragma once

// The items of a batch's comment and atom lines, read on any thread:
//
//   comment line   word, step label, word, box tag, box value
//   atom line      name, x, y, z
//
// An item that cannot be read, and every item after it on its line, takes
// the value read before it in the batch. One that fails before any value
// was read in the batch stays open: LastValues gives it the value held
// from the batches before (xmol/last_values.hpp).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xmol/batch_lines.hpp"
#include "xmol/coordinates.hpp"
#include "xmol/frame_walker.hpp"

namespace blockavg {

struct CommentItems {
    std::string_view stepLabel;
    std::string_view boxTag;
    double boxValue = 0.0;
};

// How many of a batch's first items of each kind failed with nothing read
// before them in the batch.
struct OpenItems {
    std::uint32_t stepLabels = 0;  // of `comments`
    std::uint32_t boxTags = 0;
    std::uint32_t boxValues = 0;
    std::uint32_t names = 0;  // of `names`
    std::uint32_t x = 0;      // of `atoms`
    std::uint32_t y = 0;
    std::uint32_t z = 0;
    bool atomName = true;  // no name at all was read in the batch
};

struct BatchItems {
    std::vector<CommentItems> comments;   // one per frame that starts in the batch
    std::vector<Coordinates> atoms;       // one per atom line, in line order
    std::vector<std::string_view> names;  // one per atom line of a block-closing frame
    OpenItems open;
    std::string_view lastName;  // the batch's last name read, unless open.atomName
    // Where LastValues puts the values an open item takes, for the views.
    std::string heldStepLabel;
    std::string heldBoxTag;
    std::string heldName;
};

// Reads the items of the batch's frames. Throws std::bad_alloc when the
// items cannot be held.
void parseItems(const BatchLines& lines, const BatchFrames& frames, BatchItems& items);

}  // namespace blockavg
