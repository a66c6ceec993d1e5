#include "compression/decompressing_source.hpp"

#include <algorithm>
#include <utility>

namespace blockavg {
namespace {

constexpr std::size_t bufferSize = std::size_t{256} << 10;

}  // namespace

DecompressingSource::DecompressingSource(ByteSource& raw, std::string start)
    : raw_(raw), buffer_(std::max(bufferSize, start.size())) {
    std::copy(start.begin(), start.end(), buffer_.begin());
    end_ = start.size();
}

bool DecompressingSource::refill() {
    if (ended_ || failed()) {
        return false;
    }
    begin_ = end_ = 0;
    // Bytes read ahead (a unit too large to decode on its own) came in a
    // buffer of their size; the rest comes a buffer at a time, as a larger
    // one decodes more slowly (its bytes leave the cache before their turn).
    if (buffer_.size() > bufferSize) {
        buffer_.resize(bufferSize);
        buffer_.shrink_to_fit();
    }
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

std::ptrdiff_t DecompressingSource::finish(bool whole, const char* format) {
    if (failed()) {
        return -1;
    }
    if (!whole) {
        error_ = std::string("the ") + format + " stream is cut short";
        return -1;
    }
    return 0;
}

std::ptrdiff_t DecompressingSource::damaged(std::string message, std::size_t produced) {
    error_ = std::move(message);
    return produced > 0 ? static_cast<std::ptrdiff_t>(produced) : -1;
}

}  // namespace blockavg
