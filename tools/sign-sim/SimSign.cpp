#include "tools/sign-sim/SimSign.h"

#include <cstdio>

namespace signsim {

namespace {

constexpr char FrameStart = static_cast<char>(sign::FrameHeader[0]);
constexpr std::size_t HeaderSize = sizeof sign::FrameHeader;

std::uint8_t Xor(const std::string& bytes) {
    std::uint8_t c = 0;
    for (const char b : bytes)
        c ^= static_cast<std::uint8_t>(b);
    return c;
}

unsigned Byte(const std::string& s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

// The length of a rejected frame start: up to the next F7 after its first
// byte, where reading starts again, or all of it.
std::size_t RejectedLength(const std::string& frame) {
    const std::size_t next = frame.find(FrameStart, 1);
    return next == std::string::npos ? frame.size() : next;
}

std::string HexByte(unsigned b) {
    return sign::HexBytes(std::string(1, static_cast<char>(b)));
}

std::string TwoDigits(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02u", v);
    return text;
}

} // namespace

int PayloadSize(std::int32_t code) {
    switch (code) {
    case sign::CmdSetTime:
        return 6;
    case sign::CmdDownload:
        return 12;
    case sign::CmdReadTime:
        return 0;
    default:
        return -1;
    }
}

std::vector<TParsed> TRequestParser::Feed(const std::string& bytes) {
    FBuffer += bytes;
    std::vector<TParsed> out;
    std::string junk;
    const auto flushJunk = [&] {
        if (!junk.empty())
            out.push_back({TParsed::Junk, std::move(junk), 0, {}, {}});
        junk.clear();
    };
    std::size_t pos = 0;
    while (pos < FBuffer.size()) {
        const std::size_t left = FBuffer.size() - pos;
        bool headerSoFar = true;
        for (std::size_t k = 0; k < HeaderSize && k < left; ++k)
            headerSoFar = headerSoFar && Byte(FBuffer, pos + k) == sign::FrameHeader[k];
        if (!headerSoFar) {
            junk += FBuffer[pos++];
            continue;
        }
        if (left <= HeaderSize)
            break; // the code is still to come
        const std::int32_t code = static_cast<std::int32_t>(Byte(FBuffer, pos + HeaderSize));
        const int payloadSize = PayloadSize(code);
        if (payloadSize < 0) {
            flushJunk();
            const std::string start = FBuffer.substr(pos, HeaderSize + 1);
            const std::size_t n = RejectedLength(start);
            out.push_back({TParsed::Rejected,
                           start.substr(0, n),
                           code,
                           {},
                           "unknown command " + HexByte(code)});
            pos += n;
            continue;
        }
        const std::size_t frameSize = HeaderSize + 1 + static_cast<std::size_t>(payloadSize) + 1;
        if (left < frameSize)
            break; // the rest of the frame is still to come
        const std::string frame = FBuffer.substr(pos, frameSize);
        flushJunk();
        if (Xor(frame) != 0) {
            const std::size_t n = RejectedLength(frame);
            out.push_back({TParsed::Rejected,
                           frame.substr(0, n),
                           code,
                           {},
                           "bad checksum " + HexByte(Byte(frame, frameSize - 1))});
            pos += n;
            continue;
        }
        out.push_back({TParsed::Request,
                       frame,
                       code,
                       frame.substr(HeaderSize + 1, static_cast<std::size_t>(payloadSize)),
                       {}});
        pos += frameSize;
    }
    flushJunk();
    FBuffer.erase(0, pos);
    return out;
}

std::string ClockWords(const std::string& b) {
    if (b.size() < 6)
        return "?";
    return "20" + HexByte(Byte(b, 0)) + "-" + HexByte(Byte(b, 1)) + "-" + HexByte(Byte(b, 2)) +
           " " + HexByte(Byte(b, 3)) + ":" + HexByte(Byte(b, 4)) + ":" + HexByte(Byte(b, 5));
}

std::optional<sign::TSignClock> DecodeClock(const std::string& b) {
    if (b.size() != 6)
        return std::nullopt;
    int v[6];
    for (std::size_t i = 0; i < 6; ++i) {
        const unsigned x = Byte(b, i);
        if ((x >> 4) > 9 || (x & 0x0F) > 9)
            return std::nullopt;
        v[i] = static_cast<int>((x >> 4) * 10 + (x & 0x0F));
    }
    using namespace std::chrono;
    const year_month_day date{year{2000 + v[0]}, month{static_cast<unsigned>(v[1])},
                              day{static_cast<unsigned>(v[2])}};
    if (!date.ok() || v[3] > 23 || v[4] > 59 || v[5] > 59)
        return std::nullopt;
    return sign::TSignClock{2000 + v[0], v[1], v[2], v[3], v[4], v[5]};
}

sign::TSignClock AddSeconds(const sign::TSignClock& c, std::int64_t s) {
    using namespace std::chrono;
    const sys_days date{year{c.Year} / month{static_cast<unsigned>(c.Month)} /
                        day{static_cast<unsigned>(c.Day)}};
    const sys_seconds t = date + hours{c.Hour} + minutes{c.Minute} + seconds{c.Second} + seconds{s};
    const sys_days newDate = floor<days>(t);
    const year_month_day ymd{newDate};
    const hh_mm_ss<seconds> time{t - newDate};
    return {static_cast<int>(ymd.year()),
            static_cast<int>(static_cast<unsigned>(ymd.month())),
            static_cast<int>(static_cast<unsigned>(ymd.day())),
            static_cast<int>(time.hours().count()),
            static_cast<int>(time.minutes().count()),
            static_cast<int>(time.seconds().count())};
}

std::string TableWords(const std::string& p) {
    if (p.size() < 12)
        return "?";
    const auto period = [&](std::size_t i) {
        return TwoDigits(Byte(p, i)) + ":" + TwoDigits(Byte(p, i + 1)) + "-" +
               TwoDigits(Byte(p, i + 2)) + ":" + TwoDigits(Byte(p, i + 3)) + " at " +
               std::to_string(Byte(p, i + 4));
    };
    static const char* const rates[] = {"1.5Hz", "1Hz", "0.75 Hz."};
    const unsigned rate = Byte(p, 11);
    return "morning " + period(0) + ", afternoon " + period(5) + ", regular " +
           std::to_string(Byte(p, 10)) + ", rate " +
           (rate < 3 ? std::string(rates[rate]) : std::to_string(rate));
}

void TSimClock::Stop(std::string bytes) {
    FMode = Stopped;
    FStoppedByOption = true;
    FBytes = std::move(bytes);
}

void TSimClock::Set(const std::string& payload, Clock::time_point now) {
    const std::optional<sign::TSignClock> clock = DecodeClock(payload);
    if (clock && !FStoppedByOption) {
        FMode = Running;
        FBase = *clock;
        FBaseTime = now;
    } else {
        FMode = Stopped;
        FBytes = payload;
    }
}

std::optional<sign::TSignClock> TSimClock::Value(Clock::time_point now) const {
    switch (FMode) {
    case PcTime:
        return sign::LocalClock();
    case Running:
        return AddSeconds(FBase, std::chrono::floor<std::chrono::seconds>(now - FBaseTime).count());
    case Stopped:
        break;
    }
    return DecodeClock(FBytes);
}

std::string TSimClock::Bytes(Clock::time_point now) const {
    if (FMode == Stopped)
        return FBytes;
    const std::optional<sign::TSignClock> clock = Value(now);
    return clock ? sign::SetTimePayload(*clock) : std::string(6, '\0');
}

TAnswer TSimSign::Handle(const TParsed& request, Clock::time_point now) {
    TAnswer answer;
    switch (request.Code) {
    case sign::CmdSetTime:
        FClock.Set(request.Payload, now);
        answer.Shown = "clock set: " + ClockWords(request.Payload);
        if (!FClock.IsRunning())
            answer.Shown += DecodeClock(request.Payload)
                                ? " (stopped by --clock)"
                                : " (no valid date and time: the clock stays at these bytes)";
        break;
    case sign::CmdDownload:
        FTable = request.Payload;
        answer.Shown = "table: " + TableWords(FTable);
        break;
    default:
        break;
    }
    if (request.Code != sign::CmdReadTime) {
        answer.Reply = sign::BuildReply(request.Code);
    } else if (const auto clock = FClock.Value(now)) {
        answer.Reply = sign::BuildReply(request.Code, *clock);
    } else {
        // Stopped at bytes that are no date and time: sent as they are.
        answer.Reply = sign::BuildFrame(request.Code + sign::ReplyFlag, FClock.Bytes(now));
    }
    return answer;
}

std::string TSimSign::Describe(const TParsed& request) {
    switch (request.Code) {
    case sign::CmdSetTime:
        return "set time " + ClockWords(request.Payload);
    case sign::CmdDownload:
        return "download";
    case sign::CmdReadTime:
        return "read time";
    default:
        return "command " + HexByte(static_cast<unsigned>(request.Code));
    }
}

} // namespace signsim
