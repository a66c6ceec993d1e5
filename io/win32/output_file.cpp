#include "io/output_file.hpp"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "io/win32/windows_api.hpp"

namespace blockavg {

OutputFile::OpenResult OutputFile::open(const std::string& path) {
    close();
    // Binary mode: the same bytes as on every other system (no CR LF).
    descriptor_ = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor_ < 0) {
        error_ = openError(path.c_str());
        return OpenResult::failed;
    }
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor_));
    OVERLAPPED whole{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                   MAXDWORD, &whole) == 0 &&
        GetLastError() == ERROR_LOCK_VIOLATION) {
        close();
        return OpenResult::lockedByAnother;
    }
    truncatable_ = GetFileType(handle) == FILE_TYPE_DISK;
    if (truncatable_ && _chsize_s(descriptor_, 0) != 0) {
        error_ = errno;
        close();
        return OpenResult::failed;
    }
    resetCommitted();
    partsSent_ = 0;
    sentOfNext_ = 0;
    cutBack_ = false;
    error_ = 0;
    return OpenResult::opened;
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

bool OutputFile::write(std::string_view bytes, bool endsFrame) {
    // A console control handler runs on a thread of its own: it waits here
    // for a write in progress before it cuts the file back.
    const std::lock_guard<std::mutex> lock(writing_);
    if (cutBack_) {
        error_ = EBADF;
        return false;
    }
    const std::size_t size = bytes.size();
    while (!bytes.empty()) {
        const unsigned int request =
            bytes.size() > INT_MAX ? INT_MAX : static_cast<unsigned int>(bytes.size());
        const int wrote = _write(descriptor_, bytes.data(), request);
        if (wrote <= 0) {
            error_ = wrote < 0 ? errno : EIO;
            cutBackHoldingLock();
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
    if (endsFrame) {
        commit(partsSent_ + size);
        partsSent_ = 0;
    } else {
        partsSent_ += size;
    }
    sentOfNext_ = static_cast<std::int64_t>(partsSent_);
    return true;
}

void OutputFile::cutBack() noexcept {
    const std::lock_guard<std::mutex> lock(writing_);
    cutBackHoldingLock();
}

// As on POSIX systems, a failed write cuts the file back for good: a later
// write would otherwise add a frame after the cut, with a frame missing.
void OutputFile::cutBackHoldingLock() noexcept {
    cutBack_ = true;
    if (descriptor_ >= 0 && truncatable_) {
        _chsize_s(descriptor_, committed().size);
    }
}

std::string OutputFile::errorMessage() const {
    return std::generic_category().message(error_ != 0 ? error_ : EIO);
}

}  // namespace blockavg
