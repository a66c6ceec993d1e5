#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "app/interruption.hpp"
#include "trajectory/output_file.hpp"

namespace blockavg {
namespace {

std::atomic<OutputFile*> interrupted{nullptr};
std::atomic<const char*> fileName{""};
constexpr int endingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Text for the message, without the library: a signal handler may call only
// async-signal-safe functions.
char* put(char* out, const char* end, const char* text) noexcept {
    while (*text != '\0' && out != end) {
        *out++ = *text++;
    }
    return out;
}

char* putNumber(char* out, const char* end, std::int64_t value) noexcept {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0 && out != end) {
        *out++ = digits[--count];
    }
    return out;
}

extern "C" void onEndingSignal(int signalNumber) {
    OutputFile* file = interrupted.load();
    if (file != nullptr) {
        file->cutBack();
        char message[1024];
        const char* const end = message + sizeof message;
        char* out = put(message, end, "blockavg: interrupted; ");
        out = put(out, end, fileName.load());
        out = put(out, end, " holds ");
        out = putNumber(out, end, file->completedWrites());
        out = put(out, end, " averaged frames\n");
        const ssize_t ignored =
            ::write(STDERR_FILENO, message, static_cast<std::size_t>(out - message));
        (void)ignored;
    }
    // The signal is blocked while its handler runs: raised again at its
    // default action, it ends the process as soon as the handler returns.
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

}  // namespace

void cutBackOnInterruption(OutputFile& file, const char* name) noexcept {
    fileName = name;
    interrupted = &file;
    for (const int signalNumber : endingSignals) {
        struct sigaction previous {};
        if (::sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = onEndingSignal;
        sigemptyset(&action.sa_mask);
        for (const int other : endingSignals) {
            sigaddset(&action.sa_mask, other);
        }
        ::sigaction(signalNumber, &action, nullptr);
    }
}

void stopCuttingBack() noexcept { interrupted = nullptr; }

}  // namespace blockavg
