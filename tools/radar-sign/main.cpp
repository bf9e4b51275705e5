// radar-sign: the configurator's three sign commands from the command line,
// on one port or many at once. See Usage() (RadarSignOptions.cpp) and
// docs/radar-sign.1.
//
// Every port runs the window's own transaction (sign::RunTransaction: the
// same frame from the same TSignLink, 9600 8N1, the 10 ms pause, up to three
// writes with a wait after each, no write after the acknowledgement), with
// the tool's hooks: a port that does not open ends its transaction at once
// (hooks.Opened), with the OS error read right after the open; an open that
// could not read the modem lines goes on (hooks.OpenRaised).
//
// Concurrency: one worker thread per port in flight, each owning the
// TComPort and the TSignLink of its port from start to end, then taking the
// next port; nothing of one port is touched by another thread, except as
// follows. At most radarsign::PortsAtOnce ports are in flight (a fleet of
// thousands would otherwise run out of descriptors or threads); a worker that
// cannot be started leaves fewer at once, and when none can, each port says
// so. The ports use SyncMethod smNone, so that their
// event handlers run on their own event thread and no port depends on a GUI
// thread that is busy with another (sign::WaitForAck pumps the GUI thread's
// messages and therefore serves only one transaction at a time). The
// received-character handler does no more than raise a flag under the
// port's mutex and signal its condition variable; the worker's wait
// (hooks.Wait) sleeps on that condition variable until the flag or the
// deadline, then reads the bytes itself and feeds them to its link. So the
// link is only ever used by its worker, the port is read and written only by
// its worker, and the event thread only waits in the OS and raises the flag.
// An idle wait costs no CPU. The main thread installs the plain main loop
// (host/PlainMainLoop.h) and waits for the workers serving its hand-overs
// (an exception from a port's event processing is shown on it). Output
// lines are written whole, under one lock, as each port finishes; a line
// that cannot be written (SIGPIPE is ignored: a closed pipe is EPIPE) is
// said once on stderr and ends the run with status 5, so that a script never
// takes a lost reading for success.
//
// Each port's command appends one line to the audit log (audit.csv in the
// per-user data folder, sign/AuditLog.h) before its result line is
// written, unless --no-log: a reader of the results that has gone (a closed
// pipe) costs no port its line in the log. The adapter's identity is looked
// up then. A log that cannot be written is said once on stderr and changes
// nothing else.
//
// A port is named by its canonical form (sign/PortName.h) in the
// result lines and the log, whatever way it was typed; two names of one
// device are bad input. Text from outside (port names, USB strings, OS
// messages) reaches stdout and stderr through sign::VisibleText; the log
// gets it as it is (it makes its own cells safe).
//
// The sign's clock is read against a clock known to the millisecond: the
// PC's, read once before the first write of the read and counted on by the
// monotonic clock to the reply (read-time); the time sent, counted on by the
// monotonic clock from the writes of the set (send-time --verify, a second
// transaction on the same port object, under the same hooks, once the set is
// acknowledged). radarsign::JudgeClock holds the sign's whole seconds
// against that window. The offset field is the sign minus the PC's clock at
// the reply, in whole seconds.
//
// SIGINT, SIGTERM and SIGHUP (Interrupts.h) end the commands in flight
// within a wake-up of their waits: the transaction's Cancelled hook and the
// wait below look at the stop, and comm::net::AbortOpens ends the network
// ports still connecting (and any connect after). Each port is closed, logged with what it got
// to ("cancelled: interrupted by SIGTERM", or its real outcome when the sign
// had answered) and printed, and the run exits with 128 + the signal.
//
// Environment hooks, for tests only (see the man page):
// RADAR_SIGN_DEVICE_DIR, the folder whose serial devices "ports" lists
// instead of /dev; RADAR_SIGN_CONSOLE_FILE, the file naming the console
// devices instead of /sys/class/tty/console/active (both no effect on
// Windows); RADAR_SIGN_PC_CLOCK, "YYYY-MM-DD HH:MM:SS" that the PC's clock
// reads before the first write of every read of the sign's clock (to the
// millisecond: .000), and for send-time without --at.

