#include "xmol/batch_lines.hpp"

#include <cstring>

namespace blockavg {

void findLineEnds(BatchLines& lines) {
    const char* const text = lines.text.data();
    const char* at = text + lines.bytesBegin;
    const char* const end = text + lines.bytesEnd;
    lines.ends.clear();
    while (const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
        const char* const lineFeed = static_cast<const char*>(found);
        lines.ends.push_back(static_cast<std::uint32_t>(lineFeed - text));
        at = lineFeed + 1;
    }
}

}  // namespace blockavg
