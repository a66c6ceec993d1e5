#pragma once

// The line that tells how far a long run is, for a terminal
// (io/reporter.hpp): the input's bytes read and its size where known (for
// compressed input, its compressed bytes), the share read, the frames, the
// rate and the time left. Made at most four times a second, from room of
// its own: no allocation.

#include <chrono>
#include <cstdint>
#include <string_view>

namespace blockavg {

class ProgressLine {
public:
    // `inputSize`: 0 when not known (a pipe).
    explicit ProgressLine(std::uint64_t inputSize) noexcept;

    // The line for now, or an empty one when the last was made less than a
    // quarter of a second ago.
    std::string_view update(std::uint64_t bytes, std::int64_t frames) noexcept;

private:
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
    std::uint64_t size_;
    char text_[160] = {};
};

}  // namespace blockavg
