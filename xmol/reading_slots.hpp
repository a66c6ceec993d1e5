#pragma once

#include <string>

namespace blockavg {

// The values last read from the input. They persist across lines and frames:
// an item that cannot be read leaves its slot at the previous value.
struct ReadingSlots {
    std::string stepLabel;
    std::string boxTag;
    double boxValue = 1000000.0;
    std::string atomName;
    double atomX = -123.0;
    double atomY = -123.0;
    double atomZ = -123.0;
};

}  // namespace blockavg
