#include "io/file_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

namespace blockavg {

bool FileSource::open(const std::string& path) {
    close();
    if (path == "-") {
        descriptor_ = STDIN_FILENO;
    } else {
        do {
            descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (descriptor_ < 0 && errno == EINTR);
        ownsDescriptor_ = descriptor_ >= 0;
    }
    struct stat status {};
    if (descriptor_ < 0 || ::fstat(descriptor_, &status) != 0) {
        error_ = errno;
        close();
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        error_ = EISDIR;
        close();
        return false;
    }
    regular_ = S_ISREG(status.st_mode);
    // Standard input may be a file that an earlier command read part of.
    start_ = regular_ ? ::lseek(descriptor_, 0, SEEK_CUR) : -1;
    size_ = regular_ && start_ >= 0 && status.st_size > start_
                ? static_cast<std::uint64_t>(status.st_size - start_)
                : 0;
    error_ = 0;
    // A read that may wait for a producer waits for the wake-up too. Without
    // a wake-up (no descriptors left) reads wait as they would anyway.
    int wake[2] = {-1, -1};
    if (!regular_ && ::pipe(wake) == 0) {
        wakeRead_ = wake[0];
        wakeWrite_ = wake[1];
        for (const int end : wake) {
            ::fcntl(end, F_SETFD, FD_CLOEXEC);
            ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
        }
    }
    return true;
}

void FileSource::close() noexcept {
    if (ownsDescriptor_) {
        ::close(descriptor_);
    } else if (descriptor_ >= 0 && start_ >= 0 && readTo_ > 0) {
        // Standard input read at offsets is left where reading it in turn
        // would have left it, for a command after blockavg that shares it.
        ::lseek(descriptor_, static_cast<off_t>(start_ + static_cast<std::int64_t>(readTo_.load())),
                SEEK_SET);
    }
    descriptor_ = -1;
    ownsDescriptor_ = false;
    start_ = -1;
    readTo_ = 0;
    for (int* end : {&wakeRead_, &wakeWrite_}) {
        if (*end >= 0) {
            ::close(*end);
        }
        *end = -1;
    }
}

void FileSource::stopReading(std::uint64_t /*onceChecked*/) noexcept {
    if (wakeWrite_ >= 0) {
        // The wake-up pipe is never drained: it stays readable for good.
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_, &byte, 1);
    }
}

std::ptrdiff_t FileSource::readSome(char* buffer, std::size_t size) {
    if (wakeRead_ >= 0) {
        pollfd waits[2] = {{descriptor_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        while (::poll(waits, 2, -1) < 0) {
            if (errno != EINTR) {
                error_ = errno;
                return -1;
            }
        }
        if (waits[1].revents != 0) {
            return 0;
        }
    }
    for (;;) {
        const ssize_t got = ::read(descriptor_, buffer, size > SSIZE_MAX ? SSIZE_MAX : size);
        if (got >= 0) {
            readTo_ += static_cast<std::uint64_t>(got);
            return got;
        }
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
    }
}

bool FileSource::bytesWaiting() {
    pollfd ready{descriptor_, POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1;
}

bool FileSource::readsAtOffsets() const { return start_ >= 0; }

std::ptrdiff_t FileSource::readAt(std::uint64_t offset, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got =
            ::pread(descriptor_, buffer, size > SSIZE_MAX ? SSIZE_MAX : size,
                    static_cast<off_t>(static_cast<std::uint64_t>(start_) + offset));
        if (got >= 0) {
            readTo(offset + static_cast<std::uint64_t>(got));
            return got;
        }
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
    }
}

bool isSameFile(int descriptor, const std::string& path) {
    struct stat mine {};
    struct stat theirs {};
    return descriptor >= 0 && ::fstat(descriptor, &mine) == 0 && !S_ISCHR(mine.st_mode) &&
           ::stat(path.c_str(), &theirs) == 0 && mine.st_dev == theirs.st_dev &&
           mine.st_ino == theirs.st_ino;
}

bool FileSource::isSameFileAs(const std::string& path) const {
    return isSameFile(descriptor_, path);
}

std::string FileSource::errorMessage() const {
    return std::generic_category().message(error_.load());
}

}  // namespace blockavg
