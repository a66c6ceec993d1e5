#pragma once

// The per-frame progress report on the console:
//
//   # FRAME   COUNT atoms   box BOX A
//
// Each frame's text opens with a line feed that ends the previous frame's
// line; the console is flushed at every line feed.

#include <cstdint>
#include <cstdio>

namespace blockavg {

class ProgressReport {
public:
    explicit ProgressReport(std::FILE* console) noexcept : console_(console) {}

    void frameHeading(std::int64_t frameNumber);
    void atomCount(std::int32_t count);
    void boxValue(double value);
    // Pushes out what is still buffered (an unterminated last line).
    void flush();

private:
    void write(const char* text, std::size_t size);

    std::FILE* console_;
};

}  // namespace blockavg
