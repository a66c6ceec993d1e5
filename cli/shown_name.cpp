#include "cli/shown_name.hpp"

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

bool isPlainInShell(char byte) noexcept {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') ||
           std::string_view("_./+-,:@%=").find(byte) != std::string_view::npos;
}

std::string quoted(std::string_view name) {
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
    return shown.empty() ? "''" : shown;
}

}  // namespace

std::string shownName(std::string_view name) {
    const bool plain = !name.empty() && std::none_of(name.begin(), name.end(), isControl);
    return plain ? std::string(name) : quoted(name);
}

std::string shellWord(std::string_view name) {
    // A name that starts with a dash would be taken for an option.
    const std::string prefix = !name.empty() && name.front() == '-' ? "./" : "";
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), isPlainInShell);
    return prefix + (plain ? std::string(name) : quoted(name));
}

}  // namespace blockavg
