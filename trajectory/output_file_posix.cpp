#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "trajectory/output_file.hpp"

namespace blockavg {

bool OutputFile::open(const std::string& path) {
    close();
    do {
        descriptor_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (descriptor_ < 0 && errno == EINTR);
    error_ = descriptor_ < 0 ? errno : 0;
    return descriptor_ >= 0;
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
    while (!bytes.empty()) {
        const ssize_t wrote =
            ::write(descriptor_, bytes.data(), bytes.size() > SSIZE_MAX ? SSIZE_MAX : bytes.size());
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            error_ = wrote < 0 ? errno : EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

std::string OutputFile::errorMessage() const {
    return std::generic_category().message(error_ != 0 ? error_ : EIO);
}

}  // namespace blockavg
