#include "app/progress_report.hpp"

#include <cstring>

#include "trajectory/number_format.hpp"

namespace blockavg {

void ProgressReport::write(const char* text, std::size_t size) {
    // The report is not the product: a console that cannot take it (a full
    // disk behind a redirection) does not stop the averaging.
    std::fwrite(text, 1, size, console_);
}

void ProgressReport::frameHeading(std::int64_t frameNumber) {
    write("\n", 1);
    flush();
    char text[maxFormattedNumberLength + 8] = "# ";
    char* end = formatInteger(text + 2, frameNumber);
    std::memcpy(end, "   ", 3);
    write(text, static_cast<std::size_t>(end + 3 - text));
}

void ProgressReport::atomCount(std::int32_t count) {
    char text[maxFormattedNumberLength + 16];
    char* end = formatInteger(text, count);
    std::memcpy(end, " atoms   ", 9);
    write(text, static_cast<std::size_t>(end + 9 - text));
}

void ProgressReport::boxValue(double value) {
    char text[maxFormattedNumberLength + 16] = "box ";
    char* end = formatGeneral(text + 4, value);
    std::memcpy(end, " A   ", 5);
    write(text, static_cast<std::size_t>(end + 5 - text));
}

void ProgressReport::flush() { std::fflush(console_); }

}  // namespace blockavg
