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
// lines are written whole, under one lock, as each port finishes.
//
// RADAR_SIGN_DEVICE_DIR, for tests: the folder whose serial devices "ports"
// lists instead of /dev (no effect on Windows).

#include "configurator/SignSettings.h"
#include "configurator/SignTransaction.h"
#include "host/ExceptionDisplay.h"
#include "host/PlainMainLoop.h"
#include "serial/CPort.h"
#include "serial/os/CommApi.h"
#include "tools/radar-sign/PortAccess.h"
#include "tools/radar-sign/RadarSignOptions.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
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

// Whole lines to stdout and stderr, one writer at a time.
class TOutput {
public:
    void Result(const std::string& line) { Write(stdout, line); }
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
};

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
    TPortJob(const TOptions& options, const std::string& name, const std::string& payload,
             TOutput& output)
        : FOptions(options), FName(name), FPayload(payload), FOutput(output) {}
    TPortJob(const TPortJob&) = delete;
    TPortJob& operator=(const TPortJob&) = delete;

    // The transaction and the result line; answers the exit status it calls for.
    int Run() {
        const Clock::time_point started = Clock::now();
        std::string outcome;
        int status = radarsign::ExitOk;
        int writes = 0;
        try {
            sign::TSignLink link;
            link.BeginRequest(Code(), Payload());
            cport::TComPort port(nullptr);
            ConfigureForTheTool(port);
            port.OnRxChar = [this](cport::TCustomComPort*, std::int32_t) {
                {
                    std::lock_guard<std::mutex> lock(FLock);
                    FRxPending = true;
                }
                FSignal.notify_one();
            };
            std::uint32_t openError = comm::ERROR_SUCCESS;
            sign::TTransactionHooks hooks;
            hooks.Opened = [&](bool opened) {
                if (!opened)
                    openError = comm::Api().GetLastError();
                if (FOptions.Verbose)
                    Trace(opened ? std::string("open ") + sign::LineSettings : "does not open");
                return opened;
            };
            // The sign uses no modem line: a port whose driver fails the
            // modem query still carries the frames. (A driver that answers
            // that it has no modem lines, as Wine on a pseudo-terminal and
            // some virtual COM ports do, raises nothing: its lines read as
            // off.)
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
            writes = result.Writes;
            if (!result.Opened) {
                outcome = radarsign::OpenFailureText(openError, radarsign::NoAccess(FName));
                status = radarsign::ExitNoPort;
            } else if (!result.Acknowledged) {
                outcome = "no answer after " + radarsign::Tries(writes);
                status = radarsign::ExitNoAnswer;
            } else {
                outcome = "ok" + ClockShown(link.LastReply());
            }
        } catch (...) {
            outcome = "error: " + host::ExceptionMessage(std::current_exception());
            status = radarsign::ExitNoPort;
        }
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - started).count();
        FOutput.Result(FName + "\t" + radarsign::CommandName(FOptions.Command) + "\t" + outcome +
                       "\t" + radarsign::Tries(writes) + "\t" + std::to_string(ms) + " ms");
        return status;
    }

private:
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
            return sign::SetTimePayload(FOptions.At ? *FOptions.At : sign::LocalClock());
        return FPayload;
    }
    std::string ClockShown(const std::string& reply) const {
        if (FOptions.Command != TCommand::ReadTime)
            return {};
        if (!FOptions.Iso)
            return " " + sign::ClockText(reply);
        const std::optional<sign::TSignClock> clock = sign::ReplyClock(reply);
        return clock ? " " + radarsign::IsoText(*clock)
                     : " " + sign::ClockText(reply) + " (not a date)";
    }

    // Until the acknowledgement or the time-out: sleeps until the handler
    // reports bytes, then reads them here and gives them to the link.
    void Wait(cport::TComPort& port, sign::TSignLink& link, milliseconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (!link.AckReceived()) {
            {
                std::unique_lock<std::mutex> lock(FLock);
                if (!FSignal.wait_until(lock, deadline, [this] { return FRxPending; }))
                    return;
                FRxPending = false;
            }
            std::string bytes;
            const std::int32_t count = port.InQueueCount();
            if (count > 0)
                port.ReadString(count, bytes);
            if (bytes.empty())
                continue;
            if (FOptions.Verbose)
                Trace("< " + sign::HexBytes(bytes));
            link.Receive(bytes);
        }
    }

    void Trace(const std::string& text) { FOutput.Trace(FName, text); }

    const TOptions& FOptions;
    const std::string FName;
    const std::string FPayload;
    TOutput& FOutput;
    std::mutex FLock;
    std::condition_variable FSignal;
    bool FRxPending = false; // the handler saw bytes that the worker has not read
};

int ListPorts() {
    const char* dir = std::getenv("RADAR_SIGN_DEVICE_DIR");
    cport::TComPort port(nullptr);
    for (const std::string& name :
         sign::ScanPorts(port, sign::PortCandidates(dir != nullptr ? dir : "")))
        std::printf("%s\n", name.c_str());
    return radarsign::ExitOk;
}

int RunCommand(const TOptions& options) {
    std::string payload;
    if (options.Command == TCommand::Download) {
        TSignSettings table = options.Table;
        if (!options.SettingsFile.empty()) {
            const radarsign::TTable loaded = radarsign::LoadTable(options.SettingsFile);
            if (!loaded.Table) {
                std::fprintf(stderr, "radar-sign: %s\n", loaded.Error.c_str());
                return radarsign::ExitUsage;
            }
            table = *loaded.Table;
        }
        payload = sign::DownloadPayload(table);
    }
    TOutput output;
    std::vector<std::unique_ptr<TPortJob>> jobs;
    std::vector<int> statuses(options.Ports.size(), radarsign::ExitOk);
    std::vector<std::thread> threads;
    // Every job exists before the first thread starts: the threads read the
    // vectors, which must not grow under them.
    for (const std::string& name : options.Ports)
        jobs.push_back(std::make_unique<TPortJob>(options, name, payload, output));
    for (std::size_t i = 0; i < jobs.size(); ++i)
        threads.emplace_back(
            [job = jobs[i].get(), status = &statuses[i]] { *status = job->Run(); });
    for (std::thread& t : threads)
        host::WaitForThreadServing(t);
    // A port that could not be used outweighs a sign that did not answer.
    int status = radarsign::ExitOk;
    for (const int s : statuses) {
        if (s == radarsign::ExitNoPort)
            status = s;
        else if (s == radarsign::ExitNoAnswer && status == radarsign::ExitOk)
            status = s;
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    gStart = Clock::now();
    const radarsign::TParsed parsed =
        radarsign::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.Options) {
        std::fprintf(stderr, "radar-sign: %s\nTry 'radar-sign --help'.\n", parsed.Error.c_str());
        return radarsign::ExitUsage;
    }
    const TOptions& options = *parsed.Options;
    if (options.Help) {
        std::fputs(radarsign::Usage().c_str(), stdout);
        return radarsign::ExitOk;
    }
    host::TPlainMainLoop loop;
    if (options.Command == TCommand::Ports)
        return ListPorts();
    return RunCommand(options);
}
