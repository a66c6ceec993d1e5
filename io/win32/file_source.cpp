#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

// File identity: _fstat gives no inode on Windows, so an open file is
// matched against a named one by volume serial number and file index.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <system_error>

#include "host/win32/windows_api.hpp"
#include "io/file_source.hpp"

namespace blockavg {

bool FileSource::open(const std::string& path) {
    close();
    if (path == "-") {
        descriptor_ = _fileno(stdin);
        _setmode(descriptor_, _O_BINARY);
    } else {
        descriptor_ = _open(path.c_str(), _O_RDONLY | _O_BINARY);
        ownsDescriptor_ = descriptor_ >= 0;
    }
    if (descriptor_ < 0) {
        error_ = openError(path.c_str());
        close();
        return false;
    }
    struct _stat64 status {};
    if (_fstat64(descriptor_, &status) != 0) {
        error_ = errno;
        close();
        return false;
    }
    if ((status.st_mode & _S_IFMT) == _S_IFDIR) {
        error_ = EISDIR;
        close();
        return false;
    }
    regular_ = (status.st_mode & _S_IFMT) == _S_IFREG;
    size_ = regular_ && status.st_size > 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    error_ = 0;
    return true;
}

void FileSource::close() noexcept {
    if (ownsDescriptor_) {
        _close(descriptor_);
    }
    descriptor_ = -1;
    ownsDescriptor_ = false;
    start_ = -1;
    readTo_ = 0;
}

// A read that may wait names its thread, so that stopReading() can cancel
// it; the cancel is repeated until the read has returned, as it may come
// just before the read begins.
void FileSource::stopReading(std::uint64_t /*onceChecked*/) noexcept {
    std::unique_lock lock(stopMutex_);
    stopped_ = true;
    while (readingThread_ != nullptr) {
        CancelSynchronousIo(static_cast<HANDLE>(readingThread_));
        lock.unlock();
        Sleep(1);
        lock.lock();
    }
}

std::ptrdiff_t FileSource::readSome(char* buffer, std::size_t size) {
    const unsigned int request = size > INT_MAX ? INT_MAX : static_cast<unsigned int>(size);
    HANDLE thread = nullptr;
    if (!regular_) {
        const std::lock_guard lock(stopMutex_);
        if (stopped_) {
            return 0;
        }
        if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                            0, FALSE, DUPLICATE_SAME_ACCESS)) {
            readingThread_ = thread;
        }
    }
    const int got = _read(descriptor_, buffer, request);
    if (thread != nullptr) {
        const std::lock_guard lock(stopMutex_);
        readingThread_ = nullptr;
        CloseHandle(thread);
        if (stopped_) {
            return 0;
        }
    }
    if (got < 0) {
        error_ = errno;
        return -1;
    }
    readTo_ += static_cast<std::uint64_t>(got);
    return got;
}

// A pipe tells what waits in it; one whose writer has gone fails the peek,
// and the read that follows meets its end at once. A console is not told.
bool FileSource::bytesWaiting() {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor_));
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_PIPE) {
        return false;
    }
    DWORD waiting = 0;
    return PeekNamedPipe(handle, nullptr, 0, nullptr, &waiting, nullptr) == 0 || waiting > 0;
}

// Reads go in order, from one thread: ReadFile at an offset would move the
// descriptor's position under _read.
bool FileSource::readsAtOffsets() const { return false; }

std::ptrdiff_t FileSource::readAt(std::uint64_t, char*, std::size_t) { return -1; }

bool isSameFile(int descriptor, const std::string& path) {
    if (descriptor < 0) {
        return false;
    }
    // A console or a pipe is not a disk file; it is never the named one.
    const auto mine = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    BY_HANDLE_FILE_INFORMATION mineInfo{};
    if (mine == INVALID_HANDLE_VALUE || GetFileType(mine) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(mine, &mineInfo)) {
        return false;
    }
    const HANDLE named =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION namedInfo{};
    const bool same = GetFileInformationByHandle(named, &namedInfo) &&
                      namedInfo.dwVolumeSerialNumber == mineInfo.dwVolumeSerialNumber &&
                      namedInfo.nFileIndexHigh == mineInfo.nFileIndexHigh &&
                      namedInfo.nFileIndexLow == mineInfo.nFileIndexLow;
    CloseHandle(named);
    return same;
}

bool FileSource::isSameFileAs(const std::string& path) const {
    return isSameFile(descriptor_, path);
}

std::string FileSource::errorMessage() const {
    return std::generic_category().message(error_.load());
}

}  // namespace blockavg
