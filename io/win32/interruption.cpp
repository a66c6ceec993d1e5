#include "io/interruption.hpp"

#include <atomic>

#include "host/win32/windows_api.hpp"
#include "io/interruption_message.hpp"
#include "io/output_file.hpp"

namespace blockavg {
namespace {

std::atomic<OutputFile*> interrupted{nullptr};
std::atomic<const char*> fileName{""};

// Windows runs a console control handler on a thread of its own, so it may
// wait for a write in progress to end.
BOOL WINAPI onControlEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    if (OutputFile* file = interrupted.load()) {
        file->cutBack();
        char message[interruptionMessageCapacity];
        const std::size_t length =
            layOutInterruptionMessage(message, sizeof message, fileName.load(), file->delivery());
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(length), &written,
                  nullptr);
    }
    // The status a console program ends with on Ctrl-C.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void cutBackOnInterruption(OutputFile& file, const char* name) noexcept {
    fileName = name;
    interrupted = &file;
    SetConsoleCtrlHandler(onControlEvent, TRUE);
}

void stopCuttingBack() noexcept { interrupted = nullptr; }

}  // namespace blockavg
