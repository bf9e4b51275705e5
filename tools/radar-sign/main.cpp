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
// Concurrency: one worker thread per port, each owning its TComPort and its
// TSignLink from start to end; nothing of one port is touched by another
// thread, except as follows. The ports use SyncMethod smNone, so that their
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
// that cannot be written is said once on stderr and ends the run with
// status 5, so that a script never takes a lost reading for success.
//
// Each port's command appends one line to the audit log (audit.csv in the
// per-user data folder, configurator/AuditLog.h) after its result line is
// out, unless --no-log: the adapter's identity is looked up then, so that
// neither delays the command. A log that cannot be written is said once on
// stderr and changes nothing else.
//
// send-time --verify reads the clock back with a second transaction on the
// same port object, under the same hooks, once the set is acknowledged.
// The offset is taken against the PC's clock read when the reply was
// recognised.
//
// Environment hooks, for tests only (see the man page):
// RADAR_SIGN_DEVICE_DIR, the folder whose serial devices "ports" lists
// instead of /dev; RADAR_SIGN_CONSOLE_FILE, the file naming the console
// devices instead of /sys/class/tty/console/active (both no effect on
// Windows); RADAR_SIGN_PC_CLOCK, "YYYY-MM-DD HH:MM:SS" that the PC's clock
// reads, for the offset and for send-time without --at.

#include "configurator/AuditLog.h"
#include "configurator/ClockOffset.h"
#include "configurator/PortIdentity.h"
#include "configurator/SettingsLocation.h"
#include "configurator/SignSettings.h"
#include "configurator/SignTransaction.h"
#include "host/ExceptionDisplay.h"
#include "host/PlainMainLoop.h"
#include "serial/CPort.h"
#include "serial/driver/CommApi.h"
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
    // disk, a closed descriptor) is said on stderr, the first time only.
    void Result(const std::string& line) {
        std::lock_guard<std::mutex> lock(FLock);
        const std::string text = line + "\n";
        if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
            std::fflush(stdout) == 0)
            return;
        const int error = errno;
        std::clearerr(stdout);
        if (!FFailed)
            std::fprintf(stderr, "radar-sign: cannot write the results to standard output: %s\n",
                         std::strerror(error));
        FFailed = true;
    }
    // Whether a result line was lost.
    bool Failed() {
        std::lock_guard<std::mutex> lock(FLock);
        return FFailed;
    }
    // A message on stderr, prefixed with the program's name.
    void Error(const std::string& text) { Write(stderr, "radar-sign: " + text); }
    // A -v line: milliseconds since the start, the port, the text.
    void Trace(const std::string& port, const std::string& text) {
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - gStart).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%7lld ms ", static_cast<long long>(ms));
        Write(stderr, stamp + port + " " + text);
    }

private:
    void Write(std::FILE* f, const std::string& line) {
        std::lock_guard<std::mutex> lock(FLock);
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
        if (FLog.Append(record))
            return;
        if (!FWarned.exchange(true))
            FOutput.Error(FLog.Error() + " (the commands are not affected)");
    }

private:
    audit::TAuditLog FLog;
    TOutput& FOutput;
    std::atomic<bool> FWarned{false};
};

// The PC's clock: the local time, or the test's fixed time.
sign::TSignClock PcClock(const std::optional<sign::TSignClock>& fixed) {
    return fixed ? *fixed : sign::LocalClock();
}

