#include "io/output_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

namespace blockavg {

static_assert(std::atomic<std::int64_t>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free,
              "cutBack() and delivery() read these from a signal handler");

namespace {

// Every signal held back on this thread while an object of it lives, when
// `hold`: a handler that runs on the writing thread then sees the bytes a
// FIFO's reader was sent counted before the write or after it, never in
// between. A regular file needs no such care (it is cut back to its last
// whole write) and no system calls for it.
class SignalsHeld {
public:
    explicit SignalsHeld(bool hold) noexcept : held_(hold) {
        if (held_) {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, &previous_);
        }
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
    ~SignalsHeld() {
        if (held_) {
            pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        }
    }

private:
    bool held_;
    sigset_t previous_{};
};

}  // namespace

OutputFile::OpenResult OutputFile::open(const std::string& path, bool waitForReader) {
    close();
    // A FIFO without a reader would make open wait without a word: without
    // blocking, it fails at once (ENXIO), and is tried again for a second.
    const int openFlags = O_WRONLY | O_CREAT | O_CLOEXEC | (waitForReader ? 0 : O_NONBLOCK);
    for (int tries = 0;; ++tries) {
        descriptor_ = ::open(path.c_str(), openFlags, 0666);
        if (descriptor_ >= 0 || (errno != EINTR && errno != ENXIO)) {
            break;
        }
        if (errno == ENXIO) {
            if (tries == 20) {
                return OpenResult::noReaderYet;
            }
            ::poll(nullptr, 0, 50);
        }
    }
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
    // A FIFO or a terminal may take part of a frame and then make the
    // writer wait for its reader. Without blocking, each write returns what
    // it sent, so that an interruption while the writer waits (in poll)
    // knows whether part of a frame went out. Only this process's own open
    // of the file is changed.
    if (!truncatable_) {
        const int flags = ::fcntl(descriptor_, F_GETFL);
        if (flags != -1) {
            ::fcntl(descriptor_, F_SETFL, flags | O_NONBLOCK);
        }
    }
    resetCounts();
    return OpenResult::opened;
}

bool OutputFile::close() noexcept {
    if (descriptor_ < 0) {
        return true;
    }
    if (!truncatable_) {
        // Where opening /dev/fd/N shares the open file with other
        // processes (macOS, the BSDs), they get it back as it was.
        const int flags = ::fcntl(descriptor_, F_GETFL);
        if (flags != -1 && (flags & O_NONBLOCK) != 0) {
            ::fcntl(descriptor_, F_SETFL, flags & ~O_NONBLOCK);
        }
    }
    const bool closed = ::close(descriptor_) == 0 || errno == EINTR;
    if (!closed) {
        error_ = errno;
    }
    descriptor_ = -1;
    return closed;
}

bool OutputFile::write(std::string_view bytes, std::span<const std::size_t> frameEnds) {
    if (cutBack_) {
        error_ = EBADF;
        return false;
    }
    const std::size_t size = bytes.size();
    std::size_t sent = 0;
    std::size_t endsPassed = 0;
    countSent(0, frameEnds, endsPassed);
    while (sent < size) {
        ssize_t wrote = 0;
        int writeError = 0;
        {
            const SignalsHeld held(!truncatable_);
            const std::size_t request = size - sent > SSIZE_MAX ? SSIZE_MAX : size - sent;
            wrote = ::write(descriptor_, bytes.data() + sent, request);
            writeError = errno;
            if (wrote > 0) {
                sent += static_cast<std::size_t>(wrote);
                countSent(sent, frameEnds, endsPassed);
            }
        }
        if (wrote > 0 || (wrote < 0 && writeError == EINTR)) {
            continue;
        }
        if (wrote < 0 && (writeError == EAGAIN || writeError == EWOULDBLOCK)) {
            // The reader has not taken what was sent yet: wait for room.
            pollfd room{descriptor_, POLLOUT, 0};
            while (::poll(&room, 1, -1) < 0 && errno == EINTR) {
            }
            continue;
        }
        error_ = wrote < 0 ? writeError : EIO;
        sentBefore_ += static_cast<std::int64_t>(sent);
        return false;
    }
    sentBefore_ += static_cast<std::int64_t>(size);
    return true;
}

void OutputFile::cutBack() noexcept {
    cutBack_ = true;
    if (descriptor_ >= 0 && truncatable_) {
        // ftruncate is async-signal-safe; the atomics are lock-free.
        while (::ftruncate(descriptor_, committed().size) != 0 && errno == EINTR) {
        }
    }
}

}  // namespace blockavg
