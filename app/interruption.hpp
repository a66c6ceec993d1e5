#pragma once

// Ctrl-C and its kin: SIGINT, SIGTERM and SIGHUP, or Ctrl-C, Ctrl-Break and
// closing the console on Windows. The output is cut back to the end of its
// last whole averaged frame, a message on standard error says how many it
// holds, and the process ends as the interruption would have ended it
// (status 130, 143 or 129 in a shell). One implementation per platform
// (interruption_posix.cpp, interruption_win32.cpp).
//
// On POSIX systems the handler runs on whichever thread takes the signal:
// only the thread that writes `file` may take them, which the pipeline sees
// to. A signal that the process was started to ignore (nohup) stays ignored.

namespace blockavg {

class OutputFile;

// From now on, until stopCuttingBack(), an interruption cuts `file` back;
// `name` names it in the message and must outlive the handling.
void cutBackOnInterruption(OutputFile& file, const char* name) noexcept;
void stopCuttingBack() noexcept;

}  // namespace blockavg
