#pragma once

// The input trajectory as a file or standard input, read with the operating
// system's descriptor calls rather than std::fread: fread keeps reading until
// its whole request is met, which on a pipe would hold back every frame until
// a full buffer has arrived. One implementation per platform
// (io/posix/file_source.cpp, io/win32/file_source.cpp).

#include <atomic>
#include <cstdint>
#include <string>
#ifdef _WIN32
#include <mutex>
#endif

#include "io/byte_source.hpp"

namespace blockavg {

// Whether the open descriptor `descriptor` and the file named `path` are
// one file: device and inode, or on Windows volume serial number and file
// index. A character device (a terminal, /dev/null) holds nothing that
// could be destroyed, so it is never taken for one, whoever else has it
// open. The one rule for what blockavg must not write into.
bool isSameFile(int descriptor, const std::string& path);

class FileSource final : public ByteSource {
public:
    FileSource() = default;
    ~FileSource() override { close(); }

    // Opens the named file, or standard input for "-". A directory is
    // refused. False on failure, with errorMessage() telling why.
    bool open(const std::string& path);
    void close() noexcept;

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override;
    bool readsAtOffsets() const override;
    std::ptrdiff_t readAt(std::uint64_t offset, char* buffer, std::size_t size) override;
    bool isSameFileAs(const std::string& path) const override;
    std::string errorMessage() const override;
    bool mayWait() const override { return !regular_; }
    std::uint64_t bytesTaken() const noexcept override { return readTo_.load(); }
    // The size of a regular file, from where it was opened; 0 otherwise.
    std::uint64_t size() const noexcept { return size_; }
    bool bytesWaiting() override;
    // A pipe or terminal is waited on together with a wake-up (a pipe of
    // the process's own on POSIX, a cancelled read on Windows).
    void stopReading(std::uint64_t onceChecked) noexcept override;

private:
    int descriptor_ = -1;
    bool ownsDescriptor_ = false;
    bool regular_ = false;                  // a regular file, not a pipe, terminal or device
    std::int64_t start_ = -1;               // a regular file's offset when it was opened
    std::atomic<std::uint64_t> readTo_{0};  // how far reads have come past start_
    std::uint64_t size_ = 0;
    void readTo(std::uint64_t end) noexcept {
        std::uint64_t was = readTo_.load();
        while (was < end && !readTo_.compare_exchange_weak(was, end)) {
        }
    }
    std::atomic<int> error_{0};
#ifdef _WIN32
    std::mutex stopMutex_;
    bool stopped_ = false;
    void* readingThread_ = nullptr;  // the thread in a read that may wait
#else
    int wakeRead_ = -1;  // readable once stopReading() has been called
    int wakeWrite_ = -1;
#endif
};

}  // namespace blockavg
