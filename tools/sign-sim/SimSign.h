#pragma once
// The simulated sign's controller without the line: the reading of request
// frames from the bytes as they arrive, the sign's clock and operating table,
// the replies and the words that show them. Frames and replies are built by
// the sign's link (sign/SignLink.h), so the simulator
// answers exactly what the configurator expects.
//
// A request is F7 8C 8D 8A, a command code (1 set time, 2 download, 3 read
// time), its payload (6, 12 or 0 bytes) and a checksum that makes the
// exclusive-or of the whole frame 0. A frame with a bad checksum or an
// unknown code is rejected; reading starts again at the next F7.

#include "sign/SignLink.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace signsim {

using Clock = std::chrono::steady_clock;

// Payload length of a request code; -1 for a code the sign does not know.
int PayloadSize(std::int32_t code);

// One piece of what the line brought.
struct TParsed {
    enum TKind {
        Request,  // a valid request frame: Code and Payload
        Rejected, // a frame start that is no valid request: Reason says why
        Junk,     // bytes that cannot start a frame
    };
    TKind Kind = Junk;
    std::string Bytes; // the bytes concerned (the whole frame of a request)
    std::int32_t Code = 0;
    std::string Payload;
    std::string Reason;
};

// Reads request frames from the bytes as they arrive; an incomplete frame
// waits for the next call.
class TRequestParser {
public:
    std::vector<TParsed> Feed(const std::string& bytes);
    // Bytes kept for the next call (the start of a frame).
    const std::string& Pending() const { return FBuffer; }

private:
    std::string FBuffer;
};

// The six clock bytes as date and time words, each byte as its two hex
// digits (BCD shows as its decimal digits): "2026-12-07 14:35:09".
std::string ClockWords(const std::string& bytes);
// The clock of six BCD bytes (year within the century, month, day, hour,
// minute, second); none unless every byte is BCD and they make a real date
// and time.
std::optional<sign::TSignClock> DecodeClock(const std::string& bytes);
// The calendar time `seconds` later.
sign::TSignClock AddSeconds(const sign::TSignClock& clock, std::int64_t seconds);

// The operating table of a download payload in words: "morning 08:00-18:00
// at 20, afternoon 18:00-22:00 at 20, regular 20, rate 1.5Hz".
std::string TableWords(const std::string& payload);

// The sign's clock. At first it is the PC's local time. A set-time request
// sets it and it runs on from there, unless it was stopped (--clock) or the
// bytes sent are no valid date and time: then it stays at the bytes.
class TSimClock {
public:
    // Stops the clock at these six bytes.
    void Stop(std::string bytes);
    // Takes the payload of a set-time request, received at `now`.
    void Set(const std::string& payload, Clock::time_point now);
    bool IsRunning() const { return FMode != Stopped; }
    // The six bytes the clock shows at `now`.
    std::string Bytes(Clock::time_point now) const;
    // The clock at `now` as a calendar time; none when it shows bytes that
    // are none.
    std::optional<sign::TSignClock> Value(Clock::time_point now) const;

private:
    enum TMode { PcTime, Running, Stopped };
    TMode FMode = PcTime;
    bool FStoppedByOption = false;
    sign::TSignClock FBase;
    Clock::time_point FBaseTime;
    std::string FBytes;
};

// What the sign did with a request.
struct TAnswer {
    std::string Reply; // the reply frame
    std::string Shown; // the words of a change, for stdout; empty if none
};

// The sign's state and its answers.
class TSimSign {
public:
    TSimClock& SignClock() { return FClock; }
    // Carries out a valid request received at `now`.
    TAnswer Handle(const TParsed& request, Clock::time_point now);
    // A short description of a valid request for the log: "read time",
    // "set time 2026-12-07 14:35:09", "download".
    static std::string Describe(const TParsed& request);
    const std::string& Table() const { return FTable; }

private:
    TSimClock FClock;
    std::string FTable;
};

} // namespace signsim
