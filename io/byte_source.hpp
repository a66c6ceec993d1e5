#pragma once

// Where the reader's bytes come from: a file, standard input, or anything
// else that hands out bytes as they become available.

#include <cstddef>
#include <cstdint>
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
    // the end, without waiting. False when that cannot be told.
    virtual bool bytesWaiting() const { return false; }

    // Whether reading to the end tells if the bytes are whole (a compressed
    // stream's checksums), so that a reader that stops early should read on
    // to find out.
    virtual bool checksItsBytes() const { return false; }

    // Once readSome() has returned 0: what was passed over at the end of
    // the input and deserves a warning (bytes after the last gzip member),
    // worded to follow the input's name; empty when nothing was.
    virtual std::string endNote() const { return {}; }

    // Ends every wait for good: a read that waits now returns at once, and
    // every later one, with 0 as at the end of the data. For a run that has
    // ended while a producer keeps its pipe open. Safe from any thread.
    virtual void stopReading() noexcept {}
};

}  // namespace blockavg
