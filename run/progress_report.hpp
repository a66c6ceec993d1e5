#pragma once

// The progress report on standard output, one line per frame:
//
//   # FRAME   COUNT atoms   box BOX A
//
// each opened by a line feed that ends the line before: the report starts
// with a line feed and leaves its last line open. A run that stops where a
// count line belongs ends the report with that frame's heading alone
// ("# FRAME   "), and one that cannot hold a frame with its heading and
// count. The box value is in %g.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "numbers/number_format.hpp"

namespace blockavg {

class ReportLayout {
public:
    // Appends a line to `text` from `at` on and returns its end: the whole
    // line, or only its first `parts` (1: the heading, 2: and the count).
    std::size_t line(std::int64_t frame, std::int32_t count, double box, std::vector<char>& text,
                     std::size_t at, int parts = 3);

private:
    void setFrame(std::int64_t frame) noexcept;

    char frameText_[24]{};
    std::size_t frameLength_ = 0;
    std::int64_t frame_ = 0;
    char countText_[16]{};
    std::size_t countLength_ = 0;
    std::int32_t count_ = -1;
    // The box value's text, kept while the value repeats (a fixed volume).
    char boxText_[maxFormattedNumberLength]{};
    std::size_t boxLength_ = 0;
    double lastBox_ = 0.0;
    bool haveBox_ = false;
};

}  // namespace blockavg
