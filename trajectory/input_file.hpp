#pragma once

// The input trajectory as a stream of bytes, read in chunks as they arrive:
// a read returns what a pipe or terminal has delivered so far instead of
// waiting for a whole buffer, so progress shows while a producer still runs.

#include <cstddef>
#include <string>
#include <string_view>

namespace blockavg {

class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() { close(); }

    // Opens the named file, or standard input for "-". A directory is
    // refused. False on failure, with errorNumber() telling why.
    bool open(const std::string& path);
    // Reads `bytes` instead of a file, handing out at most `chunkSize` bytes
    // per read as a pipe might. The caller keeps the bytes alive until
    // close().
    void openBytes(std::string_view bytes, std::size_t chunkSize = static_cast<std::size_t>(-1));
    void close() noexcept;

    // Reads at most `size` bytes, waiting only until some are available.
    // Returns the count, 0 at the end of the data, or -1 on an error.
    std::ptrdiff_t readSome(char* buffer, std::size_t size) noexcept;

    // Whether `path` names this very file (through any link). False when
    // that cannot be told.
    bool isSameFileAs(const std::string& path) const;

    int errorNumber() const noexcept { return error_; }

private:
    int descriptor_ = -1;
    bool ownsDescriptor_ = false;
    int error_ = 0;
    bool inMemory_ = false;
    std::string_view bytes_;  // what is left to read when inMemory_
    std::size_t chunkSize_ = 0;
#ifdef _WIN32
    std::string path_;  // for isSameFileAs, which Windows answers by path
#endif
};

}  // namespace blockavg
