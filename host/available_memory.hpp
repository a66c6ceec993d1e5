#pragma once

// How much more memory this process may take before an allocation fails or
// the system ends it: asked before a frame's atoms are held, so that a
// count line that announces more atoms than memory can hold stops the run
// with a message rather than a kill (a batch scheduler's memory cgroup
// kills a process that overruns it; no allocation fails first).
// One implementation per platform (host/posix/available_memory.cpp, with the
// Linux sources, and host/win32/available_memory.cpp).

#include <cstdint>
#include <optional>

namespace blockavg {

// The least of what the limits on this process leave it, in bytes: on Linux
// its memory cgroup's limit less its use at every level (cgroup v1 and v2,
// the page cache of files not counted as use), RLIMIT_AS less the
// process's size, and the system's available memory with the free swap
// (MemAvailable and SwapFree); on Windows what may still be committed, the
// address space left and a job object's memory limit for the process.
// Nothing when no limit can be told.
std::optional<std::uint64_t> availableMemory();

}  // namespace blockavg
