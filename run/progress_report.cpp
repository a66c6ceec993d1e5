#include "run/progress_report.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace blockavg {
namespace {

// The longest line but its box value: two integers and the words.
constexpr std::size_t lineWithoutBox = 3 + 20 + 3 + 11 + 9 + 4 + 5;

char* put(char* out, const char* text, std::size_t size) noexcept {
    std::memcpy(out, text, size);
    return out + size;
}

}  // namespace

// The numbers of a line are most often those of the line before, or one
// more: their text is kept and, for the frame number, counted on in place.
void ReportLayout::setFrame(std::int64_t frame) noexcept {
    if (frame_ > 0 && frame == frame_ + 1) {
        std::size_t digit = frameLength_;
        while (digit > 0 && frameText_[digit - 1] == '9') {
            frameText_[--digit] = '0';
        }
        if (digit == 0) {
            std::memmove(frameText_ + 1, frameText_, frameLength_++);
            frameText_[0] = '1';
        } else {
            ++frameText_[digit - 1];
        }
    } else {
        frameLength_ = static_cast<std::size_t>(formatInteger(frameText_, frame) - frameText_);
    }
    frame_ = frame;
}

std::size_t ReportLayout::line(std::int64_t frame, std::int32_t count, double box,
                               std::vector<char>& text, std::size_t at, int parts) {
    if (frame != frame_) {
        setFrame(frame);
    }
    if (parts >= 2 && count != count_) {
        countLength_ = static_cast<std::size_t>(formatInteger(countText_, count) - countText_);
        count_ = count;
    }
    // The same bits: -0 and 0 print differently, and NaN is not equal to itself.
    if (parts >= 3 && (!haveBox_ || std::bit_cast<std::uint64_t>(box) !=
                                        std::bit_cast<std::uint64_t>(lastBox_))) {
        boxLength_ = static_cast<std::size_t>(formatGeneral(boxText_, box) - boxText_);
        lastBox_ = box;
        haveBox_ = true;
    }
    if (text.size() < at + lineWithoutBox + boxLength_) {
        text.resize(std::max(text.size() + text.size() / 2, at + lineWithoutBox + boxLength_));
    }
    char* const start = text.data() + at;
    char* out = put(start, "\n# ", 3);
    out = put(out, frameText_, frameLength_);
    out = put(out, "   ", 3);
    if (parts >= 2) {
        out = put(out, countText_, countLength_);
        out = put(out, " atoms   ", 9);
    }
    if (parts >= 3) {
        out = put(out, "box ", 4);
        out = put(out, boxText_, boxLength_);
        out = put(out, " A   ", 5);
    }
    return at + static_cast<std::size_t>(out - start);
}

}  // namespace blockavg
