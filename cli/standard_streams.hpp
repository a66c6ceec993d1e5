#pragma once

namespace blockavg {

// Makes sure standard input, output and error are open, on the null device
// where the caller closed them. Otherwise the next file opened would take
// over a closed stream's place, and the progress report would be written
// into trajectory.xmol.
void keepStandardStreamsOpen() noexcept;

// Whether the descriptor (1: standard output, 2: standard error) is a
// terminal.
bool isTerminal(int descriptor) noexcept;

}  // namespace blockavg
