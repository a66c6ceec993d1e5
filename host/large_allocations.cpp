#include "host/large_allocations.hpp"

#include <cstdlib>  // where the C library tells that it is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace blockavg {

// Above the batches' buffers (a few MiB, kept and reused), below a frame of
// a hundred thousand atoms.
void returnLargeBlocksWhenFreed() noexcept {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
#endif
}

}  // namespace blockavg
