#pragma once

namespace blockavg {

// The number of processors this process may run on: its affinity mask, which
// taskset, cpusets and batch schedulers narrow. At least 1.
unsigned usableProcessorCount() noexcept;

}  // namespace blockavg
