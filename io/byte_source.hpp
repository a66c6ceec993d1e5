#pragma once

// Where the reader's bytes come from: a file, standard input, a
// decompressor, or anything else that hands out bytes as they become
// available.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace blockavg {

class ByteSource {
public:
    ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;
    virtual ~ByteSource() = default;

    // Reads at most `size` bytes, waiting only until some are available (a
    // pipe gives what its producer has written so far). Returns the count,
    // 0 at the end of the data, or -1 on an error that errorMessage() names.
    virtual std::ptrdiff_t readSome(char* buffer, std::size_t size) = 0;

    // Whether `path` names the very file being read, through any link.
    // False when that cannot be told.
    virtual bool isSameFileAs(const std::string& path) const = 0;

    // Why the last read failed.
    virtual std::string errorMessage() const = 0;

    // Whether readAt() may be used instead of readSome(): the bytes lie in
    // a regular file, where any of them can be read at any time, from
    // several threads at once.
    virtual bool readsAtOffsets() const { return false; }

    // Reads at most `size` bytes from `offset` on, counted from the first
    // byte readSome() would give. Returns the count, 0 at the end of the
    // data, or -1 on an error that errorMessage() names.
    virtual std::ptrdiff_t readAt(std::uint64_t offset, char* buffer, std::size_t size) {
        (void)offset;
        (void)buffer;
        (void)size;
        return -1;
    }

    // Whether a read may wait on something outside the process (a pipe, a
    // terminal) rather than only on the disk.
    virtual bool mayWait() const { return true; }

    // For a source that mayWait(): whether a read now would give bytes, or
    // the end, without waiting on the producer. False when that cannot be
    // told. Called by the thread that reads.
    virtual bool bytesWaiting() { return false; }

    // Reads as readSome() does, but returns notNow where it would wait on
    // the producer: what a source that mayWait() has at hand.
    static constexpr std::ptrdiff_t notNow = -2;
    virtual std::ptrdiff_t readNow(char* buffer, std::size_t size) {
        return bytesWaiting() ? readSome(buffer, size) : notNow;
    }

    // Compressed input: how many of the bytes given so far lie in parts
    // whose checks (checksums, sizes) have passed. Everything, for input
    // that has no checks. Safe from any thread.
    static constexpr std::uint64_t allChecked = std::numeric_limits<std::uint64_t>::max();
    virtual std::uint64_t checkedBytes() const noexcept { return allChecked; }

    // After a read failed: whether the data failed a check (it is damaged,
    // so the bytes given since checkedBytes() may be wrong), rather than
    // ending early or not being readable.
    virtual bool damaged() const { return false; }

    // How many bytes of the input itself (compressed ones, for compressed
    // input) have been read, for a progress line. Safe from any thread.
    virtual std::uint64_t bytesTaken() const noexcept { return 0; }

    // Whether reading is work for a processor (decompression), not only
    // waiting on the input.
    virtual bool decodes() const { return false; }

    // Once readSome() has returned 0: what was passed over at the end of
    // the input and deserves a warning (bytes after the last gzip member),
    // worded to follow the input's name; empty when nothing was.
    virtual std::string endNote() const { return {}; }

    // Ends every wait for good once the first `onceChecked` bytes given
    // have passed their checks (at once for 0, or for input without
    // checks): a read that waits then returns, and every later one, with 0
    // as at the end of the data. For a run that has ended while a producer
    // keeps its pipe open. Safe from any thread.
    virtual void stopReading(std::uint64_t onceChecked = 0) noexcept { (void)onceChecked; }

    // Decoding that other threads may take on for the source (the units of
    // compressed input that decode on their own), so that the run's
    // threads are the only ones: `helpers` threads call takeWork() while
    // workWaiting(), and `wake` is called whenever work is added. Until
    // then, and after shareWork(0, {}), the thread that reads does it all.
    virtual void shareWork(unsigned helpers, const std::function<void()>& wake) {
        (void)helpers;
        (void)wake;
    }
    virtual bool workWaiting() const noexcept { return false; }
    // Takes one part of that work, if there is one; false when there was
    // none.
    virtual bool takeWork() { return false; }
};

}  // namespace blockavg
