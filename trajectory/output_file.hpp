#pragma once

// The output trajectory file, written with the operating system's descriptor
// calls, so that each averaged frame goes out in one write. One
// implementation per platform (output_file_posix.cpp, output_file_win32.cpp).

#include <string>
#include <string_view>

#include "trajectory/byte_sink.hpp"

namespace blockavg {

class OutputFile final : public ByteSink {
public:
    OutputFile() = default;
    ~OutputFile() override { close(); }

    // Creates the file, or empties it if it exists. False on failure, with
    // errorMessage() telling why.
    bool open(const std::string& path);
    // False if closing reports an error (some file systems report a failed
    // write only here).
    bool close() noexcept;

    bool write(std::string_view bytes) override;
    std::string errorMessage() const override;

private:
    int descriptor_ = -1;
    int error_ = 0;
};

}  // namespace blockavg
