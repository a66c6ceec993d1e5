#include "app/shown_name.hpp"

#include <algorithm>

namespace blockavg {
namespace {

bool isControl(char byte) noexcept {
    const auto value = static_cast<unsigned char>(byte);
    return value < 0x20 || value == 0x7f;
}

// \a to \r by letter, as the shell writes them; the rest in octal.
void appendEscaped(std::string& shown, char byte) {
    const auto value = static_cast<unsigned char>(byte);
    shown += '\\';
    if (value >= '\a' && value <= '\r') {
        shown += "abtnvfr"[value - '\a'];
        return;
    }
    shown += static_cast<char>('0' + (value >> 6));
    shown += static_cast<char>('0' + ((value >> 3) & 7));
    shown += static_cast<char>('0' + (value & 7));
}

}  // namespace

std::string shownName(std::string_view name) {
    if (std::none_of(name.begin(), name.end(), isControl)) {
        return std::string(name);
    }
    // Runs of printable bytes go between single quotes, runs of control
    // characters into $'...', and a single quote stands alone as \'.
    std::string shown;
    std::size_t at = 0;
    while (at < name.size()) {
        if (name[at] == '\'') {
            shown += "\\'";
            ++at;
        } else if (isControl(name[at])) {
            shown += "$'";
            for (; at < name.size() && isControl(name[at]); ++at) {
                appendEscaped(shown, name[at]);
            }
            shown += '\'';
        } else {
            shown += '\'';
            for (; at < name.size() && name[at] != '\'' && !isControl(name[at]); ++at) {
                shown += name[at];
            }
            shown += '\'';
        }
    }
    return shown;
}

}  // namespace blockavg
