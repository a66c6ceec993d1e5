#pragma once

// The two number notations of the console and the output file, in the
// classic locale whatever the environment says.

#include <cstddef>
#include <cstdint>

namespace blockavg {

// Room for any double in either notation: the longest is -DBL_MAX in fixed
// notation (309 integer digits, the sign, the point and 6 decimals).
inline constexpr std::size_t maxFormattedNumberLength = 320;

// printf's %g with precision 6: 6 significant digits, exponent notation when
// the decimal exponent is below -4 or at least 6, trailing zeros dropped.
// Writes at most maxFormattedNumberLength bytes; returns the end.
char* formatGeneral(char* out, double value) noexcept;

// printf's %.6f: exactly 6 digits after the decimal point.
char* formatFixed(char* out, double value) noexcept;

// printf's %*.6f: formatFixed right-aligned in a field of `width` columns,
// padded with spaces on the left; a longer number widens the field.
char* formatFixedField(char* out, double value, std::size_t width) noexcept;

// A decimal integer.
char* formatInteger(char* out, std::int64_t value) noexcept;

}  // namespace blockavg
