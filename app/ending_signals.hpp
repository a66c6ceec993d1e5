#pragma once

// The signals that end a process (SIGINT, SIGTERM, SIGHUP) blocked on the
// calling thread while an object of this type lives, and so on the threads
// it starts meanwhile: only the thread that writes the output takes them
// (app/interruption.hpp). Nothing to do on Windows, where a console control
// handler runs on a thread of its own.

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace blockavg {

#ifndef _WIN32
class EndingSignalsBlocked {
public:
    EndingSignalsBlocked() noexcept {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGINT);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    EndingSignalsBlocked(const EndingSignalsBlocked&) = delete;
    EndingSignalsBlocked& operator=(const EndingSignalsBlocked&) = delete;
    ~EndingSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_{};
};
#else
class EndingSignalsBlocked {
public:
    EndingSignalsBlocked() noexcept {}  // user-provided: a variable of it is not "unused"
    EndingSignalsBlocked(const EndingSignalsBlocked&) = delete;
    EndingSignalsBlocked& operator=(const EndingSignalsBlocked&) = delete;
    ~EndingSignalsBlocked() {}
};
#endif

}  // namespace blockavg