#include "host/ExceptionDisplay.h"
#include "host/PlainMainLoop.h"
#include "serial/CPort.h"
#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "sign/AuditLog.h"
#include "sign/ClockOffset.h"
#include "sign/PortIdentity.h"
#include "sign/PortList.h"
#include "sign/PortName.h"
#include "sign/SettingsLocation.h"
#include "sign/SignSettings.h"
#include "sign/SignTransaction.h"
#include "sign/VisibleText.h"
#include "tools/radar-sign/Interrupts.h"
#include "tools/radar-sign/PortAccess.h"
#include "tools/radar-sign/RadarSignOptions.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

using radarsign::TCommand;
using radarsign::TOptions;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Clock::time_point gStart;

// How often a wait for the sign's answer looks whether the port's device is
// still there: a pulled adapter ends the command within this time.
constexpr milliseconds GoneCheck{100};

// Whole lines to stdout and stderr, one writer at a time.
class TOutput {
public:
    // A line of the results on stdout; one that cannot be written (a full
    // disk, a closed descriptor, a reader that has gone) is said on stderr,
    // the first time only.
    void Result(const std::string& line) {
        std::lock_guard<std::mutex> lock(FLock);
        const std::string text = line + "\n";
        if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
            std::fflush(stdout) == 0)
            return;
        const int error = errno;
        std::clearerr(stdout);
        if (!FFailed)
            WriteLocked(stderr, "radar-sign: cannot write the results to standard output: " +
                                    sign::VisibleText(std::strerror(error)));
        FFailed = true;
    }
    // Whether a result line was lost.
    bool Failed() {
        std::lock_guard<std::mutex> lock(FLock);
        return FFailed;
    }
    // A message on stderr, prefixed with the program's name; whatever it
    // quotes from outside made visible.
    void Error(const std::string& text) { Write(stderr, "radar-sign: " + sign::VisibleText(text)); }
    // A line of our own on stderr, as it is.
    void Note(const std::string& text) { Write(stderr, text); }
    // A -v line: milliseconds since the start, the port, the text.
    void Trace(const std::string& port, const std::string& text) {
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - gStart).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%7lld ms ", static_cast<long long>(ms));
        Write(stderr, stamp + sign::VisibleText(port) + " " + sign::VisibleText(text));
    }

private:
    void Write(std::FILE* f, const std::string& line) {
        std::lock_guard<std::mutex> lock(FLock);
        WriteLocked(f, line);
    }
    static void WriteLocked(std::FILE* f, const std::string& line) {
        std::fputs((line + "\n").c_str(), f);
        std::fflush(f);
    }
    std::mutex FLock;
    bool FFailed = false;
};

// The audit log of a run, shared by the ports' jobs.
class TAudit {
public:
    TAudit(std::string folder, TOutput& output) : FLog(std::move(folder)), FOutput(output) {}
    void Append(const audit::TAuditRecord& record) {
        const bool written = FLog.Append(record);
        // A rotation that failed costs no row, but the log grows on.
        if (const std::string warning = FLog.TakeWarning(); !warning.empty())
            FOutput.Error(warning);
        if (written)
            return;
        if (!FWarned.exchange(true))
            FOutput.Error(FLog.Error() + " (the commands are not affected)");
    }

private:
    audit::TAuditLog FLog;
    TOutput& FOutput;
    std::atomic<bool> FWarned{false};
};

// The PC's clock to the second: the local time, or the test's fixed time.
sign::TSignClock PcClock(const std::optional<sign::TSignClock>& fixed) {
    return fixed ? *fixed : radarsign::PcTimeNow().Clock;
}

// The PC's clock to the millisecond; the test's fixed time at .000.
radarsign::TPcTime PcTime(const std::optional<sign::TSignClock>& fixed) {
    return fixed ? radarsign::TPcTime{*fixed, 0} : radarsign::PcTimeNow();
}

