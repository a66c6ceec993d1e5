#include "host/thread_time.hpp"

#include <time.h>

namespace blockavg {

double threadProcessorSeconds() noexcept {
    timespec now{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
        return 0.0;
    }
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace blockavg
