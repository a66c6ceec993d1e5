#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace blockavg {

// The sums of the block being averaged, one position per atom of the
// current frame (atoms are matched between frames by position only), and
// the names that the frame closing the block gives them, in position order.
struct BlockAtoms {
    std::vector<double> sums;           // x, y and z of each position
    std::string names;                  // one after another
    std::vector<std::size_t> nameEnds;  // where each position's name ends in `names`

    std::size_t size() const noexcept { return sums.size() / 3; }
};

}  // namespace blockavg