// "2 min 13 s behind this PC"; with `against` for "this PC".
std::string OffsetWords(std::int64_t seconds, const std::string& against = "this PC") {
    std::string text = sign::ClockOffsetText(seconds);
    const std::string prefix = "Sign clock ";
    if (text.rfind(prefix, 0) == 0)
        text.erase(0, prefix.size());
    const std::string pc = "this PC";
    if (text.size() >= pc.size() && text.compare(text.size() - pc.size(), pc.size(), pc) == 0)
        text.replace(text.size() - pc.size(), pc.size(), against);
    return text;
}

std::int64_t Ms(Clock::duration d) {
    return std::chrono::duration_cast<milliseconds>(d).count();
}
// Rounded up: the end of a window that the sign's reading lies in.
std::int64_t MsUp(Clock::duration d) {
    return std::chrono::ceil<milliseconds>(d).count();
}

// "cancelled: interrupted by SIGTERM"
std::string CancelledText() {
    return "cancelled: interrupted by " + radarsign::StopName(radarsign::TInterrupts::Stop());
}

bool Stopped() {
    return radarsign::TInterrupts::Stop() != 0;
}

// The window's line settings and flow control, with the event handlers on
// the event thread, and of the events only the one the tool listens to, so
// that the event thread hands over nothing else.
void ConfigureForTheTool(cport::TComPort& port) {
    sign::ConfigureSignPort(port);
    port.SetEvents({cport::evRxChar});
    port.SetSyncMethod(cport::smNone);
}

// One port's command, run on a thread of its own.
class TPortJob {
public:
    // name: the port's canonical form. audit: none for --no-log.
    TPortJob(const TOptions& options, const std::string& name, const std::string& payload,
             const std::optional<sign::TSignClock>& fixedPcClock, TOutput& output, TAudit* audit)
        : FOptions(options), FName(name), FPayload(payload), FFixedPcClock(fixedPcClock),
          FOutput(output), FAudit(audit) {}
    TPortJob(const TPortJob&) = delete;
    TPortJob& operator=(const TPortJob&) = delete;

    // The transaction, the audit row and the result line; answers the exit
    // status it calls for.
    int Run() {
        const Clock::time_point started = Clock::now();
        TResult result;
        try {
            if (FRefused)
                std::rethrow_exception(FRefused);
            cport::TComPort port(nullptr);
            ConfigureForTheTool(port);
            port.OnRxChar = [this](cport::TCustomComPort*, std::int32_t) {
                {
                    std::lock_guard<std::mutex> lock(FLock);
                    FRxPending = true;
                }
                FSignal.notify_one();
            };
            sign::TSignLink link;
            // Send Time takes the PC's clock when its port starts, as the
            // window does at the click.
            const sign::TSignClock sent = FOptions.At ? *FOptions.At : PcClock(FFixedPcClock);
            const std::string payload =
                FOptions.Command == TCommand::SendTime ? sign::SetTimePayload(sent) : FPayload;
            result.Request = sign::HexBytes(sign::BuildFrame(Code(), payload));
            const TStep step = Transact(port, link, Code(), payload);
            result.Writes = step.Writes;
            if (!step.Done) {
                result.Outcome = step.Failure;
                result.Logged = step.Logged;
                result.Status = step.Status;
            } else if (FOptions.Command == TCommand::ReadTime) {
                JudgeRead(link.LastReply(), step, result);
            } else if (FOptions.Command == TCommand::SendTime && FOptions.Verify) {
                const TStep back = Transact(port, link, sign::CmdReadTime, {});
                result.Writes += back.Writes;
                if (!back.Done) {
                    result.Outcome = "set, but not read back: " + back.Failure;
                    result.Logged = "set, but not read back: " + back.Logged;
                    result.Status = back.Status;
                } else {
                    JudgeVerify(link.LastReply(), sent, step, back, result);
                }
            } else {
                result.Outcome = result.Logged = "ok";
            }
        } catch (...) {
            result.Outcome = result.Logged =
                "error: " + host::ExceptionMessage(std::current_exception());
            result.Status = radarsign::ExitNoPort;
        }
        if (FAudit != nullptr)
            Log(result);
        const auto ms = Ms(Clock::now() - started);
        FOutput.Result(sign::VisibleText(FName) + "\t" + radarsign::CommandName(FOptions.Command) +
                       "\t" + sign::VisibleText(result.Outcome) + "\t" +
                       radarsign::Tries(result.Writes) + "\t" + std::to_string(ms) + " ms\t" +
                       sign::OffsetField(result.Offset));
        return result.Status;
    }

