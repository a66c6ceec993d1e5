#include "io/reporter.hpp"

#include <algorithm>

namespace blockavg {

void Reporter::report(Kind kind, std::string_view message) noexcept {
    constexpr const char* openings[] = {"blockavg: ", "blockavg: warning: ", "blockavg: note: "};
    const std::size_t shown = drawn_;
    erase();
    std::fputs(openings[static_cast<int>(kind)], stream_);
    std::fwrite(message.data(), 1, message.size(), stream_);
    std::fputc('\n', stream_);
    if (shown > 0) {
        drawn_ = shown;
        draw(0);
    }
    std::fflush(stream_);
}

void Reporter::progress(std::string_view line) noexcept {
    if (!progressShown_) {
        return;
    }
    const std::size_t covering = drawn_;
    drawn_ = std::min(line.size(), sizeof line_);
    std::copy_n(line.data(), drawn_, line_);
    draw(covering);
    std::fflush(stream_);
}

// The line from the start of the terminal's line, with spaces over what a
// longer one before left.
void Reporter::draw(std::size_t covering) noexcept {
    std::fputc('\r', stream_);
    std::fwrite(line_, 1, drawn_, stream_);
    for (std::size_t space = drawn_; space < covering; ++space) {
        std::fputc(' ', stream_);
    }
}

void Reporter::erase() noexcept {
    if (drawn_ == 0) {
        return;
    }
    std::fputc('\r', stream_);
    for (std::size_t space = 0; space < drawn_; ++space) {
        std::fputc(' ', stream_);
    }
    std::fputc('\r', stream_);
    drawn_ = 0;
}

void Reporter::endProgress() noexcept {
    erase();
    std::fflush(stream_);
    progressShown_ = false;
}

}  // namespace blockavg
