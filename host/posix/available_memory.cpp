#include "host/available_memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace blockavg {
namespace {

// The least of the values given so far.
class Least {
public:
    void take(std::uint64_t value) { least_ = least_ ? std::min(*least_, value) : value; }
    std::optional<std::uint64_t> value() const { return least_; }

private:
    std::optional<std::uint64_t> least_;
};

std::uint64_t less(std::uint64_t value, std::uint64_t used) {
    return value > used ? value - used : 0;
}

// The process's address-space limit less its size.
void addressSpace(Least& least) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return;
    }
    std::uint64_t size = 0;
#ifdef __linux__
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    if (statm >> pages) {
        size = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    }
#endif
    least.take(less(static_cast<std::uint64_t>(limit.rlim_cur), size));
}

#ifdef __linux__

// A number in a file of its own ("max", as cgroup v2 writes no limit, is
// none).
std::optional<std::uint64_t> numberIn(const std::string& path) {
    std::ifstream file(path);
    std::uint64_t value = 0;
    if (file >> value) {
        return value;
    }
    return std::nullopt;
}

// The value of `key` in a file of "key value" lines (memory.stat).
std::uint64_t statValue(const std::string& path, std::string_view key) {
    std::ifstream file(path);
    std::string name;
    std::uint64_t value = 0;
    while (file >> name >> value) {
        if (name == key) {
            return value;
        }
    }
    return 0;
}

// Every cgroup from `path` up to the hierarchy's root under `mount`: its
// limit less its use, the page cache of files (active or not, which the
// kernel reclaims before it kills) being free. `fileCache` names the two
// counts in memory.stat.
void cgroupLevels(Least& least, const std::string& mount, std::string path, const char* limitFile,
                  const char* usageFile, const std::string_view (&fileCache)[2]) {
    for (;;) {
        const std::string directory = mount + path;
        const std::optional<std::uint64_t> limit = numberIn(directory + "/" + limitFile);
        const std::optional<std::uint64_t> usage = numberIn(directory + "/" + usageFile);
        if (limit && usage) {
            const std::uint64_t dropped = statValue(directory + "/memory.stat", fileCache[0]) +
                                          statValue(directory + "/memory.stat", fileCache[1]);
            least.take(less(*limit, *usage - std::min(*usage, dropped)));
        }
        if (path.empty() || path == "/") {
            return;
        }
        path.erase(path.find_last_of('/'));
    }
}

constexpr std::string_view v2FileCache[2] = {"active_file", "inactive_file"};
constexpr std::string_view v1FileCache[2] = {"total_active_file", "total_inactive_file"};

// The memory cgroups the process is in, from /proc/self/cgroup: a v2 line
// "0::PATH", a v1 line "ID:...,memory,...:PATH".
void cgroups(Least& least) {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (controllers.empty()) {
            for (const char* mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
                cgroupLevels(least, mount, path, "memory.max", "memory.current", v2FileCache);
            }
            continue;
        }
        std::istringstream names(controllers);
        std::string name;
        while (std::getline(names, name, ',')) {
            if (name == "memory") {
                cgroupLevels(least, "/sys/fs/cgroup/memory", path, "memory.limit_in_bytes",
                             "memory.usage_in_bytes", v1FileCache);
            }
        }
    }
}

// MemAvailable of /proc/meminfo with the free swap, in KiB there.
void systemMemory(Least& least) {
    std::ifstream file("/proc/meminfo");
    std::string name;
    std::uint64_t kib = 0;
    std::string unit;
    std::optional<std::uint64_t> available;
    std::uint64_t swapFree = 0;
    while (file >> name >> kib) {
        std::getline(file, unit);
        if (name == "MemAvailable:") {
            available = kib * 1024;
        } else if (name == "SwapFree:") {
            swapFree = kib * 1024;
        }
    }
    if (available) {
        least.take(*available + swapFree);
    }
}

#endif

}  // namespace

std::optional<std::uint64_t> availableMemory() {
    Least least;
    addressSpace(least);
#ifdef __linux__
    cgroups(least);
    systemMemory(least);
#endif
    return least.value();
}

}  // namespace blockavg
