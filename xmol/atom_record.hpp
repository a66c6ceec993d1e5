#pragma once

#include <string>
#include <vector>

namespace blockavg {

// Accumulator of one atom position: the name last read for it and the sums
// of its coordinates since the last averaged frame.
struct AtomRecord {
    std::string name;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// One record per atom position of the current frame, position 0 first.
// Atoms are matched between frames by position only.
using AtomList = std::vector<AtomRecord>;

}  // namespace blockavg
