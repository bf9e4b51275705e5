#pragma once
// The sign link: the request frames the configurator sends to the sign's
// controller and the reassembly of the controller's replies from the bytes as
// they arrive. No GUI and no port here: the main window (its mycomm1RxChar),
// the command-line tool, the simulated sign and the tests share this code.
//
// Request frame, n = payload length (n + 6 bytes):
//   F7 8C 8D 8A, command code, payload, checksum
// where the checksum is the exclusive-or of every byte before it, so the
// exclusive-or of a whole frame is 0.
//
// Reply frame, as far as it is read: F7 8C 8D 8A, the command code + 80
// hexadecimal, and for the clock (83) the BCD bytes year, month, day, hour,
// minute, second (a clock reply is taken once 12 bytes are there). No
// checksum of a reply is checked; whatever follows the reply is dropped.
//
// Byte strings (std::string) hold arbitrary 8-bit values, 0 included.
// Nothing here throws, blocks or takes a lock; one TSignLink belongs to one
// thread.

#include "sign/SignSettings.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sign {

// Command codes.
inline constexpr std::int32_t CmdSetTime = 1;
inline constexpr std::int32_t CmdDownload = 2;
inline constexpr std::int32_t CmdReadTime = 3;
// A command's name as radar-sign and the audit log spell it: "send-time",
// "download", "read-time" ("?" for another code).
const char* CommandName(std::int32_t code);

inline constexpr unsigned char FrameHeader[4] = {0xF7, 0x8C, 0x8D, 0x8A};
// The reply code of a command: its code with the top bit set.
inline constexpr std::int32_t ReplyFlag = 0x80;
// Frame sizes: the longest request (download) and a whole clock reply.
inline constexpr std::size_t MaxFrameSize = 18;
inline constexpr std::size_t ClockReplySize = 12;

// Packs 0..99 into one byte, tens in the high four bits (35 -> 0x35). Values
// outside 0..99 give the same arithmetic, (v div 10) * 16 + v mod 10, cut
// to 8 bits; callers pass only 0..99.
std::uint8_t ToBcd(int v);

// A calendar date and time of day, as the sign's clock holds it.
struct TSignClock {
    int Year = 2000; // four digits; the sign keeps the year within the century
    int Month = 1;   // 1..12
    int Day = 1;     // 1..31
    int Hour = 0;    // 0..23
    int Minute = 0;  // 0..59
    int Second = 0;  // 0..59
    friend bool operator==(const TSignClock&, const TSignClock&) = default;
};

// The PC's local date and time now (thread-safe).
TSignClock LocalClock();

// The payload of a set-clock request: BCD year mod 100, month, day, hour,
// minute, second (6 bytes).
std::string SetTimePayload(const TSignClock& clock);
// The payload of a download request, 12 bytes, each the low 8 bits of the
// value: morning start hour, start minute, end hour, end minute, speed;
// afternoon start hour, start minute, end hour, end minute, speed; regular
// speed; flashing rate index (none, -1, gives FF). PortIndex is not sent.
std::string DownloadPayload(const TSignSettings& entries);

// The request frame of a command: header, the low byte of code, payload,
// checksum.
std::string BuildFrame(std::int32_t code, const std::string& payload);

// The clock text of a whole clock reply (at least 12 bytes): the bytes at
// offsets 6, 7, 5, 8 and 9 as two upper-case hex digits each, laid out
// "MM/DD 20YY  hh:mm" (12 26 07 14 35 at offsets 5..9 give "12/07 2026  14:35";
// a byte that is not BCD shows as its hex digits, 1A as "1A").
std::string ClockText(const std::string& reply);
// The sign's clock read from a whole clock reply as numbers: year 2000 + the
// BCD year, then month, day, hour, minute, second. None when a byte is not
// valid BCD.
std::optional<TSignClock> ReplyClock(const std::string& reply);

// The reply frame a sign sends for a request of `code`: header, code + 80
// hexadecimal, for the clock (code 3) the six BCD bytes of `clock`, then the
// exclusive-or checksum of what precedes it (6 bytes, or 12 for the clock).
std::string BuildReply(std::int32_t code, const TSignClock& clock = {});

// One request in progress and the reassembly of its reply.
class TSignLink {
public:
    // What one call of Receive recognised.
    struct TReceived {
        bool Acknowledged = false; // a reply to the request was recognised
        // For a clock request, the clock text of the reply (see ClockText);
        // the whole reply is kept in LastReply.
        std::optional<std::string> ClockText;
    };

    // Starts a request: keeps code and payload, builds the frame and empties
    // the receive buffer. Does not change AckReceived (the transaction clears
    // it once the port is open). Returns the frame.
    const std::string& BeginRequest(std::int32_t code, std::string payload);

    // Takes bytes received from the port: appends them to the receive buffer
    // and recognises a reply to the request in progress. Bytes before a
    // reply that cannot start one are dropped; an F7 that does not start the
    // header, or a header with another reply code, loses its first byte only;
    // a reply still incomplete waits in the buffer for the next call. A
    // recognised reply sets AckReceived and empties the buffer, dropping
    // whatever came with it.
    TReceived Receive(const std::string& bytes);

    void ClearAck() { FAckReceived = false; }

    std::int32_t CommandCode() const { return FCommandCode; }
    const std::string& Payload() const { return FPayload; }
    const std::string& Frame() const { return FFrame; }
    const std::string& RxBuffer() const { return FRxBuffer; }
    bool AckReceived() const { return FAckReceived; }
    // The examined bytes of the last recognised reply (5, or 12 for the clock).
    const std::string& LastReply() const { return FLastReply; }

private:
    void Resynchronise();

    std::int32_t FCommandCode = 0;
    std::string FPayload;
    std::string FFrame;
    std::string FRxBuffer;
    bool FAckReceived = false;
    std::string FLastReply;
};

// Formats bytes as upper-case hex pairs separated by blanks ("F7 8C 03"),
// for logs and messages.
std::string HexBytes(const std::string& bytes);

} // namespace sign
