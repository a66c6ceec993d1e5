#include "trajectory/compressed_input.hpp"

#include <algorithm>

namespace blockavg {
namespace {

constexpr std::size_t bufferSize = std::size_t{256} << 10;

}  // namespace

CompressedInput::CompressedInput(ByteSource& raw, std::string start)
    : raw_(raw), buffer_(std::max(bufferSize, start.size())) {
    std::copy(start.begin(), start.end(), buffer_.begin());
    end_ = start.size();
}

bool CompressedInput::refill() {
    if (ended_ || !error_.empty()) {
        return false;
    }
    begin_ = end_ = 0;
    const std::ptrdiff_t got =
        raw_.readSome(reinterpret_cast<char*>(buffer_.data()), buffer_.size());
    if (got < 0) {
        error_ = raw_.errorMessage();
        return false;
    }
    ended_ = got == 0;
    end_ = static_cast<std::size_t>(got);
    return got > 0;
}

std::ptrdiff_t CompressedInput::finish(bool whole, const char* format, std::string& error) const {
    if (!error_.empty()) {
        error = error_;
    } else if (!whole) {
        error = std::string("the ") + format + " stream is cut short";
    } else {
        return 0;
    }
    return -1;
}

}  // namespace blockavg
