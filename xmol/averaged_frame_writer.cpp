#include "xmol/averaged_frame_writer.hpp"

#include <algorithm>
#include <cstring>

#include "numbers/number_format.hpp"

namespace blockavg {
namespace {

constexpr std::size_t nameWidth = 5;
constexpr std::size_t coordinateWidth = 12;

constexpr std::string_view boxTagPrefix = " after         ";
constexpr std::string_view boxTagMiddle = " steps,  BOX:  ";

// The most an atom line with this name, or a comment line with this step
// label, can take.
std::size_t longestLine(std::size_t textSize) noexcept {
    return std::max(textSize, nameWidth) + boxTagPrefix.size() + boxTagMiddle.size() +
           3 * (1 + maxFormattedNumberLength) + 1;
}

char* put(char* out, std::string_view text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// Pads `text` on the left to `width` columns. Names are a few bytes: a byte
// loop beats two library calls.
char* putPadded(char* out, std::string_view text, std::size_t width) noexcept {
    for (std::size_t padding = text.size(); padding < width; ++padding) {
        *out++ = ' ';
    }
    if (text.size() > 16) {
        return put(out, text);
    }
    for (const char c : text) {
        *out++ = c;
    }
    return out;
}

// Makes sure `buffer` has `needed` bytes after `used`; returns where they start.
char* room(std::vector<char>& buffer, std::size_t used, std::size_t needed) {
    if (buffer.size() < used + needed) {
        buffer.resize(std::max(2 * buffer.size(), used + needed));
    }
    return buffer.data() + used;
}

}  // namespace

std::size_t formatAveragedFrame(const AveragedFrame& frame, std::vector<char>& buffer,
                                std::size_t at) {
    const double divisor = frame.blockLength;
    char* const start = room(buffer, at, longestLine(frame.stepLabel.size()) + 16);
    char* out = formatInteger(start, static_cast<std::int64_t>(frame.names.size()));
    *out++ = '\n';
    if (frame.hasBox) {
        const double boxAverage = frame.boxSum / divisor;
        char digits[maxFormattedNumberLength];
        const char* const end = frame.boxInFixedNotation ? formatFixed(digits, boxAverage)
                                                         : formatGeneral(digits, boxAverage);
        const std::string_view number(digits, static_cast<std::size_t>(end - digits));
        out = put(out, boxTagPrefix);
        out = put(out, frame.stepLabel);
        out = put(out, boxTagMiddle);
        out = put(out, number);
        *out++ = ' ';
        out = put(out, number);
        *out++ = ' ';
        out = put(out, number);
    }
    *out++ = '\n';

    auto used = at + static_cast<std::size_t>(out - start);
    const double* sums = frame.sums.data();
    for (const std::string_view name : frame.names) {
        out = room(buffer, used, longestLine(name.size()));
        char* const lineStart = out;
        out = putPadded(out, name, nameWidth);
        for (int axis = 0; axis < 3; ++axis) {
            *out++ = ' ';
            out = formatFixedField(out, *sums++ / divisor, coordinateWidth);
        }
        *out++ = '\n';
        used += static_cast<std::size_t>(out - lineStart);
    }
    return used;
}

bool AveragedFrameWriter::takeBoxNotation(std::size_t atomCount) noexcept {
    const bool fixed = fixedNotation_;
    fixedNotation_ = fixedNotation_ || atomCount > 0;
    return fixed;
}

bool AveragedFrameWriter::write(std::string_view frame) { return sink_.write(frame); }

}  // namespace blockavg
