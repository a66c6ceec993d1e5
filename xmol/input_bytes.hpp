#pragma once

// A block of bytes that grows and shrinks with realloc rather than by
// copying into a new block: the C library moves a large block's pages
// instead of its bytes, so growing a buffer of one long line from 128 MiB to
// 256 MiB holds 256 MiB, not both. New bytes are not zeroed, so pages that
// nothing has been read into cost no memory.

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

namespace blockavg {

class InputBytes {
public:
    InputBytes() = default;
    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;
    InputBytes(InputBytes&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    InputBytes& operator=(InputBytes&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~InputBytes() { std::free(data_); }

    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    // Keeps the bytes up to the new size; the others are unset. Throws
    // std::bad_alloc when memory runs out, the buffer then as it was.
    void resize(std::size_t size) {
        if (size == 0) {
            std::free(data_);
            data_ = nullptr;
            size_ = 0;
            return;
        }
        void* moved = std::realloc(data_, size);
        if (moved == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<char*>(moved);
        size_ = size;
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace blockavg
