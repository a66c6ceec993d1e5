#pragma once

// Encodes and decodes a whole buffer at once, with each format's library
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

// `text` compressed by the format's library in `units` parts, each with its
// checks: gzip members, zstd frames with their checksums, xz streams (of one
// block whose header gives its sizes when `sized`, as xz -T writes them,
// otherwise as xz -T1 does) or bzip2 streams. Empty where this build has no
// encoder for the format.
std::string encodeWhole(Compression compression, std::string_view text, std::size_t units,
                        bool sized);

}  // namespace blockavg::fuzzing
