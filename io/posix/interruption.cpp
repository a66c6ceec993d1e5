#include "io/interruption.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "host/ending_signals.hpp"
#include "io/interruption_message.hpp"
#include "io/output_file.hpp"

namespace blockavg {
namespace {

std::atomic<OutputFile*> interrupted{nullptr};
std::atomic<const char*> fileName{""};

// A signal handler may call only async-signal-safe functions: the message is
// laid out without the library (io/interruption_message.hpp).
extern "C" void onEndingSignal(int signalNumber) {
    OutputFile* file = interrupted.load();
    if (file != nullptr) {
        file->cutBack();
        char message[interruptionMessageCapacity];
        const std::size_t length =
            layOutInterruptionMessage(message, sizeof message, fileName.load(), file->delivery());
        const ssize_t ignored = ::write(STDERR_FILENO, message, length);
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
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    // One handler at a time: a second signal waits, and is lost with the
    // process.
    action.sa_mask = endingSignalSet();
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (sigismember(&action.sa_mask, signalNumber) != 1) {
            continue;
        }
        struct sigaction previous {};
        if (::sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(signalNumber, &action, nullptr);
    }
}

void stopCuttingBack() noexcept { interrupted = nullptr; }

}  // namespace blockavg
