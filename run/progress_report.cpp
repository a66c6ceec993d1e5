#include "run/progress_report.hpp"

#include <algorithm>
#include <cstring>

namespace blockavg {
namespace {

// The longest line but its box value: two integers and the words.
constexpr std::size_t lineWithoutBox = 3 + 20 + 3 + 11 + 9 + 4 + 5;

}  // namespace

std::size_t ReportLayout::line(std::int64_t frame, std::int32_t count, double box,
                               std::vector<char>& text, std::size_t at, int parts) {
    if (parts >= 3 && (!haveBox_ || std::memcmp(&box, &lastBox_, sizeof box) != 0)) {
        boxLength_ = static_cast<std::size_t>(formatGeneral(boxText_, box) - boxText_);
        lastBox_ = box;
        haveBox_ = true;
    }
    if (text.size() < at + lineWithoutBox + boxLength_) {
        text.resize(std::max(2 * text.size(), at + lineWithoutBox + boxLength_));
    }
    char* const start = text.data() + at;
    char* out = std::copy_n("\n# ", 3, start);
    out = formatInteger(out, frame);
    out = std::copy_n("   ", 3, out);
    if (parts >= 2) {
        out = formatInteger(out, count);
        out = std::copy_n(" atoms   ", 9, out);
    }
    if (parts >= 3) {
        out = std::copy_n("box ", 4, out);
        out = std::copy_n(boxText_, boxLength_, out);
        out = std::copy_n(" A   ", 5, out);
    }
    return at + static_cast<std::size_t>(out - start);
}

}  // namespace blockavg
