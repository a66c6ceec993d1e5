#pragma once

// Ctrl-C and its kin: on POSIX systems every signal that ends a process and
// that a user or a scheduler may send (host/ending_signals.hpp: SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGXCPU and the rest), on Windows
// Ctrl-C, Ctrl-Break and closing the console. The output is cut back to the
// end of its last whole averaged frame, a message on standard error says how
// many it holds (or, for an output that cannot be cut back, what its reader
// got: io/interruption_message.hpp), and the process ends as the signal
// would have ended it (status 128 plus the signal in a shell). One
// implementation per platform (io/posix/interruption.cpp, io/win32/interruption.cpp).
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
