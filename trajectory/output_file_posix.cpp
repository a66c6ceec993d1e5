#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "trajectory/output_file.hpp"

namespace blockavg {

static_assert(std::atomic<std::int64_t>::is_always_lock_free,
              "cutBack() reads these from a signal handler");

OutputFile::OpenResult OutputFile::open(const std::string& path) {
    close();
    do {
        descriptor_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    } while (descriptor_ < 0 && errno == EINTR);
    if (descriptor_ < 0) {
        error_ = errno;
        return OpenResult::failed;
    }
    // A file system without locks (some network mounts) cannot keep two
    // runs apart; the run goes on without one.
    if (::flock(descriptor_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close();
        return OpenResult::lockedByAnother;
    }
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) {
        error_ = errno;
        close();
        return OpenResult::failed;
    }
    truncatable_ = S_ISREG(status.st_mode);
    if (truncatable_ && ::ftruncate(descriptor_, 0) != 0) {
        error_ = errno;
        close();
        return OpenResult::failed;
    }
    committedSize_ = 0;
    completedWrites_ = 0;
    cutBack_ = false;
    error_ = 0;
    return OpenResult::opened;
}

bool OutputFile::close() noexcept {
    if (descriptor_ < 0) {
        return true;
    }
    const bool closed = ::close(descriptor_) == 0 || errno == EINTR;
    if (!closed) {
        error_ = errno;
    }
    descriptor_ = -1;
    return closed;
}

bool OutputFile::write(std::string_view bytes) {
    if (cutBack_) {
        error_ = EBADF;
        return false;
    }
    const std::size_t size = bytes.size();
    while (!bytes.empty()) {
        const ssize_t wrote =
            ::write(descriptor_, bytes.data(), bytes.size() > SSIZE_MAX ? SSIZE_MAX : bytes.size());
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            error_ = wrote < 0 ? errno : EIO;
            cutBack();
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    committedSize_ += static_cast<std::int64_t>(size);
    ++completedWrites_;
    return true;
}

void OutputFile::cutBack() noexcept {
    cutBack_ = true;
    if (descriptor_ >= 0 && truncatable_) {
        // ftruncate is async-signal-safe; the atomics are lock-free.
        while (::ftruncate(descriptor_, committedSize_.load()) != 0 && errno == EINTR) {
        }
    }
}

std::string OutputFile::errorMessage() const {
    return std::generic_category().message(error_ != 0 ? error_ : EIO);
}

}  // namespace blockavg
