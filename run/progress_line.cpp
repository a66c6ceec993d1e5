#include "run/progress_line.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace blockavg {
namespace {

// Appends to the text, never past its room.
class Text {
public:
    Text(char* text, std::size_t room) noexcept : text_(text), room_(room) {}
    void put(const char* format, ...) noexcept __attribute__((format(printf, 2, 3))) {
        va_list values;
        va_start(values, format);
        const int written = std::vsnprintf(text_ + size_, room_ - size_, format, values);
        va_end(values);
        size_ = std::min(room_ - 1, size_ + static_cast<std::size_t>(std::max(written, 0)));
    }
    // "812 MB", "1.25 GB": decimal units, as rates are given.
    void size(double bytes) noexcept {
        if (bytes >= 1e9) {
            put("%.2f GB", bytes / 1e9);
        } else {
            put("%.0f MB", bytes / 1e6);
        }
    }
    std::string_view view() const noexcept { return {text_, size_}; }

private:
    char* text_;
    std::size_t room_;
    std::size_t size_ = 0;
};

}  // namespace

ProgressLine::ProgressLine(std::uint64_t inputSize) noexcept
    : start_(std::chrono::steady_clock::now()), last_(start_), size_(inputSize) {}

std::string_view ProgressLine::update(std::uint64_t bytes, std::int64_t frames) noexcept {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(250)) {
        return {};
    }
    last_ = now;
    const double rate =
        static_cast<double>(bytes) / std::chrono::duration<double>(now - start_).count();
    Text text(text_, sizeof text_);
    text.put("blockavg: ");
    text.size(static_cast<double>(bytes));
    if (size_ > 0) {
        text.put(" of ");
        text.size(static_cast<double>(size_));
        text.put(" (%.0f %%)", 100.0 * static_cast<double>(bytes) / static_cast<double>(size_));
    }
    text.put(", %lld frames, %.0f MB/s", static_cast<long long>(frames), rate / 1e6);
    if (size_ > bytes && rate > 0) {
        const auto left = static_cast<long long>(static_cast<double>(size_ - bytes) / rate);
        if (left >= 3600) {
            text.put(", %lld h %02lld min left", left / 3600, left / 60 % 60);
        } else if (left >= 60) {
            text.put(", %lld min %02lld s left", left / 60, left % 60);
        } else {
            text.put(", %lld s left", left);
        }
    }
    return text.view();
}

}  // namespace blockavg
