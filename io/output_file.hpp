#pragma once

// The output trajectory file, written with the operating system's descriptor
// calls so that each averaged frame goes out in one write, or a large one in
// parts that count only once its last part is out. One writer at a
// time: opening takes an exclusive advisory lock, which ends with the
// process, and only then empties the file. A write that fails leaves the
// file cut back to the end of the last whole write, and cutBack() does the
// same from a signal handler. An output that is not a regular file (a FIFO,
// a terminal) cannot be cut back: there delivery() tells what its reader
// was given. One implementation per platform (io/posix/output_file.cpp,
// io/win32/output_file.cpp).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "io/byte_sink.hpp"

namespace blockavg {

class OutputFile final : public ByteSink {
public:
    enum class OpenResult { opened, failed, lockedByAnother };

    OutputFile() = default;
    ~OutputFile() override { close(); }

    // Opens the file, creating it if needed, takes the lock and empties it.
    // When another process holds the lock the file is left as it is. On
    // failure errorMessage() tells why.
    OpenResult open(const std::string& path);
    // False if closing reports an error (some file systems report a failed
    // write only here).
    bool close() noexcept;

    // Writes all of `bytes`, in one write where the system allows it: a
    // whole frame, or part of one (`endsFrame` false). On failure the file
    // is cut back to the end of the last whole frame.
    bool write(std::string_view bytes, bool endsFrame) override;
    void abandonFrame() noexcept override { cutBack(); }
    std::string errorMessage() const override;

    // Cuts the file back to the end of the last whole frame, for good:
    // later writes fail. Safe in a signal handler on POSIX systems, when
    // the handler runs on the thread that writes; on Windows it waits for a
    // write in progress to end.
    void cutBack() noexcept;
    // How many frames have been written whole.
    std::int64_t completedWrites() const noexcept { return committed().writes; }

    // What the file holds, or its reader was given: whole frames, and
    // whether part of the next one went out too. Safe in a signal handler
    // on the thread that writes, which never sees a write half-counted.
    struct Delivery {
        std::int64_t wholeWrites = 0;
        bool partOfNext = false;
        bool cutBackable = false;  // a regular file: cutBack() leaves whole writes only
    };
    Delivery delivery() const noexcept {
        return {committed().writes, sentOfNext_.load() > 0, truncatable_};
    }

private:
    // The size after the last whole frame and the number of whole frames,
    // published together: a handler that interrupts write() sees both as
    // they were before it or both as they are after it. The writer fills
    // the slot not in use, then switches to it.
    struct Committed {
        std::int64_t size = 0;
        std::int64_t writes = 0;
    };
    Committed committed() const noexcept { return committed_[current_.load()]; }
    void commit(std::size_t size) noexcept {
        const int now = current_.load();
        committed_[1 - now] = {committed_[now].size + static_cast<std::int64_t>(size),
                               committed_[now].writes + 1};
        current_.store(1 - now);
    }
    void resetCommitted() noexcept {
        committed_[0] = {};
        current_.store(0);
    }
    void cutBackHoldingLock() noexcept;  // Windows: cutBack() inside write()

    int descriptor_ = -1;
    bool truncatable_ = false;  // a regular file (not a device such as /dev/null)
    int error_ = 0;
    Committed committed_[2]{};
    std::atomic<int> current_{0};
    std::size_t partsSent_ = 0;                // bytes of the next frame in earlier writes
    std::atomic<std::int64_t> sentOfNext_{0};  // bytes of the next frame already sent
    std::atomic<bool> cutBack_{false};
    std::mutex writing_;  // on Windows, between write() and cutBack()
};

}  // namespace blockavg