// "2 min 13 s behind this PC".
std::string OffsetWords(std::int64_t seconds) {
    const std::string text = sign::ClockOffsetText(seconds);
    const std::string prefix = "Sign clock ";
    return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
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
    // audit: none for --no-log.
    TPortJob(const TOptions& options, const std::string& name, const std::string& payload,
             const std::optional<sign::TSignClock>& fixedPcClock, TOutput& output, TAudit* audit)
        : FOptions(options), FName(name), FPayload(payload), FFixedPcClock(fixedPcClock),
          FOutput(output), FAudit(audit) {}
    TPortJob(const TPortJob&) = delete;
    TPortJob& operator=(const TPortJob&) = delete;

    // The transaction and the result line; answers the exit status it calls for.
    int Run() {
        const Clock::time_point started = Clock::now();
        TResult result;
        try {
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
            const std::string payload = Payload();
            result.Request = sign::HexBytes(sign::BuildFrame(Code(), payload));
            const TStep step = Transact(port, link, Code(), payload);
            result.Writes = step.Writes;
            if (!step.Done) {
                result.Outcome = step.Failure;
                result.Logged = step.Logged;
                result.Status = step.Status;
            } else if (FOptions.Command == TCommand::ReadTime) {
                JudgeClock(link.LastReply(), "", result);
            } else if (FOptions.Command == TCommand::SendTime && FOptions.Verify) {
                const TStep back = Transact(port, link, sign::CmdReadTime, {});
                result.Writes += back.Writes;
                if (!back.Done) {
                    result.Outcome = "set, but not read back: " + back.Failure;
                    result.Logged = "set, but not read back: " + back.Logged;
                    result.Status = back.Status;
                } else {
                    JudgeClock(link.LastReply(), "set, but ", result);
                }
            } else {
                result.Outcome = result.Logged = "ok";
            }
        } catch (...) {
            result.Outcome = result.Logged =
                "error: " + host::ExceptionMessage(std::current_exception());
            result.Status = radarsign::ExitNoPort;
        }
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - started).count();
        FOutput.Result(FName + "\t" + radarsign::CommandName(FOptions.Command) + "\t" +
                       result.Outcome + "\t" + radarsign::Tries(result.Writes) + "\t" +
                       std::to_string(ms) + " ms\t" + sign::OffsetField(result.Offset));
        if (FAudit != nullptr)
            Log(result);
        return result.Status;
    }

