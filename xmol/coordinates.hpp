#pragma once

namespace blockavg {

// An atom's x, y and z: as read from an atom line, or their sums over a block.
struct Coordinates {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

}  // namespace blockavg
