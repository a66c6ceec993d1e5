#pragma once

// A byte source read a MiB at a time, on a thread of its own a few buffers
// ahead of its reader where there are processors to spare: decompression
// then runs as a stage of its own, beside the parsing, rather than inside the
// in-order reading step. Without the thread it is read the same way, a MiB at
// a time, so that a decompressor sees the same requests either way (where a
// damaged stream's text ends can depend on them). A buffer is handed on as
// soon as the source gives it bytes, so input from a pipe still arrives as it
// comes. The thread takes none of the signals that end the process, and has
// ended when the object goes (a read it waits in is stopped then).

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/byte_source.hpp"

namespace blockavg {

class BackgroundSource final : public ByteSource {
public:
    // Reads `inner`, on a thread of its own if `ownThread` and one can be
    // started, otherwise as its reader asks.
    BackgroundSource(ByteSource& inner, bool ownThread);
    ~BackgroundSource() override;

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override;
    bool isSameFileAs(const std::string& path) const override { return inner_.isSameFileAs(path); }
    std::string errorMessage() const override;
    bool checksItsBytes() const override { return inner_.checksItsBytes(); }
    bool mayWait() const override { return inner_.mayWait(); }
    std::string endNote() const override;
    // Ends the thread's reading too, so that it can be joined at once.
    void stopReading() noexcept override;

private:
    struct Buffer {
        std::vector<char> bytes;
        std::size_t size = 0;
    };

    void readAhead();
    // Fills the next buffer from `inner_`; the lock is released meanwhile.
    void fill(std::unique_lock<std::mutex>& lock);

    ByteSource& inner_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Buffer> buffers_;
    std::size_t nextToFill_ = 0;  // buffers are filled and read in turn
    std::size_t nextToRead_ = 0;
    std::size_t filled_ = 0;      // how many are filled and not yet read
    std::size_t readOffset_ = 0;  // into the buffer being read
    bool innerEnded_ = false;
    bool innerFailed_ = false;
    bool outOfMemory_ = false;  // the inner source threw std::bad_alloc
    bool endGiven_ = false;     // readSome() has returned 0
    bool stopping_ = false;
    std::string error_;
    std::thread thread_;
};

}  // namespace blockavg
