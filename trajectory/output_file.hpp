#pragma once

// The output trajectory file, written with the operating system's descriptor
// calls so that each averaged frame goes out in one write. One writer at a
// time: opening takes an exclusive advisory lock, which ends with the
// process, and only then empties the file. A write that fails leaves the
// file cut back to the end of the last whole write, and cutBack() does the
// same from a signal handler. An output that is not a regular file (a FIFO,
// a terminal) cannot be cut back: there delivery() tells what its reader
// was given. One implementation per platform (output_file_posix.cpp,
// output_file_win32.cpp).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "trajectory/byte_sink.hpp"

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

    // Writes all of `bytes`, in one write where the system allows it. On
    // failure the file is cut back to where this write began.
    bool write(std::string_view bytes) override;
    std::string errorMessage() const override;

    // Cuts the file back to the end of the last whole write, for good:
    // later writes fail. Safe in a signal handler on POSIX systems, when
    // the handler runs on the thread that writes; on Windows it waits for a
    // write in progress to end.
    void cutBack() noexcept;
    // How many writes have completed whole.
    std::int64_t completedWrites() const noexcept { return completedWrites_.load(); }

    // What the file holds, or its reader was given: whole writes, and
    // whether part of the next one went out too. Safe in a signal handler
    // on the thread that writes, which never sees a write half-counted.
    struct Delivery {
        std::int64_t wholeWrites = 0;
        bool partOfNext = false;
        bool cutBackable = false;  // a regular file: cutBack() leaves whole writes only
    };
    Delivery delivery() const noexcept {
        return {completedWrites_.load(), sentOfNext_.load() > 0, truncatable_};
    }

private:
    void cutBackHoldingLock() noexcept;  // Windows: cutBack() inside write()

    int descriptor_ = -1;
    bool truncatable_ = false;  // a regular file (not a device such as /dev/null)
    int error_ = 0;
    std::atomic<std::int64_t> committedSize_{0};
    std::atomic<std::int64_t> completedWrites_{0};
    std::atomic<std::int64_t> sentOfNext_{0};  // bytes of a write in progress already sent
    std::atomic<bool> cutBack_{false};
    std::mutex writing_;  // on Windows, between write() and cutBack()
};

}  // namespace blockavg
