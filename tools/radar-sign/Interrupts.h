#pragma once
// The stop signals during the sign commands: SIGINT (Ctrl+C), SIGTERM and
// SIGHUP on POSIX; Ctrl+C, Ctrl+Break and the console's closing on Windows.
// The first one is caught: the commands in flight end within a wait's wake-up
// (each port logged and its line printed, as at a normal end) and the run
// exits with StopStatus. A second one takes the system's default action and
// ends the process at once. One file per system (PosixInterrupts.cpp,
// Win32Interrupts.cpp), chosen in CMake.
//
// POSIX: the handler (sigaction, SA_RESTART) only sets an atomic flag, puts
// the default actions back and writes a byte to a pipe; a thread of this
// class reads it and calls the wake-up, outside the handler. The threads
// started under WithStopsBlocked (the ports' workers and the threads they
// start: the serial component's event and I/O threads) never take a stop
// signal, so no system call of theirs is cut short by one (EINTR, which the
// serial component would take for an aborted transfer); the main thread,
// which only waits, takes them. A signal ignored when the program started
// (nohup's SIGHUP, a background job's SIGINT) stays ignored.
//
// Windows: a console control handler (SetConsoleCtrlHandler), which runs on
// a thread of its own, sets the flag and calls the wake-up; for the
// console's closing, after which the system ends the process as soon as the
// handler returns (or after 5 s), it returns only when the run is over, or
// after 4 s.

#include <functional>
#include <string>
#include <thread>

namespace radarsign {

class TInterrupts {
public:
    // Catches the stop signals until destroyed. `wake` is called once, when
    // the first comes, on a thread of this class (never in a signal
    // handler): it wakes the waits that look at Stop().
    explicit TInterrupts(std::function<void()> wake);
    // Puts the signals' actions back as they were and ends the thread.
    ~TInterrupts();
    TInterrupts(const TInterrupts&) = delete;
    TInterrupts& operator=(const TInterrupts&) = delete;

    // The first stop signal that came, by its number (Windows: 2 for Ctrl+C,
    // 21 for Ctrl+Break, 1 for the console's closing); 0 for none. Any
    // thread, lock-free; it stays set after the object has gone.
    static int Stop();

private:
    std::function<void()> FWake;
    std::thread FWatcher; // POSIX: reads the handler's byte and wakes
    int FPipe[2] = {-1, -1};
};

// Calls start() with the stop signals blocked on this thread, so that the
// threads it starts, and theirs, never take one (see above); unblocks them
// afterwards. Windows: calls start().
void WithStopsBlocked(const std::function<void()>& start);

// The stop's name for the result lines and the log: "SIGTERM"; on Windows
// "Ctrl+C", "Ctrl+Break", "the console's closing".
std::string StopName(int stop);

// The exit status of a run that a stop ended: 128 + its number, as a shell
// reports a program killed by the signal (130 for SIGINT and Ctrl+C, 143
// for SIGTERM, 129 for SIGHUP and the console's closing, 149 for
// Ctrl+Break).
inline int StopStatus(int stop) {
    return 128 + stop;
}

} // namespace radarsign