    // Makes Run() report this instead of opening the port (the run could
    // not give the port a thread).
    void Refuse(std::exception_ptr why) { FRefused = std::move(why); }

    // Wakes the wait for the sign's answer, so that it sees a stop now.
    void Wake() {
        { std::lock_guard<std::mutex> lock(FLock); }
        FSignal.notify_all();
    }

private:
    struct TResult {
        std::string Outcome; // for the result line
        std::string Logged;  // for the audit log: without the clock, which has its field
        int Status = radarsign::ExitOk;
        int Writes = 0;
        std::string Request;   // the command's frame in hex
        std::string SignClock; // as read: ISO, or the window's text and the bytes when no date
        std::optional<std::int64_t> Offset;
    };
    // One transaction: Done when the sign acknowledged; otherwise Failure
    // (and Logged, for the audit log) and Status say why. The times, on the
    // monotonic clock, right before the first and the last write and when the
    // reply was recognised; the PC's clock right before the first write.
    struct TStep {
        bool Done = false;
        int Writes = 0;
        std::string Failure;
        std::string Logged;
        int Status = radarsign::ExitOk;
        Clock::time_point FirstWrite;
        Clock::time_point LastWrite;
        Clock::time_point Reply;
        radarsign::TPcTime PcAtFirstWrite;
    };

    void Log(const TResult& result) {
        audit::TAuditRecord record;
        record.Program = "radar-sign";
        record.Port = FName;
        // A network port has no adapter here (and its name is no path).
        const sign::TPortIdentity identity =
            sign::IsNetworkPortName(FName) ? sign::TPortIdentity{} : sign::PortIdentityOf(FName);
        record.AdapterId = identity.VidPid();
        record.AdapterSerial = identity.SerialNumber;
        record.Command = radarsign::CommandName(FOptions.Command);
        record.Request = result.Request;
        record.Tries = result.Writes;
        record.Outcome = result.Logged;
        record.SignClock = result.SignClock;
        record.OffsetSeconds = result.Offset;
        FAudit->Append(record);
    }

