#include "trajectory/input_file.hpp"

// Reading uses the operating system's descriptor interface rather than
// std::fread: fread keeps reading until its whole request is met, which on a
// pipe holds back every frame until a full buffer has arrived. The two
// branches below do the same on POSIX systems and on Windows.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

// File identity: _fstat gives no inode on Windows, so standard input is
// matched against a named file by volume serial number and file index.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <system_error>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace blockavg {

void InputFile::openBytes(std::string_view bytes, std::size_t chunkSize) {
    close();
    inMemory_ = true;
    bytes_ = bytes;
    chunkSize_ = std::max<std::size_t>(chunkSize, 1);
    error_ = 0;
}

namespace {

// Reads from the bytes given to openBytes.
std::ptrdiff_t readBytes(std::string_view& bytes, std::size_t chunkSize, char* buffer,
                         std::size_t size) noexcept {
    const std::size_t got = std::min({size, chunkSize, bytes.size()});
    if (got > 0) {
        std::memcpy(buffer, bytes.data(), got);
    }
    bytes.remove_prefix(got);
    return static_cast<std::ptrdiff_t>(got);
}

}  // namespace

#ifdef _WIN32

bool InputFile::open(const std::string& path) {
    close();
    if (path == "-") {
        descriptor_ = _fileno(stdin);
        ownsDescriptor_ = false;
        _setmode(descriptor_, _O_BINARY);
    } else {
        descriptor_ = _open(path.c_str(), _O_RDONLY | _O_BINARY);
        ownsDescriptor_ = descriptor_ >= 0;
        path_ = path;
    }
    struct _stat64 status {};
    if (descriptor_ < 0 || _fstat64(descriptor_, &status) != 0) {
        error_ = errno;
        close();
        return false;
    }
    if ((status.st_mode & _S_IFMT) == _S_IFDIR) {
        error_ = EISDIR;
        close();
        return false;
    }
    error_ = 0;
    return true;
}

void InputFile::close() noexcept {
    if (descriptor_ >= 0 && ownsDescriptor_) {
        _close(descriptor_);
    }
    descriptor_ = -1;
    ownsDescriptor_ = false;
    inMemory_ = false;
    bytes_ = {};
}

std::ptrdiff_t InputFile::readSome(char* buffer, std::size_t size) noexcept {
    if (inMemory_) {
        return readBytes(bytes_, chunkSize_, buffer, size);
    }
    const unsigned int request = size > INT_MAX ? INT_MAX : static_cast<unsigned int>(size);
    const int got = _read(descriptor_, buffer, request);
    if (got < 0) {
        error_ = errno;
        return -1;
    }
    return got;
}

bool InputFile::isSameFileAs(const std::string& path) const {
    if (descriptor_ < 0) {
        return false;
    }
    if (!path_.empty()) {
        std::error_code ignored;
        return std::filesystem::equivalent(path_, path, ignored);
    }
    // Standard input has no path; ask for the identity of both files.
    const auto input = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor_));
    BY_HANDLE_FILE_INFORMATION inputInfo{};
    if (input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(input, &inputInfo)) {
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
                      namedInfo.dwVolumeSerialNumber == inputInfo.dwVolumeSerialNumber &&
                      namedInfo.nFileIndexHigh == inputInfo.nFileIndexHigh &&
                      namedInfo.nFileIndexLow == inputInfo.nFileIndexLow;
    CloseHandle(named);
    return same;
}

#else

bool InputFile::open(const std::string& path) {
    close();
    if (path == "-") {
        descriptor_ = STDIN_FILENO;
        ownsDescriptor_ = false;
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
    error_ = 0;
    return true;
}

void InputFile::close() noexcept {
    if (descriptor_ >= 0 && ownsDescriptor_) {
        ::close(descriptor_);
    }
    descriptor_ = -1;
    ownsDescriptor_ = false;
    inMemory_ = false;
    bytes_ = {};
}

std::ptrdiff_t InputFile::readSome(char* buffer, std::size_t size) noexcept {
    if (inMemory_) {
        return readBytes(bytes_, chunkSize_, buffer, size);
    }
    for (;;) {
        const ssize_t got = ::read(descriptor_, buffer, size > SSIZE_MAX ? SSIZE_MAX : size);
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
    }
}

bool InputFile::isSameFileAs(const std::string& path) const {
    struct stat mine {};
    struct stat theirs {};
    return descriptor_ >= 0 && ::fstat(descriptor_, &mine) == 0 &&
           ::stat(path.c_str(), &theirs) == 0 && mine.st_dev == theirs.st_dev &&
           mine.st_ino == theirs.st_ino;
}

#endif

}  // namespace blockavg
