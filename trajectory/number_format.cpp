#include "trajectory/number_format.hpp"

#include <charconv>

namespace blockavg {

char* formatGeneral(char* out, double value) noexcept {
    return std::to_chars(out, out + maxFormattedNumberLength, value, std::chars_format::general, 6)
        .ptr;
}

char* formatFixed(char* out, double value) noexcept {
    return std::to_chars(out, out + maxFormattedNumberLength, value, std::chars_format::fixed, 6)
        .ptr;
}

char* formatInteger(char* out, std::int64_t value) noexcept {
    return std::to_chars(out, out + maxFormattedNumberLength, value).ptr;
}

}  // namespace blockavg
