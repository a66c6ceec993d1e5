#pragma once

// The one route by which blockavg's messages reach the user: "blockavg: "
// and the message on a line of its own on standard error, flushed at once,
// so that messages keep their order with the report around them. Errors,
// warnings and notes differ only in the word that opens the last two. Made
// in main and handed to the run, whose writer alone reports while threads
// work (run/writer.hpp); the signal handler writes its one line on its own
// (io/interruption.hpp).

#include <cstdio>
#include <string>
#include <string_view>

namespace blockavg {

class Reporter {
public:
    enum class Kind : unsigned char { error, warning, note };

    explicit Reporter(std::FILE* stream) noexcept : stream_(stream) {}
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    void report(Kind kind, std::string_view message) noexcept;
    void error(std::string_view message) noexcept { report(Kind::error, message); }
    void warning(std::string_view message) noexcept { report(Kind::warning, message); }
    void note(std::string_view message) noexcept { report(Kind::note, message); }

    // A line that tells how far a long run is, on a terminal that has
    // nothing else to show (standard error, with the report sent elsewhere):
    // drawn over the one before, erased before a message and drawn again
    // after it. endProgress() erases it for good, so that what stays is what
    // a run without it leaves.
    void showProgress(bool shown) noexcept { progressShown_ = shown; }
    bool showsProgress() const noexcept { return progressShown_; }
    void progress(std::string_view line) noexcept;
    void endProgress() noexcept;

private:
    void draw(std::size_t covering) noexcept;
    void erase() noexcept;

    std::FILE* stream_;
    bool progressShown_ = false;
    char line_[160] = {};
    std::size_t drawn_ = 0;  // of line_, on the terminal now
};

// A message to give later, as a batch's are once its frames are written.
struct Message {
    Reporter::Kind kind = Reporter::Kind::error;
    std::string text;
};

}  // namespace blockavg
