#pragma once

// The trajectory text of an input, as blockavg reads it: the input itself,
// or, when its first bytes show a compression, what the decompressor makes
// of it.

#include <memory>

#include "compression/decompression.hpp"

namespace blockavg {

class InputText {
public:
    // Reads the first bytes of `raw` to tell its compression; compressed
    // input is decoded on up to `threads` processors.
    InputText(ByteSource& raw, unsigned threads);

    Compression compression() const noexcept { return compression_; }
    // The compression that the text of a compressed input shows in turn.
    Compression inner() const noexcept { return inner_; }
    // False when this build cannot read the compression found, or the text
    // is compressed again.
    bool readable() const noexcept { return text_ != nullptr; }
    // The text, when readable().
    ByteSource& source() noexcept { return *text_; }

private:
    Compression compression_ = Compression::none;
    Compression inner_ = Compression::none;
    std::unique_ptr<ByteSource> text_;
};

}  // namespace blockavg
