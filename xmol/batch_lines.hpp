#pragma once

// The lines of one batch of input. The batch's bytes sit in a buffer with
// room before them, where the frame walker puts the part of a line that
// earlier batches began; the line ends are found among the batch's own
// bytes, then the walker adds the end of an input's last line when it has
// no line feed. Line i runs from the end of line i - 1 (or `firstLine`) to
// ends[i], its line feed excluded.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "xmol/text_buffer.hpp"

namespace blockavg {

struct BatchLines {
    TextBuffer text;
    std::size_t bytesBegin = 0;  // the bytes read: [bytesBegin, bytesEnd)
    std::size_t bytesEnd = 0;
    std::size_t firstLine = 0;        // where line 0 begins: at or before bytesBegin
    std::vector<std::uint32_t> ends;  // where each line ends in `text`

    std::string_view line(std::size_t index) const noexcept {
        const std::size_t begin = index == 0 ? firstLine : std::size_t{ends[index - 1]} + 1;
        return {text.data() + begin, ends[index] - begin};
    }
};

// Appends to `lines.ends` the place of every line feed among the bytes read.
void findLineEnds(BatchLines& lines);

}  // namespace blockavg
