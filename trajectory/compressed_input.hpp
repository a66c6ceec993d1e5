#pragma once

// The compressed bytes a decompressor takes in: those already read while
// the format was being told, then the rest of the raw source, a buffer at a
// time.

#include <cstddef>
#include <string>
#include <vector>

#include "trajectory/byte_source.hpp"

namespace blockavg {

class CompressedInput {
public:
    CompressedInput(ByteSource& raw, std::string start);

    // The bytes read and not yet taken.
    const unsigned char* data() const noexcept { return buffer_.data() + begin_; }
    std::size_t size() const noexcept { return end_ - begin_; }
    void take(std::size_t count) noexcept { begin_ += count; }

    // Reads more, once all has been taken: false at the end of the source
    // (ended()) or on a read error (error() tells why).
    bool refill();
    bool ended() const noexcept { return ended_; }
    const std::string& error() const noexcept { return error_; }

    // What a decompressor returns once refill() has failed: 0 when its
    // stream ended whole there (`whole`), otherwise -1 with `error` saying
    // why (the read error, or a stream cut short).
    std::ptrdiff_t finish(bool whole, const char* format, std::string& error) const;

private:
    ByteSource& raw_;
    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
    std::string error_;
};

}  // namespace blockavg
