#pragma once

// A byte source and a byte sink in memory, for the tests and the fuzz
// target: the source hands out its bytes in chunks as a pipe might and can
// fail at a given byte, the sink keeps what it is given and can fail once
// the output would pass a given size.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"

namespace blockavg::fuzzing {

inline constexpr std::size_t never = std::numeric_limits<std::size_t>::max();

class MemorySource final : public ByteSource {
public:
    // With a chunk size, the bytes come as from a pipe, at most that many a
    // read; without, as from a file, read at any offset.
    explicit MemorySource(std::string_view bytes, std::size_t chunkSize = never,
                          std::size_t failsAt = never)
        : bytes_(bytes), chunkSize_(std::max<std::size_t>(chunkSize, 1)), failsAt_(failsAt) {}

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        const std::ptrdiff_t got = readAt(read_, buffer, std::min(size, chunkSize_));
        read_ += static_cast<std::size_t>(std::max<std::ptrdiff_t>(got, 0));
        return got;
    }
    bool readsAtOffsets() const override { return chunkSize_ == never; }
    std::ptrdiff_t readAt(std::uint64_t offset, char* buffer, std::size_t size) override {
        if (offset >= failsAt_) {
            return -1;
        }
        const std::size_t from = std::min<std::uint64_t>(offset, bytes_.size());
        const std::size_t got = std::min({size, bytes_.size() - from, failsAt_ - from});
        std::copy_n(bytes_.data() + from, got, buffer);
        return static_cast<std::ptrdiff_t>(got);
    }
    bool isSameFileAs(const std::string&) const override { return false; }
    std::string errorMessage() const override { return std::generic_category().message(EIO); }
    // A pipe's bytes when they come a few at a time, a file's otherwise. The
    // pipe's producer falls behind now and then: a run's batch of its bytes
    // ends there.
    bool mayWait() const override { return chunkSize_ != never; }
    bool bytesWaiting() override { return read_ / chunkSize_ % 256 != 255; }

private:
    std::string_view bytes_;
    std::size_t chunkSize_;
    std::size_t failsAt_;
    std::size_t read_ = 0;
};

// Takes what it is given up to its size limit, as a disk that fills up.
class MemorySink final : public ByteSink {
public:
    explicit MemorySink(std::size_t failsAt = never) : failsAt_(failsAt) {}

    bool write(std::string_view bytes, std::span<const std::size_t> frameEnds) override {
        if (abandoned_) {
            return false;
        }
        const std::size_t before = bytes_.size();
        const std::size_t taken = std::min(bytes.size(), failsAt_ - std::min(failsAt_, before));
        bytes_.append(bytes.substr(0, taken));
        for (const std::size_t end : frameEnds) {
            if (end <= taken) {
                ++framesSent_;
                wholeEnd_ = before + end;
            }
        }
        return taken == bytes.size();
    }
    std::int64_t framesSent() const noexcept override { return framesSent_; }
    void commit() noexcept override { written_ = wholeEnd_; }
    bool countsOnCommit() const noexcept override { return true; }
    void abandon() noexcept override {
        bytes_.resize(written_);
        abandoned_ = true;
    }
    void abandonAt(SinkPlace place) noexcept override {
        written_ = std::min(written_, static_cast<std::size_t>(place.bytes));
        abandon();
    }
    std::string errorMessage() const override { return std::generic_category().message(ENOSPC); }
    const std::string& bytes() const noexcept { return bytes_; }
    void reserve(std::size_t size) { bytes_.reserve(size); }

private:
    std::size_t failsAt_;
    std::string bytes_;
    std::int64_t framesSent_ = 0;
    std::size_t wholeEnd_ = 0;  // the bytes up to the end of the last frame sent whole
    std::size_t written_ = 0;   // the bytes of the committed frames
    bool abandoned_ = false;
};

}  // namespace blockavg::fuzzing
