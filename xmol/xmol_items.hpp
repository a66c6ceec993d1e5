#pragma once

// The item grammar of XMOL lines. Each reader takes one item at the cursor,
// skipping the white space before it, and advances the cursor past what it
// took. On failure the target is left unchanged; the caller then fails the
// rest of the line.

#include <cstdint>
#include <string_view>

namespace blockavg {

// Space, tab, line feed, vertical tab, form feed and carriage return.
constexpr bool isItemSpace(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether `line` holds anything but white space.
bool hasContent(std::string_view line) noexcept;

// The unread rest of one line, [pos, end), and where the line began.
struct LineCursor {
    const char* begin;
    const char* pos;
    const char* end;

    explicit LineCursor(std::string_view line) noexcept
        : begin(line.data()), pos(line.data()), end(line.data() + line.size()) {}
};

// The longest run of non-space bytes. Fails only when the line ends first.
bool readWordItem(LineCursor& cursor, std::string_view& word) noexcept;

// Optional sign, then decimal digits; must fit a 32-bit signed integer.
bool readIntegerItem(LineCursor& cursor, std::int32_t& value) noexcept;

// Optional sign, then digits with at most one decimal point, then an optional
// exponent; the longest such prefix is taken. At least one digit must come
// before the exponent. A value too large for a double fails; one too small
// becomes zero with its sign.
struct RealItem {
    double value;
    bool read;  // false: the item failed, and `value` means nothing
};
RealItem readReal(LineCursor& cursor) noexcept;

// The same, leaving `value` as it was when the item fails. The value comes
// back in a register, so that a caller's values need not go through memory.
inline bool readRealItem(LineCursor& cursor, double& value) noexcept {
    const RealItem item = readReal(cursor);
    if (item.read) {
        value = item.value;
    }
    return item.read;
}

}  // namespace blockavg
