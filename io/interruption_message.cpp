#include "io/interruption_message.hpp"

#include <cstdint>

namespace blockavg {
namespace {

char* put(char* out, const char* end, const char* text) noexcept {
    while (*text != '\0' && out != end) {
        *out++ = *text++;
    }
    return out;
}

char* putNumber(char* out, const char* end, std::int64_t value) noexcept {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0 && out != end) {
        *out++ = digits[--count];
    }
    return out;
}

}  // namespace

std::size_t layOutInterruptionMessage(char* out, std::size_t capacity, const char* fileName,
                                      const OutputFile::Delivery& delivery) noexcept {
    if (capacity == 0) {
        return 0;
    }
    char* const start = out;
    // The line feed always fits.
    const char* const end = out + capacity - 1;
    out = put(out, end, "blockavg: interrupted; ");
    if (delivery.cutBackable) {
        out = put(out, end, fileName);
        out = put(out, end, " holds ");
        out = putNumber(out, end, delivery.wholeWrites);
        out = put(out, end, delivery.wholeWrites == 1 ? " averaged frame" : " averaged frames");
    } else {
        out = put(out, end, "the reader of ");
        out = put(out, end, fileName);
        out = put(out, end, " got ");
        out = putNumber(out, end, delivery.wholeWrites);
        const bool one = delivery.wholeWrites == 1;
        out = put(out, end,
                  delivery.partOfNext ? (one ? " whole averaged frame and part of the next"
                                             : " whole averaged frames and part of the next")
                                      : (one ? " averaged frame" : " averaged frames"));
    }
    *out++ = '\n';
    return static_cast<std::size_t>(out - start);
}

}  // namespace blockavg
