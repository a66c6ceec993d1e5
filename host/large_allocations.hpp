#pragma once

namespace blockavg {

// Makes the storage of large frames go back to the system as soon as it is
// freed. glibc's allocator otherwise raises its threshold for mapping a
// block of its own after the first such block is freed, and then keeps
// later ones in per-thread heaps: the peak memory of a run of large frames
// then depends on which threads happened to free them. Elsewhere, nothing.
void returnLargeBlocksWhenFreed() noexcept;

}  // namespace blockavg