private:
    struct TResult {
        std::string Outcome; // for the result line
        std::string Logged;  // for the audit log: without the clock, which has its field
        int Status = radarsign::ExitOk;
        int Writes = 0;
        std::string Request;   // the command's frame in hex
        std::string SignClock; // as read: ISO, or the window's text when no date
        std::optional<std::int64_t> Offset;
    };
    // One transaction: Done when the sign acknowledged; otherwise Failure
    // (and Logged, for the audit log) and Status say why.
    struct TStep {
        bool Done = false;
        int Writes = 0;
        std::string Failure;
        std::string Logged;
        int Status = radarsign::ExitOk;
    };

    void Log(const TResult& result) {
        audit::TAuditRecord record;
        record.Program = "radar-sign";
        record.Port = FName;
        const sign::TPortIdentity identity = sign::PortIdentityOf(FName);
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
        link.BeginRequest(code, std::move(payload));
        std::uint32_t openError = comm::ERROR_SUCCESS;
        sign::TTransactionHooks hooks;
        hooks.Opened = [&](bool opened) {
            if (!opened)
                openError = comm::Api().GetLastError();
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
        TStep step;
        step.Writes = result.Writes;
        if (!result.Opened) {
            step.Failure = step.Logged = sign::OpenFailureText(openError, FName);
            step.Status = radarsign::ExitNoPort;
        } else if (result.DeviceGone && !result.Acknowledged) {
            step.Failure = step.Logged =
                sign::OpenFailureText(comm::ERROR_DEVICE_REMOVED, sign::TPortFacts{});
            step.Status = radarsign::ExitNoPort;
        } else if (!result.Acknowledged) {
            step.Failure = "no answer after " + radarsign::Tries(result.Writes);
            step.Logged = "no answer";
            step.Status = radarsign::ExitNoAnswer;
        } else {
            step.Done = true;
        }
        return step;
    }

    // The clock of a read-time reply against the PC's clock when the reply
    // came, and against --max-offset.
    void JudgeClock(const std::string& reply, const std::string& lead, TResult& result) const {
        radarsign::TClockVerdict verdict =
            radarsign::JudgeClock(sign::ReplyClock(reply), FPcAtReply, FOptions.MaxOffset);
        // A clock read back after setting it must at least be a date: the
        // sign did not take the time.
        if (FOptions.Command == TCommand::SendTime && !verdict.Offset)
            verdict.Fails = true;
        result.Offset = verdict.Offset;
        const std::optional<sign::TSignClock> clock = sign::ReplyClock(reply);
        result.SignClock = verdict.Offset ? sign::IsoText(*clock) : sign::ClockText(reply);
        if (!verdict.Fails) {
            result.Outcome =
                FOptions.Command == TCommand::ReadTime ? "ok" + ClockShown(reply) : "ok";
            result.Logged = "ok";
            return;
        }
        result.Status = radarsign::ExitClockOff;
        if (!verdict.Offset) {
            result.Outcome = lead + "clock not a date: " + sign::ClockText(reply);
            result.Logged = lead + "clock not a date";
            return;
        }
        const std::string shown = FOptions.Iso ? result.SignClock : sign::ClockText(reply);
        result.Logged =
            lead + "clock off by more than " + std::to_string(*FOptions.MaxOffset) + " s";
        result.Outcome = result.Logged + ": " + shown + ", " + OffsetWords(*verdict.Offset);
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
    // Send Time takes the PC's clock when its port starts, as the window
    // does at the click.
    std::string Payload() const {
        if (FOptions.Command == TCommand::SendTime)
            return sign::SetTimePayload(FOptions.At ? *FOptions.At : PcClock(FFixedPcClock));
        return FPayload;
    }
    std::string ClockShown(const std::string& reply) const {
        if (!FOptions.Iso)
            return " " + sign::ClockText(reply);
        const std::optional<sign::TSignClock> clock = sign::ReplyClock(reply);
        return clock && sign::IsValidClock(*clock) ? " " + sign::IsoText(*clock)
                                                   : " " + sign::ClockText(reply) + " (not a date)";
    }

    // Until the acknowledgement, the time-out or the device's going: sleeps
    // until the handler reports bytes, then reads them here and gives them to
    // the link. The PC's clock is read as soon as the reply is recognised. A
    // pulled adapter sends no event (the port's events stop): the wait asks
    // the port every GoneCheck whether its device is still there.
    void Wait(cport::TComPort& port, sign::TSignLink& link, milliseconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (!link.AckReceived()) {
            {
                std::unique_lock<std::mutex> lock(FLock);
                const Clock::time_point until = std::min(deadline, Clock::now() + GoneCheck);
                if (!FSignal.wait_until(lock, until, [this] { return FRxPending; })) {
                    lock.unlock();
                    if (Clock::now() >= deadline)
                        return;
                    if (sign::DeviceGone(port))
                        return; // the transaction asks too, and ends
                    continue;
                }
                FRxPending = false;
            }
            std::string bytes;
            const std::int32_t count = port.InQueueCount();
            if (count > 0)
                port.ReadString(count, bytes);
            if (bytes.empty())
                continue;
            if (link.Receive(bytes).Acknowledged)
                FPcAtReply = PcClock(FFixedPcClock);
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
    bool FRxPending = false;     // the handler saw bytes that the worker has not read
    sign::TSignClock FPcAtReply; // the PC's clock when the last reply was recognised
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
    // The scan opens every candidate: none may be the console, whatever it
    // is called (a symlink to it under a serial port's name, too).
    std::vector<std::string> candidates;
    for (const std::string& name : sign::PortCandidates(dir != nullptr ? dir : ""))
        if (!radarsign::IsConsole(name, consoleFile))
            candidates.push_back(name);
    cport::TComPort port(nullptr);
    const std::vector<std::string> found = sign::ScanPorts(port, candidates);
    if (options.Long) {
        for (const sign::TPortIdentity& identity : sign::PortIdentities(found))
            output.Result(radarsign::PortLine(identity));
    } else {
        for (const std::string& name : found)
            output.Result(name);
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
    // The console is refused before any port is opened.
    const std::string consoleFile = ConsoleFile();
    for (const std::string& name : options.Ports)
        if (radarsign::IsConsole(name, consoleFile)) {
            output.Error(name + " is the system console, not a sign's port; nothing was sent");
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
    std::vector<int> statuses(options.Ports.size(), radarsign::ExitOk);
    std::vector<std::thread> threads;
    // Every job exists before the first thread starts: the threads read the
    // vectors, which must not grow under them.
    for (const std::string& name : options.Ports)
        jobs.push_back(
            std::make_unique<TPortJob>(options, name, payload, fixedPcClock, output, audit.get()));
    for (std::size_t i = 0; i < jobs.size(); ++i)
        threads.emplace_back(
            [job = jobs[i].get(), status = &statuses[i]] { *status = job->Run(); });
    for (std::thread& t : threads)
        host::WaitForThreadServing(t);
    int status = output.Failed() ? radarsign::ExitNoOutput : radarsign::ExitOk;
    for (const int s : statuses)
        status = radarsign::WorseStatus(status, s);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    gStart = Clock::now();
    radarsign::KeepStandardStreams();
    TOutput output;
    const radarsign::TParsed parsed =
        radarsign::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.Options) {
        output.Error(parsed.Error + "\nTry 'radar-sign --help'.");
        return radarsign::ExitUsage;
    }
    const TOptions& options = *parsed.Options;
    if (options.Help) {
        std::string usage = radarsign::Usage();
        usage.pop_back(); // Result ends the line
        output.Result(usage);
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
    host::TPlainMainLoop loop;
    if (options.Command == TCommand::Ports)
        return ListPorts(options, output);
    return RunCommand(options, fixedPcClock, output);
}
