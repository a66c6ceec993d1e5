#pragma once

// The signals that end a run with its output cut back to whole frames
// (io/interruption.hpp): every signal whose default action ends the process
// and that someone may send it, by hand or from a scheduler. Faults the
// process itself causes (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP,
// SIGSYS) are left at their default action: after one nothing may be
// trusted, the output file's state included. SIGPIPE and SIGXFSZ are ignored
// on purpose (cli/main.cpp) and SIGKILL cannot be caught.
//
// While an object of EndingSignalsBlocked lives they are blocked on the
// calling thread, and so on the threads it starts meanwhile: only the thread
// that writes the output takes them. Nothing to do on Windows, where a
// console control handler runs on a thread of its own.

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace blockavg {

#ifndef _WIN32
// The named ones; the real-time signals, whose numbers are known only at run
// time, join them in endingSignalSet().
inline constexpr int namedEndingSignals[] = {
    SIGINT,    SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGPOLL
    SIGPOLL,
#elif defined(SIGIO)
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

inline sigset_t endingSignalSet() noexcept {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signalNumber : namedEndingSignals) {
        sigaddset(&signals, signalNumber);
    }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        sigaddset(&signals, signalNumber);
    }
#endif
    return signals;
}

// From now on they wait on this thread: for the moments after the output
// is closed, when no signal should end the run unsaid.
inline void holdEndingSignals() noexcept {
    const sigset_t held = endingSignalSet();
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

class EndingSignalsBlocked {
public:
    EndingSignalsBlocked() noexcept {
        const sigset_t blocked = endingSignalSet();
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    EndingSignalsBlocked(const EndingSignalsBlocked&) = delete;
    EndingSignalsBlocked& operator=(const EndingSignalsBlocked&) = delete;
    ~EndingSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_{};
};
#else
inline void holdEndingSignals() noexcept {}

class EndingSignalsBlocked {
public:
    EndingSignalsBlocked() noexcept {}  // user-provided: a variable of it is not "unused"
    EndingSignalsBlocked(const EndingSignalsBlocked&) = delete;
    EndingSignalsBlocked& operator=(const EndingSignalsBlocked&) = delete;
    ~EndingSignalsBlocked() {}
};
#endif

}  // namespace blockavg