    TStep Transact(cport::TComPort& port, sign::TSignLink& link, std::int32_t code,
                   std::string payload) {
        TStep step;
        if (Stopped()) {
            step.Failure = step.Logged = CancelledText();
            step.Status = radarsign::ExitNoAnswer;
            return step;
        }
        link.BeginRequest(code, std::move(payload));
        std::uint32_t openError = comm::ERROR_SUCCESS;
        sign::TPortFacts openFacts;
        sign::TTransactionHooks hooks;
        hooks.Cancelled = Stopped;
        hooks.Opened = [&](bool opened) {
            // The facts now: the errno behind the open's error is this
            // thread's until its next call.
            if (!opened) {
                openError = comm::Api().GetLastError();
                openFacts = sign::PortFacts(FName, openError);
            }
            if (FOptions.Verbose)
                Trace(opened ? std::string("open ") + sign::LineSettings : "does not open");
            return opened;
        };
        // The sign uses no modem line: a port whose driver fails the modem
        // query still carries the frames. (A driver that answers that it has
        // no modem lines, as Wine on a pseudo-terminal and some virtual COM
        // ports do, raises nothing: its lines read as off.)
        hooks.OpenRaised = [&](const cport::EComPort& raised) {
            if (raised.ErrorCode() != cport::CError_ModemStatFailed)
                return false;
            if (FOptions.Verbose)
                Trace(std::string(raised.what()) + " (OS code " +
                      std::to_string(raised.OsErrorCode()) +
                      "): the modem lines are not known, going on");
            return true;
        };
        hooks.Writing = [&] {
            if (step.Writes++ == 0) {
                step.PcAtFirstWrite = PcTime(FFixedPcClock);
                step.FirstWrite = Clock::now();
            }
            step.LastWrite = Clock::now();
        };
        hooks.Written = [&](const std::string& frame, std::int32_t written) {
            if (!FOptions.Verbose)
                return;
            const bool whole = written == static_cast<std::int32_t>(frame.size());
            Trace("> " + sign::HexBytes(frame) +
                  (whole ? "" : " (" + std::to_string(written) + " bytes taken)"));
        };
        hooks.Wait = [&](milliseconds timeout) { Wait(port, link, timeout); };
        const sign::TTransactionResult result = sign::RunTransaction(
            port, link, FName, {FOptions.Tries, FOptions.Timeout, milliseconds(10)}, hooks);
        step.Writes = result.Writes;
        step.Reply = FReplyAt;
        // What the driver kept and the port gave up on is said, not waited for.
        if (result.GivenUp != 0)
            FOutput.Error(FName + ": the port's driver did not end " +
                          std::to_string(result.GivenUp) +
                          (result.GivenUp == 1 ? " transfer" : " transfers") +
                          ", not even cancelled; given up on");
        if (FOptions.Verbose && result.DeviceGone)
            Trace("the device has gone: the port's name is no longer there");
        if (!result.Opened && Stopped() && openError == comm::ERROR_OPERATION_ABORTED) {
            // A network open the stop ended (or never began).
            step.Failure = step.Logged = CancelledText();
            step.Status = radarsign::ExitNoAnswer;
        } else if (!result.Opened) {
            step.Failure = step.Logged = sign::OpenFailureText(openError, openFacts);
            step.Status = radarsign::ExitNoPort;
        } else if (result.DeviceGone && !result.Acknowledged) {
            step.Failure = step.Logged =
                sign::OpenFailureText(comm::ERROR_DEVICE_REMOVED, sign::NameFacts(FName));
            step.Status = radarsign::ExitNoPort;
        } else if (!result.Acknowledged && Stopped()) {
            step.Failure = step.Logged = CancelledText();
            step.Status = radarsign::ExitNoAnswer;
        } else if (!result.Acknowledged) {
            step.Failure = "no answer after " + radarsign::Tries(result.Writes);
            step.Logged = "no answer";
            step.Status = radarsign::ExitNoAnswer;
        } else {
            step.Done = true;
        }
        return step;
    }

    // The PC's clock while a transaction read the sign's clock.
    static radarsign::TReadWindow PcWindow(const TStep& step) {
        const std::int64_t from = step.PcAtFirstWrite.Millis;
        return {step.PcAtFirstWrite.Clock, from, from + MsUp(step.Reply - step.FirstWrite)};
    }

    // read-time: the clock of the reply against the PC's clock, and against
    // --max-offset.
    void JudgeRead(const std::string& reply, const TStep& step, TResult& result) const {
        const radarsign::TClockVerdict verdict =
            radarsign::JudgeClock(sign::ReplyClock(reply), PcWindow(step), FOptions.MaxOffset);
        result.Offset = verdict.Offset;
        result.SignClock = sign::ClockField(reply);
        if (!verdict.Fails) {
            result.Outcome = verdict.Offset ? "ok " + ClockShown(reply)
                                            : "ok, clock not a date: " + result.SignClock;
            result.Logged = "ok";
            return;
        }
        result.Status = radarsign::ExitClockOff;
        if (!verdict.Offset) {
            result.Outcome = "clock not a date: " + result.SignClock;
            result.Logged = "clock not a date";
            return;
        }
        result.Logged = "clock off by more than " + std::to_string(*FOptions.MaxOffset) + " s";
        result.Outcome =
            result.Logged + ": " + ClockShown(reply) + ", " + OffsetWords(*verdict.Offset);
    }

