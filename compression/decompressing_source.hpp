#pragma once

// What the decompressing sources share: the compressed bytes they take in
// (those already read while the format was being told, then the rest of the
// raw source, a buffer at a time), the raw source's identity, and the error
// that ends their text. Each format's readSome() inflates into the caller's
// buffer.

#include <cstddef>
#include <string>
#include <vector>

#include "io/byte_source.hpp"

namespace blockavg {

class DecompressingSource : public ByteSource {
public:
    bool isSameFileAs(const std::string& path) const final { return raw_.isSameFileAs(path); }
    std::string errorMessage() const final { return error_; }
    bool checksItsBytes() const final { return true; }
    bool mayWait() const final { return raw_.mayWait(); }
    // Compressed bytes at hand most often give text at once.
    bool bytesWaiting() const final { return end_ > begin_ || raw_.bytesWaiting(); }
    void stopReading() noexcept final { raw_.stopReading(); }

protected:
    DecompressingSource(ByteSource& raw, std::string start);

    // The compressed bytes read and not yet taken.
    const unsigned char* compressed() const noexcept { return buffer_.data() + begin_; }
    std::size_t compressedSize() const noexcept { return end_ - begin_; }
    void take(std::size_t count) noexcept { begin_ += count; }

    // Reads more, once all has been taken: false at the end of the raw
    // source or on a read error (then failed() is true).
    bool refill();

    // Whether the text has ended in an error: the raw source's, or damage.
    bool failed() const noexcept { return !error_.empty(); }

    // What readSome() returns once refill() has returned false: 0 when the
    // stream ended whole there (`whole`), otherwise -1, the error being the
    // read error or the stream cut short.
    std::ptrdiff_t finish(bool whole, const char* format);

    // What readSome() returns on damage found after `produced` bytes of
    // text: the text before the damage comes first, however the bytes came,
    // and the next call fails with `message`.
    std::ptrdiff_t damaged(std::string message, std::size_t produced);

private:
    ByteSource& raw_;
    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
    std::string error_;
};

}  // namespace blockavg
