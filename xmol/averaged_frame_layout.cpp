#include "xmol/averaged_frame_layout.hpp"

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
    if (!text.empty()) {
        std::memcpy(out, text.data(), text.size());
    }
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

// Makes sure `buffer` has `needed` bytes after `used`; returns where they
// start. It grows by half: a batch's text is laid out into it again and
// again, and all of it stays in memory.
char* room(std::vector<char>& buffer, std::size_t used, std::size_t needed) {
    if (buffer.size() < used + needed) {
        buffer.resize(std::max(buffer.size() + buffer.size() / 2, used + needed));
    }
    return buffer.data() + used;
}

char* putAtomLine(char* out, std::string_view name, const Coordinates& sums, double divisor) {
    out = putPadded(out, name, nameWidth);
    *out++ = ' ';
    out = formatFixedField(out, sums.x / divisor, coordinateWidth);
    *out++ = ' ';
    out = formatFixedField(out, sums.y / divisor, coordinateWidth);
    *out++ = ' ';
    out = formatFixedField(out, sums.z / divisor, coordinateWidth);
    *out++ = '\n';
    return out;
}

}  // namespace

std::size_t layOutFrameHead(const FrameHead& head, std::vector<char>& buffer, std::size_t at) {
    char* const start = room(buffer, at, longestLine(head.stepLabel.size()) + 16);
    char* out = formatInteger(start, head.count);
    *out++ = '\n';
    if (head.hasBox) {
        const double boxAverage = head.boxSum / head.blockLength;
        char digits[maxFormattedNumberLength];
        const char* const end = head.fixedNotation ? formatFixed(digits, boxAverage)
                                                   : formatGeneral(digits, boxAverage);
        const std::string_view number(digits, static_cast<std::size_t>(end - digits));
        out = put(out, boxTagPrefix);
        out = put(out, head.stepLabel);
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

std::size_t layOutAtomLines(std::span<const std::string_view> names,
                            std::span<const Coordinates> sums, std::int32_t blockLength,
                            std::vector<char>& buffer, std::size_t at) {
    const double divisor = blockLength;
    for (std::size_t atom = 0; atom < sums.size(); ++atom) {
        char* const start = room(buffer, at, longestLine(names[atom].size()));
        at +=
            static_cast<std::size_t>(putAtomLine(start, names[atom], sums[atom], divisor) - start);
    }
    return at;
}

std::size_t layOutAtomLines(std::string_view name, std::span<const Coordinates> sums,
                            std::int32_t blockLength, std::vector<char>& buffer, std::size_t at) {
    const double divisor = blockLength;
    for (const Coordinates& atom : sums) {
        char* const start = room(buffer, at, longestLine(name.size()));
        at += static_cast<std::size_t>(putAtomLine(start, name, atom, divisor) - start);
    }
    return at;
}

}  // namespace blockavg