    // send-time --verify: the clock read back against the time sent, counted
    // on from the set's writes (the sign takes the time from the last frame
    // that reaches it, written between the first and the last write); the
    // offset field against the PC's clock as for read-time.
    void JudgeVerify(const std::string& reply, const sign::TSignClock& sent, const TStep& set,
                     const TStep& back, TResult& result) const {
        const std::optional<sign::TSignClock> clock = sign::ReplyClock(reply);
        result.Offset = radarsign::JudgeClock(clock, PcWindow(back), std::nullopt).Offset;
        result.SignClock = sign::ClockField(reply);
        const radarsign::TReadWindow sentOn{sent, Ms(back.FirstWrite - set.LastWrite),
                                            MsUp(back.Reply - set.FirstWrite)};
        const radarsign::TClockVerdict verdict = radarsign::JudgeClock(
            clock, sentOn, FOptions.MaxOffset.value_or(radarsign::DefaultVerifyTolerance));
        if (!verdict.Fails) {
            result.Outcome = result.Logged = "ok";
            return;
        }
        result.Status = radarsign::ExitClockOff;
        const std::string lead = "the sign did not take the time";
        if (!verdict.Offset) {
            result.Outcome = lead + ": it reads " + result.SignClock + ", not a date";
            result.Logged = lead + ": not a date";
            return;
        }
        const std::string words = OffsetWords(*verdict.Offset, "the time sent");
        result.Outcome = lead + ": it reads " + result.SignClock + ", " + words;
        result.Logged = lead + ": " + words;
    }

    std::int32_t Code() const {
        switch (FOptions.Command) {
        case TCommand::SendTime:
            return sign::CmdSetTime;
        case TCommand::Download:
            return sign::CmdDownload;
        default:
            return sign::CmdReadTime;
        }
    }
    // A clock that is a date, as the window shows it or in ISO 8601.
    std::string ClockShown(const std::string& reply) const {
        const std::optional<sign::TSignClock> clock = sign::ReplyClock(reply);
        return FOptions.Iso && clock ? sign::IsoText(*clock) : sign::ClockText(reply);
    }

    // Until the acknowledgement, the time-out, the device's going or a stop:
    // sleeps until the handler reports bytes, then reads them here and gives
    // them to the link. The moment the reply is recognised is kept. A pulled
    // adapter sends no event (the port's events stop): the wait asks the
    // port every GoneCheck whether its device is still there (a question
    // that costs nothing until a call on the port has failed).
    void Wait(cport::TComPort& port, sign::TSignLink& link, milliseconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (!link.AckReceived()) {
            {
                std::unique_lock<std::mutex> lock(FLock);
                const Clock::time_point until = std::min(deadline, Clock::now() + GoneCheck);
                if (!FSignal.wait_until(lock, until, [this] { return FRxPending || Stopped(); })) {
                    lock.unlock();
                    if (Clock::now() >= deadline)
                        return;
                    if (sign::DeviceGone(port))
                        return; // the transaction asks too, and ends
                    continue;
                }
                // Bytes that came with the stop are read first: an answer
                // that is there counts.
                if (!FRxPending)
                    return;
                FRxPending = false;
            }
            std::string bytes;
            const std::int32_t count = port.InQueueCount();
            if (count > 0)
                port.ReadString(count, bytes);
            if (bytes.empty())
                continue;
            if (link.Receive(bytes).Acknowledged)
                FReplyAt = Clock::now();
            if (FOptions.Verbose)
                Trace("< " + sign::HexBytes(bytes));
        }
    }

    void Trace(const std::string& text) { FOutput.Trace(FName, text); }

