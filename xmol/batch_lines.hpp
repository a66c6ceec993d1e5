#pragma once

// The lines of one batch of input. The batch's bytes sit in a buffer with
// room before them, where the frame walker puts the part of a line that
// earlier batches began; the line ends are found among the batch's own
// bytes, then the walker adds the end of an input's last line when it has
// no line feed. Line i runs from the end of line i - 1 (or `firstLine`) to
// its own end, its line feed excluded. With each line but the first, the
// count it holds if it is a count line is read when its end is found, so
// that the walker, which takes the batches one after another, need not
// touch their text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "xmol/input_bytes.hpp"

namespace blockavg {

struct LineEnd {
    std::uint32_t end;   // where the line ends in the text
    std::int32_t count;  // its value when it begins with up to nine digits, else -1
};

class BatchLines {
public:
    InputBytes bytes;
    std::size_t bytesBegin = 0;  // the bytes read: [bytesBegin, bytesEnd)
    std::size_t bytesEnd = 0;
    std::size_t firstLine = 0;  // where line 0 begins: at or before bytesBegin

    std::size_t size() const noexcept { return size_; }
    const LineEnd& operator[](std::size_t index) const noexcept { return ends_[index]; }
    // Where line `index` ends with its line feed: the feed is part of the
    // text the line was read from (in its place a longer line could stand).
    std::size_t endWithFeed(std::size_t index) const noexcept {
        return std::min<std::size_t>(std::size_t{ends_[index].end} + 1, bytesEnd);
    }
    std::string_view line(std::size_t index) const noexcept {
        std::size_t begin = firstLine;
        if (index > 0) {
            begin = std::size_t{ends_[index - 1].end} + 1;
        }
        return {bytes.data() + begin, ends_[index].end - begin};
    }

    // Finds every line end among the bytes read, in place of those before.
    void findEnds();
    // A last line that the input ends without a line feed.
    void addEnd(std::uint32_t end);
    // The text has moved `by` bytes further into its buffer.
    void moveEnds(std::uint32_t by) noexcept;

private:
    // Grown, never shrunk: the entries past size_ are spare room.
    std::vector<LineEnd> ends_;
    std::size_t size_ = 0;
};

}  // namespace blockavg
