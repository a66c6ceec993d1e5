#include "cli/standard_streams.hpp"

// Descriptor reuse is a POSIX matter: there a closed descriptor 0, 1 or 2 is
// handed to the next file opened. Windows streams have no such hazard.
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#else
#include <io.h>
#endif

namespace blockavg {

void keepStandardStreamsOpen() noexcept {
#ifndef _WIN32
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
            // open() takes the lowest free descriptor, which is this one.
            const int opened =
                ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != descriptor) {
                ::close(opened);
            }
        }
    }
#endif
}

bool isTerminal(int descriptor) noexcept {
#ifndef _WIN32
    return ::isatty(descriptor) == 1;
#else
    return _isatty(descriptor) != 0;
#endif
}

}  // namespace blockavg
