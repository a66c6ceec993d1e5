#include "host/processor_count.hpp"

#include <thread>

#ifdef _WIN32
#include <bitset>

#include "host/win32/windows_api.hpp"
#elif defined(__linux__)
#include <sched.h>
#endif

namespace blockavg {

unsigned usableProcessorCount() noexcept {
#ifdef _WIN32
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0 && process != 0) {
        return static_cast<unsigned>(std::bitset<8 * sizeof process>(process).count());
    }
#elif defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
#endif
    const unsigned reported = std::thread::hardware_concurrency();
    return reported > 0 ? reported : 1;
}

}  // namespace blockavg
