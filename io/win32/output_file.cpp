#include "io/output_file.hpp"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "host/win32/windows_api.hpp"

namespace blockavg {

OutputFile::OpenResult OutputFile::open(const std::string& path, bool /*waitForReader*/) {
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
    resetCounts();
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

bool OutputFile::write(std::string_view bytes, std::span<const std::size_t> frameEnds) {
    // A console control handler runs on a thread of its own: it waits here
    // for a write in progress before it cuts the file back.
    const std::lock_guard<std::mutex> lock(writing_);
    if (cutBack_) {
        error_ = EBADF;
        return false;
    }
    std::size_t sent = 0;
    std::size_t endsPassed = 0;
    countSent(0, frameEnds, endsPassed);
    while (sent < bytes.size()) {
        const std::size_t left = bytes.size() - sent;
        const unsigned int request = left > INT_MAX ? INT_MAX : static_cast<unsigned int>(left);
        const int wrote = _write(descriptor_, bytes.data() + sent, request);
        if (wrote <= 0) {
            error_ = wrote < 0 ? errno : EIO;
            sentBefore_ += static_cast<std::int64_t>(sent);
            return false;
        }
        sent += static_cast<std::size_t>(wrote);
        countSent(sent, frameEnds, endsPassed);
    }
    sentBefore_ += static_cast<std::int64_t>(sent);
    return true;
}

void OutputFile::cutBack() noexcept {
    const std::lock_guard<std::mutex> lock(writing_);
    cutBackHoldingLock();
}

// As on POSIX systems, a cut back is for good: a later write would otherwise
// add a frame after the cut, with a frame missing.
void OutputFile::cutBackHoldingLock() noexcept {
    cutBack_ = true;
    if (descriptor_ >= 0 && truncatable_) {
        _chsize_s(descriptor_, committed().size);
    }
}

}  // namespace blockavg
