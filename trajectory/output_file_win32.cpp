#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "trajectory/output_file.hpp"

namespace blockavg {

bool OutputFile::open(const std::string& path) {
    close();
    // Binary mode: the same bytes as on every other system (no CR LF).
    descriptor_ = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                        _S_IREAD | _S_IWRITE);
    error_ = descriptor_ < 0 ? errno : 0;
    return descriptor_ >= 0;
}

bool OutputFile::close() noexcept {
    if (descriptor_ < 0) {
        return true;
    }
    const bool closed = _close(descriptor_) == 0;
    if (!closed) {
        error_ = errno;
    }
    descriptor_ = -1;
    return closed;
}

bool OutputFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const unsigned int request =
            bytes.size() > INT_MAX ? INT_MAX : static_cast<unsigned int>(bytes.size());
        const int wrote = _write(descriptor_, bytes.data(), request);
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
