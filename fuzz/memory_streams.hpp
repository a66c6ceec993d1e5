#pragma once

// A byte source and a byte sink in memory, for the tests and the fuzz
// target: the source hands out its bytes in chunks as a pipe might and can
// fail at a given byte, the sink keeps what it is given and can fail once
// the output would pass a given size.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"

namespace blockavg::fuzzing {

inline constexpr std::size_t never = std::numeric_limits<std::size_t>::max();

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes, std::size_t chunkSize = never,
                          std::size_t failsAt = never)
        : bytes_(bytes), chunkSize_(std::max<std::size_t>(chunkSize, 1)), failsAt_(failsAt) {}

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (read_ >= failsAt_) {
            return -1;
        }
        const std::size_t got =
            std::min({size, chunkSize_, bytes_.size() - read_, failsAt_ - read_});
        std::copy_n(bytes_.data() + read_, got, buffer);
        read_ += got;
        return static_cast<std::ptrdiff_t>(got);
    }
    bool isSameFileAs(const std::string&) const override { return false; }
    std::string errorMessage() const override { return std::generic_category().message(EIO); }
    // A pipe's bytes when they come a few at a time, a file's otherwise.
    bool mayWait() const override { return chunkSize_ != never; }

private:
    std::string_view bytes_;
    std::size_t chunkSize_;
    std::size_t failsAt_;
    std::size_t read_ = 0;
};

class MemorySink final : public ByteSink {
public:
    explicit MemorySink(std::size_t failsAt = never) : failsAt_(failsAt) {}

    bool write(std::string_view bytes, bool endsFrame) override {
        if (bytes.size() > failsAt_ - std::min(failsAt_, bytes_.size())) {
            bytes_.resize(wholeFrames_);  // cut back, as the output file is
            return false;
        }
        bytes_.append(bytes);
        if (endsFrame) {
            wholeFrames_ = bytes_.size();
        }
        return true;
    }
    void abandonFrame() noexcept override {
        bytes_.resize(wholeFrames_);
        failsAt_ = 0;
    }
    std::string errorMessage() const override { return std::generic_category().message(ENOSPC); }
    const std::string& bytes() const noexcept { return bytes_; }
    void reserve(std::size_t size) { bytes_.reserve(size); }

private:
    std::size_t failsAt_;
    std::string bytes_;
    std::size_t wholeFrames_ = 0;  // the bytes of the frames written whole
};

}  // namespace blockavg::fuzzing
