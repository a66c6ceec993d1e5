#pragma once

// The output trajectory file, written with the operating system's descriptor
// calls so that each averaged frame goes out in one write. One writer at a
// time: opening takes an exclusive advisory lock, which ends with the
// process, and only then empties the file. A write that fails leaves the
// file cut back to the end of the last whole write, and cutBack() does the
// same from a signal handler. One implementation per platform
// (output_file_posix.cpp, output_file_win32.cpp).

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

private:
    int descriptor_ = -1;
    bool truncatable_ = false;  // a regular file (not a device such as /dev/null)
    int error_ = 0;
    std::atomic<std::int64_t> committedSize_{0};
    std::atomic<std::int64_t> completedWrites_{0};
    std::atomic<bool> cutBack_{false};
    std::mutex writing_;  // on Windows, between write() and cutBack()
};

}  // namespace blockavg
