#include "xmol/last_values.hpp"

#include <algorithm>

namespace blockavg {
namespace {

// A copy of `value` for the batch's views, in storage that gives back what
// a very long value made it take.
void hold(std::string& storage, std::string_view value) {
    storage.assign(value);
    if (storage.capacity() > 2 * storage.size() + 4096) {
        storage.shrink_to_fit();
    }
}

}  // namespace

void LastValues::resolve(BatchItems& items) {
    const OpenItems& open = items.open;
    // The open items first: the views go to copies in the batch, which
    // lives as long as they do.
    if (open.stepLabels > 0) {
        hold(items.heldStepLabel, stepLabel_);
    }
    if (open.boxTags > 0) {
        hold(items.heldBoxTag, boxTag_);
    }
    for (std::uint32_t frame = 0; frame < open.stepLabels; ++frame) {
        items.comments[frame].stepLabel = items.heldStepLabel;
    }
    for (std::uint32_t frame = 0; frame < open.boxTags; ++frame) {
        items.comments[frame].boxTag = items.heldBoxTag;
    }
    for (std::uint32_t frame = 0; frame < open.boxValues; ++frame) {
        items.comments[frame].boxValue = boxValue_;
    }
    if (open.names > 0) {
        hold(items.heldName, atomName_);
        std::fill_n(items.names.begin(), open.names, std::string_view(items.heldName));
    }
    for (std::uint32_t index = 0; index < open.x; ++index) {
        items.atoms[index].x = atom_.x;
    }
    for (std::uint32_t index = 0; index < open.y; ++index) {
        items.atoms[index].y = atom_.y;
    }
    for (std::uint32_t index = 0; index < open.z; ++index) {
        items.atoms[index].z = atom_.z;
    }

    // Then what the batch read last.
    const auto frames = static_cast<std::uint32_t>(items.comments.size());
    const auto atoms = static_cast<std::uint32_t>(items.atoms.size());
    if (frames > 0) {
        const CommentItems& last = items.comments.back();
        stepLabel_.assign(last.stepLabel);
        boxTag_.assign(last.boxTag);
        boxValue_ = last.boxValue;
    }
    if (!open.atomName) {
        atomName_.assign(items.lastName);
    }
    if (atoms > 0) {
        atom_ = items.atoms.back();
    }
}

}  // namespace blockavg