    const TOptions& FOptions;
    const std::string FName;
    const std::string FPayload;
    const std::optional<sign::TSignClock> FFixedPcClock;
    TOutput& FOutput;
    TAudit* const FAudit;
    std::mutex FLock;
    std::condition_variable FSignal;
    std::exception_ptr FRefused;
    bool FRxPending = false;    // the handler saw bytes that the worker has not read
    Clock::time_point FReplyAt; // when the last reply was recognised
};

// The console file: the test's, or the system's.
std::string ConsoleFile() {
    const char* file = std::getenv("RADAR_SIGN_CONSOLE_FILE");
    return file != nullptr ? file : radarsign::SystemConsoleFile();
}

// At most this many names in a message about ports.
constexpr std::size_t NamesShown = 5;

int ListPorts(const TOptions& options, TOutput& output) {
    const char* dir = std::getenv("RADAR_SIGN_DEVICE_DIR");
    const std::string consoleFile = ConsoleFile();
    // The candidates leave the system's console out; the console that a
    // test names (RADAR_SIGN_CONSOLE_FILE) is left out here, by the same test.
    std::vector<std::string> candidates;
    for (const std::string& name : sign::PortCandidates(dir != nullptr ? dir : ""))
        if (!radarsign::IsConsole(name, consoleFile))
            candidates.push_back(name);
    if (options.NoOpen) {
        if (options.Long) {
            for (const sign::TPortIdentity& identity : sign::PortIdentities(candidates))
                output.Result(radarsign::PortLine(identity));
        } else {
            for (const std::string& name : candidates)
                output.Result(sign::VisibleText(name));
        }
        if (output.Failed())
            return radarsign::ExitNoOutput;
        return candidates.empty() ? radarsign::ExitNoPort : radarsign::ExitOk;
    }
    cport::TComPort port(nullptr);
    const std::vector<std::string> found = sign::ScanPorts(port, candidates);
    if (options.Long) {
        for (const sign::TPortIdentity& identity : sign::PortIdentities(found))
            output.Result(radarsign::PortLine(identity));
    } else {
        for (const std::string& name : found)
            output.Result(sign::VisibleText(name));
    }
    // A user outside the dialout group sees no port at all: say why.
    std::vector<std::string> denied;
    for (const std::string& name : candidates)
        if (std::find(found.begin(), found.end(), name) == found.end() && sign::NoAccess(name))
            denied.push_back(name);
    if (!denied.empty()) {
        std::string names;
        for (std::size_t i = 0; i < denied.size() && i < NamesShown; ++i)
            names += (i == 0 ? "" : ", ") + denied[i];
        if (denied.size() > NamesShown)
            names += ", ...";
        output.Error(std::to_string(denied.size()) + " serial port" +
                     (denied.size() == 1 ? "" : "s") + " left out for lack of permission (" +
                     names + "): add yourself to the dialout group and log in again");
    }
    return output.Failed() ? radarsign::ExitNoOutput : radarsign::ExitOk;
}

