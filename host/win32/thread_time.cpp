#include "host/thread_time.hpp"

#include "host/win32/windows_api.hpp"

namespace blockavg {

double threadProcessorSeconds() noexcept {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user) == 0) {
        return 0.0;
    }
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    // In units of 100 ns.
    return 1e-7 * static_cast<double>(ticks(kernel) + ticks(user));
}

}  // namespace blockavg
