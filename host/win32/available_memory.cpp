#include "host/available_memory.hpp"

#include <algorithm>

#include "host/win32/windows_api.hpp"
// After windows.h, which it needs.
#include <psapi.h>

namespace blockavg {

std::optional<std::uint64_t> availableMemory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) {
        return std::nullopt;
    }
    // What may still be committed (memory and page file): beyond it an
    // allocation fails; Windows kills no process for it.
    std::uint64_t available =
        std::min<std::uint64_t>(status.ullAvailPageFile, status.ullAvailVirtual);
    // A job object that limits the memory a process may commit.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
    if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                  nullptr) &&
        (job.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0) {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof counters;
        if (K32GetProcessMemoryInfo(GetCurrentProcess(),
                                    reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                    sizeof counters)) {
            const std::uint64_t limit = job.ProcessMemoryLimit;
            const std::uint64_t used = counters.PrivateUsage;
            available = std::min(available, limit > used ? limit - used : 0);
        }
    }
    return available;
}

}  // namespace blockavg