int RunCommand(const TOptions& options, const std::optional<sign::TSignClock>& fixedPcClock,
               TOutput& output) {
    // The console, and one port given twice, are refused before any port is
    // opened.
    const std::string consoleFile = ConsoleFile();
    std::vector<std::string> names;
    for (const std::string& typed : options.Ports) {
        const std::string name = sign::CanonicalPortName(typed);
        if (radarsign::IsConsole(name, consoleFile)) {
            output.Error(typed + " is the system console, not a sign's port; nothing was sent");
            return radarsign::ExitUsage;
        }
        names.push_back(name);
    }
    if (const std::string twice = radarsign::SamePortTwice(options.Ports); !twice.empty()) {
        output.Error(twice + "; nothing was sent");
        return radarsign::ExitUsage;
    }
    std::string payload;
    if (options.Command == TCommand::Download) {
        TSignSettings table = options.Table;
        if (!options.SettingsFile.empty()) {
            const radarsign::TTable loaded = radarsign::LoadTable(options.SettingsFile);
            if (!loaded.Table) {
                output.Error(loaded.Error);
                return radarsign::ExitUsage;
            }
            table = *loaded.Table;
        }
        payload = sign::DownloadPayload(table);
    }
    std::unique_ptr<TAudit> audit;
    if (!options.NoLog)
        audit = std::make_unique<TAudit>(UserSettingsFolder(ProcessEnvironment()), output);
    std::vector<std::unique_ptr<TPortJob>> jobs;
    std::vector<int> statuses(names.size(), radarsign::ExitOk);
    // Every job exists before the first thread starts: the threads read the
    // vectors, which must not grow under them.
    for (const std::string& name : names)
        jobs.push_back(
            std::make_unique<TPortJob>(options, name, payload, fixedPcClock, output, audit.get()));
    int stop = 0;
    {
        const radarsign::TInterrupts interrupts([&jobs] {
            // A network port still connecting ends now too, and none is
            // connected after (a connect cannot look at Stop()).
            comm::net::AbortOpens();
            for (const auto& job : jobs)
                job->Wake();
        });
        // Each worker takes the next port until none is left: at most
        // PortsAtOnce ports are in flight, so that a fleet neither runs out
        // of descriptors nor of threads (a port holds three or four).
        std::atomic<std::size_t> next{0};
        const auto work = [&jobs, &statuses, &next] {
            for (std::size_t i; (i = next++) < jobs.size();)
                statuses[i] = jobs[i]->Run();
        };
        std::vector<std::thread> threads;
        std::exception_ptr noThread;
        radarsign::WithStopsBlocked([&] {
            const std::size_t workers = radarsign::PortsAtOnce(jobs.size());
            try {
                while (threads.size() < workers)
                    threads.emplace_back(work);
            } catch (const std::system_error&) {
                // Fewer at once; with none at all, each port says why.
                noThread = std::current_exception();
            }
        });
        if (threads.empty()) {
            for (std::size_t i = 0; i < jobs.size(); ++i) {
                jobs[i]->Refuse(noThread);
                statuses[i] = jobs[i]->Run();
            }
        }
        for (std::thread& t : threads)
            host::WaitForThreadServing(t);
        stop = radarsign::TInterrupts::Stop();
    }
    if (stop != 0)
        return radarsign::StopStatus(stop);
    int status = output.Failed() ? radarsign::ExitNoOutput : radarsign::ExitOk;
    for (const int s : statuses)
        status = radarsign::WorseStatus(status, s);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    gStart = Clock::now();
    radarsign::KeepStandardStreams();
    radarsign::RaiseOpenFileLimit();
    TOutput output;
    const radarsign::TParsed parsed =
        radarsign::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.Options) {
        output.Error(parsed.Error);
        output.Note("Try 'radar-sign --help'.");
        return radarsign::ExitUsage;
    }
    const TOptions& options = *parsed.Options;
    if (options.Help || options.Version) {
        std::string text = options.Help ? radarsign::Usage() : radarsign::Version();
        text.pop_back(); // Result ends the line
        output.Result(text);
        return output.Failed() ? radarsign::ExitNoOutput : radarsign::ExitOk;
    }
    std::optional<sign::TSignClock> fixedPcClock;
    if (const char* pc = std::getenv("RADAR_SIGN_PC_CLOCK")) {
        fixedPcClock = radarsign::ParseDateTime(pc);
        if (!fixedPcClock) {
            output.Error(std::string("RADAR_SIGN_PC_CLOCK '") + pc +
                         "': not a date and time \"YYYY-MM-DD HH:MM:SS\" in 2000..2099");
            return radarsign::ExitUsage;
        }
    }
    comm::net::SetConnectTimeout(options.ConnectTimeout);
    host::TPlainMainLoop loop;
    if (options.Command == TCommand::Ports)
        return ListPorts(options, output);
    return RunCommand(options, fixedPcClock, output);
}
