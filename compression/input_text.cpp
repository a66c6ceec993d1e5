#include "compression/input_text.hpp"

namespace blockavg {

InputText::InputText(ByteSource& raw, unsigned processors) {
    DecodedInput decoded = openText(raw);
    compression_ = decoded.compression;
    inner_ = decoded.inner;
    decoded_ = std::move(decoded.source);
    if (decoded_ == nullptr) {
        return;
    }
    text_ = decoded_.get();
    if (compression_ != Compression::none) {
        readAhead_ = std::make_unique<BackgroundSource>(*decoded_, processors > 1);
        text_ = readAhead_.get();
    }
}

}  // namespace blockavg
