// peak_memory_probe RESULT_FILE PROGRAM [ARGUMENTS...]
//
// Runs PROGRAM as its only child, on one processor, waits for it and writes
// "STATUS PEAK_KIB" to RESULT_FILE: the child's exit status (-1 if it did not
// exit normally) and its peak resident set size in KiB.
//
// One processor, because blockavg runs its pipeline on every processor it
// may use, and with several the peak depends on how the batches in flight
// happen to overlap: timing, which differs from run to run and from machine
// to machine. On one processor every step runs on one thread in input
// order, so the batches held, and so the peak, follow from the input alone,
// and a difference between two inputs is memory kept per frame or per line.
//
// The tests need this small process in between: a child's peak resident size
// counts the pages it inherited from its parent before exec, so a child forked
// straight from a test process would report the test's own size. This probe
// is small, and it has no other child to mix into RUSAGE_CHILDREN.
//
// POSIX only (fork, exec, getrusage); the tests that use it are skipped where
// it is not built. The narrowing to one processor is Linux's (elsewhere the
// child may use what the probe may).

#ifdef __linux__
#include <sched.h>
#endif
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Narrows this process, and so the child it execs, to the first processor
// it may use.
void useOneProcessor() {
#ifdef __linux__
    cpu_set_t usable;
    CPU_ZERO(&usable);
    if (::sched_getaffinity(0, sizeof usable, &usable) != 0) {
        std::perror("peak_memory_probe: sched_getaffinity");
        ::_exit(127);
    }
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &usable)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            if (::sched_setaffinity(0, sizeof one, &one) != 0) {
                std::perror("peak_memory_probe: sched_setaffinity");
                ::_exit(127);
            }
            return;
        }
    }
#endif
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fputs("usage: peak_memory_probe RESULT_FILE PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("peak_memory_probe: fork");
        return 1;
    }
    if (child == 0) {
        useOneProcessor();
        ::execv(argv[2], argv + 2);
        std::perror("peak_memory_probe: exec");
        ::_exit(127);
    }
    int waitStatus = 0;
    while (::waitpid(child, &waitStatus, 0) < 0) {
        if (errno != EINTR) {
            std::perror("peak_memory_probe: waitpid");
            return 1;
        }
    }
    rusage usage{};
    if (::getrusage(RUSAGE_CHILDREN, &usage) != 0) {
        std::perror("peak_memory_probe: getrusage");
        return 1;
    }
#ifdef __APPLE__
    const long peakKib = static_cast<long>(usage.ru_maxrss / 1024);  // bytes there
#else
    const long peakKib = static_cast<long>(usage.ru_maxrss);  // KiB on Linux and the BSDs
#endif
    std::FILE* result = std::fopen(argv[1], "w");
    if (result == nullptr) {
        std::perror("peak_memory_probe: result file");
        return 1;
    }
    std::fprintf(result, "%d %ld\n", WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1, peakKib);
    return std::fclose(result) == 0 ? 0 : 1;
}
