#include "compression/input_text.hpp"

namespace blockavg {

InputText::InputText(ByteSource& raw, unsigned threads) {
    DecodedInput decoded = openText(raw, threads);
    compression_ = decoded.compression;
    inner_ = decoded.inner;
    text_ = std::move(decoded.source);
}

}  // namespace blockavg
