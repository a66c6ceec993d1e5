#pragma once

// The layout of an averaged frame, this tool's own XMOL:
//
//   count
//    after         STEP steps,  BOX:  A A A      (empty unless the tag is "BOX:")
//   NAME XXXXXXXXXXXX YYYYYYYYYYYY ZZZZZZZZZZZZ  (name width 5, numbers width 12)
//
// Every sum is divided by the block length. Atom coordinates are in fixed
// notation with 6 decimals (%.6f). The box average follows a number format
// that persists from frame to frame: general notation (%g) until the first
// atom line of the run has been written, fixed from then on (BoxNotation).
// The layout functions are safe on any thread; each appends to `buffer` from
// byte `at` on, grows it as needed, returns where its text ends, and throws
// std::bad_alloc when the buffer cannot grow.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "xmol/coordinates.hpp"

namespace blockavg {

// What the count and comment lines of an averaged frame say.
struct FrameHead {
    std::int32_t count = 0;  // the atom count of the frame that closed the block
    bool hasBox = false;     // its box tag was exactly "BOX:"
    std::string_view stepLabel;
    double boxSum = 0.0;
    std::int32_t blockLength = 1;
    bool fixedNotation = false;  // the box average in fixed notation
};

// The persistent number format of the box averages, asked once per averaged
// frame in output order.
class BoxNotation {
public:
    // Whether the next averaged frame, of `count` atoms, has its box average
    // in fixed notation.
    bool next(std::int32_t count) noexcept {
        const bool fixed = fixed_;
        fixed_ = fixed_ || count > 0;
        return fixed;
    }

private:
    bool fixed_ = false;
};

std::size_t layOutFrameHead(const FrameHead& head, std::vector<char>& buffer, std::size_t at);

// Atom lines, one per entry of `sums`: with `names` one by one, or all with
// the one `name`.
std::size_t layOutAtomLines(std::span<const std::string_view> names,
                            std::span<const Coordinates> sums, std::int32_t blockLength,
                            std::vector<char>& buffer, std::size_t at);
std::size_t layOutAtomLines(std::string_view name, std::span<const Coordinates> sums,
                            std::int32_t blockLength, std::vector<char>& buffer, std::size_t at);

}  // namespace blockavg
