#pragma once

// The line an interruption leaves on standard error, one wording for every
// platform. A regular file was cut back to its whole averaged frames:
//
//   blockavg: interrupted; trajectory.xmol holds 63 averaged frames
//
// A FIFO or a device cannot be cut back, so the line says what its reader
// got, part of a frame included:
//
//   blockavg: interrupted; the reader of trajectory.xmol got 63 averaged frames
//   blockavg: interrupted; the reader of trajectory.xmol got 63 whole averaged
//   frames and part of the next                              (on one line)
//
// Built without the library, so that a signal handler may build it.

#include <cstddef>

#include "io/output_file.hpp"

namespace blockavg {

// Room enough for the line with a file name of up to 900 bytes; a longer
// name is cut short.
constexpr std::size_t interruptionMessageCapacity = 1024;

// Lays out the line, with its line feed, from `out` on, at most `capacity`
// bytes; returns its length.
std::size_t layOutInterruptionMessage(char* out, std::size_t capacity, const char* fileName,
                                      const OutputFile::Delivery& delivery) noexcept;

}  // namespace blockavg
