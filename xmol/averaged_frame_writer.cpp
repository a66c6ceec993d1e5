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

std::size_t formatFrameHead(const AveragedFrame& frame, std::vector<char>& buffer, std::size_t at) {
    char* const start = room(buffer, at, longestLine(frame.stepLabel.size()) + 16);
    char* out = formatInteger(start, static_cast<std::int64_t>(frame.count()));
    *out++ = '\n';
    if (frame.hasBox) {
        const double boxAverage = frame.boxSum / frame.blockLength;
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
    return at + static_cast<std::size_t>(out - start);
}

std::size_t formatAtomLines(const AveragedFrame& frame, std::size_t first, std::size_t end,
                            std::vector<char>& buffer, std::size_t at) {
    const double divisor = frame.blockLength;
    const double* sums = frame.sums.data() + 3 * first;
    std::size_t nameBegin = first == 0 ? frame.firstNameBegin : frame.nameEnds[first - 1];
    std::size_t used = at;
    for (std::size_t position = first; position < end; ++position) {
        const std::size_t nameEnd = frame.nameEnds[position];
        const std::string_view name = frame.names.substr(nameBegin, nameEnd - nameBegin);
        nameBegin = nameEnd;
        char* out = room(buffer, used, longestLine(name.size()));
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

std::size_t formatAveragedFrame(const AveragedFrame& frame, std::vector<char>& buffer,
                                std::size_t at) {
    return formatAtomLines(frame, 0, frame.count(), buffer, formatFrameHead(frame, buffer, at));
}

bool AveragedFrameWriter::takeBoxNotation(std::size_t atomCount) noexcept {
    const bool fixed = fixedNotation_;
    fixedNotation_ = fixedNotation_ || atomCount > 0;
    return fixed;
}

bool AveragedFrameWriter::write(std::string_view bytes, bool endsFrame) {
    return sink_.write(bytes, endsFrame);
}

}  // namespace blockavg
