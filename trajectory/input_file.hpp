#pragma once

// The input trajectory as a stream of bytes, read in chunks as they arrive:
// a read returns what a pipe or terminal has delivered so far instead of
// waiting for a whole buffer, so progress shows while a producer still runs.

#include <cstddef>
#include <string>

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
#ifdef _WIN32
    std::string path_;  // for isSameFileAs, which Windows answers by path
#endif
};

}  // namespace blockavg
