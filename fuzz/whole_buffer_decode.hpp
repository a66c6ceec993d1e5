#pragma once

// Decodes a whole compressed buffer at once, with each format's library
// called directly and nothing of blockavg's decompressors: the reference that
// tells the fuzz checks whether a stream is damaged. The rules are those of
// blockavg's input: gzip members one after another, anything after the last
// that does not start a member passed over; zstd frames, xz streams (with
// their padding) and bzip2 streams one after another, with nothing else
// after them.

#include <string_view>

#include "compression/decompression.hpp"

namespace blockavg::fuzzing {

enum class WholeDecode {
    whole,      // every byte read, every check passed
    damaged,    // the data is damaged or cut short
    tooLarge,   // more text or memory than a fuzz input may take
    unchecked,  // no reference for this format in this build
};

WholeDecode decodeWhole(Compression compression, std::string_view bytes);

}  // namespace blockavg::fuzzing
