#pragma once

// The output trajectory file, written with the operating system's descriptor
// calls: whole frames in one write, a large frame in slices. One writer at a
// time: opening takes an exclusive advisory lock, which ends with the
// process, and only then empties the file. Frames count as written once
// committed; cutBack() cuts the file back to the end of the last written
// frame, also from a signal handler. An output that is not a regular file
// (a FIFO, a terminal) cannot be cut back: there frames count as they go
// out, and delivery() tells what its reader was given. One implementation
// per platform (io/posix/output_file.cpp, io/win32/output_file.cpp).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "io/byte_sink.hpp"

namespace blockavg {

class OutputFile final : public ByteSink {
public:
    enum class OpenResult { opened, failed, lockedByAnother, noReaderYet };

    OutputFile() = default;
    ~OutputFile() override { close(); }

    // Opens the file, creating it if needed, takes the lock and empties it.
    // When another process holds the lock the file is left as it is. On
    // failure errorMessage() tells why. A FIFO that no one has opened to
    // read for a second gives noReaderYet, unless `waitForReader`.
    OpenResult open(const std::string& path, bool waitForReader = false);
    // False if closing reports an error (some file systems report a failed
    // write only here).
    bool close() noexcept;

    bool write(std::string_view bytes, std::span<const std::size_t> frameEnds) override;
    std::int64_t framesSent() const noexcept override { return framesSent_; }
    void commit() noexcept override;
    bool countsOnCommit() const noexcept override { return truncatable_; }
    void abandon() noexcept override { cutBack(); }
    void abandonAt(SinkPlace place) noexcept override;
    std::string errorMessage() const override;

    // Cuts the file back to the end of the last written frame, for good:
    // later writes fail. Safe in a signal handler on POSIX systems, when
    // the handler runs on the thread that writes; on Windows it waits for a
    // write in progress to end.
    void cutBack() noexcept;

    // What the file holds, or its reader was given: whole frames, and
    // whether part of the next one went out too. Safe in a signal handler
    // on the thread that writes, which never sees a write half-counted.
    struct Delivery {
        std::int64_t wholeWrites = 0;
        bool partOfNext = false;
        bool cutBackable = false;  // a regular file: cutBack() leaves whole frames only
    };
    Delivery delivery() const noexcept {
        return {committed().writes, sentOfNext_.load() > 0, truncatable_};
    }

private:
    // The size after the last written frame and the number of written
    // frames, published together: a handler that interrupts write() sees
    // both as they were before it or both as they are after it. The writer
    // fills the record not in use, then switches to it.
    struct Committed {
        std::int64_t size = 0;
        std::int64_t writes = 0;
    };
    Committed committed() const noexcept { return committed_[current_.load()]; }
    void publish(Committed now) noexcept {
        const int next = 1 - current_.load();
        committed_[next] = now;
        current_.store(next);
    }
    // Counts what a write has sent so far: `sent` bytes of `bytes`.
    void countSent(std::size_t sent, std::span<const std::size_t> frameEnds,
                   std::size_t& endsPassed) noexcept;
    void resetCounts() noexcept;
    void cutBackHoldingLock() noexcept;  // Windows: cutBack() with `writing_` held

    int descriptor_ = -1;
    bool truncatable_ = false;  // a regular file (not a device such as /dev/null)
    int error_ = 0;
    Committed committed_[2]{};
    std::atomic<int> current_{0};
    std::int64_t sentBefore_ = 0;  // bytes sent by the writes before the one in progress
    std::int64_t wholeEnd_ = 0;    // bytes up to the end of the last frame sent whole
    std::int64_t framesSent_ = 0;
    std::atomic<std::int64_t> sentOfNext_{0};  // bytes of the next frame already sent
    std::atomic<bool> cutBack_{false};
    std::mutex writing_;  // on Windows, between write() or commit() and cutBack()
};

}  // namespace blockavg
