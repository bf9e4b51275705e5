#include "sign/SignLink.h"

#include <ctime>
#include <mutex>

namespace sign {

namespace {

char HexDigit(unsigned v) {
    return "0123456789ABCDEF"[v & 0x0F];
}

void AppendHex(std::string& out, unsigned char byte) {
    out += HexDigit(byte >> 4);
    out += HexDigit(byte);
}

std::uint8_t Xor(const std::string& bytes) {
    std::uint8_t c = 0;
    for (const char b : bytes)
        c ^= static_cast<std::uint8_t>(b);
    return c;
}

std::string Header() {
    return std::string(reinterpret_cast<const char*>(FrameHeader), sizeof FrameHeader);
}

bool IsBcd(unsigned char b) {
    return (b >> 4) <= 9 && (b & 0x0F) <= 9;
}

int FromBcd(unsigned char b) {
    return (b >> 4) * 10 + (b & 0x0F);
}

} // namespace

const char* CommandName(std::int32_t code) {
    switch (code) {
    case CmdSetTime:
        return "send-time";
    case CmdDownload:
        return "download";
    case CmdReadTime:
        return "read-time";
    default:
        return "?";
    }
}

std::uint8_t ToBcd(int v) {
    return static_cast<std::uint8_t>((v / 10) * 16 + v % 10);
}

TSignClock LocalClock() {
    // localtime keeps its result in one static buffer.
    static std::mutex lock;
    const std::time_t now = std::time(nullptr);
    const std::lock_guard<std::mutex> hold(lock);
    const std::tm* t = std::localtime(&now);
    if (t == nullptr)
        return {};
    return {t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec};
}

std::string SetTimePayload(const TSignClock& clock) {
    const int values[] = {clock.Year % 100, clock.Month,  clock.Day,
                          clock.Hour,       clock.Minute, clock.Second};
    std::string payload;
    for (const int v : values)
        payload += static_cast<char>(ToBcd(v));
    return payload;
}

std::string DownloadPayload(const TSignSettings& e) {
    const std::int32_t values[] = {
        e.MorningStartHour,   e.MorningStartMinute, e.MorningEndHour,       e.MorningEndMinute,
        e.MorningSpeed,       e.AfternoonStartHour, e.AfternoonStartMinute, e.AfternoonEndHour,
        e.AfternoonEndMinute, e.AfternoonSpeed,     e.RegularSpeed,         e.FlashRateIndex,
    };
    std::string payload;
    for (const std::int32_t v : values)
        payload += static_cast<char>(static_cast<std::uint32_t>(v) & 0xFF);
    return payload;
}

std::string BuildFrame(std::int32_t code, const std::string& payload) {
    std::string frame = Header();
    frame += static_cast<char>(static_cast<std::uint32_t>(code) & 0xFF);
    frame += payload;
    frame += static_cast<char>(Xor(frame));
    return frame;
}

std::string ClockText(const std::string& reply) {
    std::string text;
    if (reply.size() < ClockReplySize)
        return text;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(reply[i]); };
    AppendHex(text, at(6));
    text += '/';
    AppendHex(text, at(7));
    text += " 20";
    AppendHex(text, at(5));
    text += "  ";
    AppendHex(text, at(8));
    text += ':';
    AppendHex(text, at(9));
    return text;
}

std::optional<TSignClock> ReplyClock(const std::string& reply) {
    if (reply.size() < ClockReplySize)
        return std::nullopt;
    unsigned char b[6];
    for (std::size_t i = 0; i < 6; ++i) {
        b[i] = static_cast<unsigned char>(reply[5 + i]);
        if (!IsBcd(b[i]))
            return std::nullopt;
    }
    return TSignClock{2000 + FromBcd(b[0]), FromBcd(b[1]), FromBcd(b[2]),
                      FromBcd(b[3]),        FromBcd(b[4]), FromBcd(b[5])};
}

std::string BuildReply(std::int32_t code, const TSignClock& clock) {
    std::string reply = Header();
    reply += static_cast<char>(static_cast<std::uint32_t>(code + ReplyFlag) & 0xFF);
    if (code == CmdReadTime)
        reply += SetTimePayload(clock);
    reply += static_cast<char>(Xor(reply));
    return reply;
}

const std::string& TSignLink::BeginRequest(std::int32_t code, std::string payload) {
    FRxBuffer.clear();
    FCommandCode = code;
    FPayload = std::move(payload);
    FFrame = BuildFrame(FCommandCode, FPayload);
    return FFrame;
}

void TSignLink::Resynchronise() {
    const std::size_t start = FRxBuffer.find(static_cast<char>(FrameHeader[0]));
    FRxBuffer.erase(0, start == std::string::npos ? FRxBuffer.size() : start);
}

TSignLink::TReceived TSignLink::Receive(const std::string& bytes) {
    TReceived result;
    FRxBuffer += bytes;
    Resynchronise();
    const std::string header = Header();
    // The expected reply code as a whole number: a command code whose reply
    // code is not a byte value is never matched.
    const std::int64_t expected = static_cast<std::int64_t>(FCommandCode) + ReplyFlag;
    while (FRxBuffer.size() >= 5) {
        if (FRxBuffer.compare(0, header.size(), header) != 0 ||
            static_cast<unsigned char>(FRxBuffer[4]) != expected) {
            FRxBuffer.erase(0, 1);
        } else if (FCommandCode == CmdReadTime) {
            if (FRxBuffer.size() < ClockReplySize)
                return result; // the rest of the clock comes with a later event
            FLastReply = FRxBuffer.substr(0, ClockReplySize);
            result.ClockText = ClockText(FLastReply);
            result.Acknowledged = true;
            FAckReceived = true;
            FRxBuffer.clear();
        } else {
            FLastReply = FRxBuffer.substr(0, 5);
            result.Acknowledged = true;
            FAckReceived = true;
            FRxBuffer.clear();
        }
        Resynchronise();
    }
    return result;
}

std::string HexBytes(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char b : bytes) {
        if (!out.empty())
            out += ' ';
        AppendHex(out, static_cast<unsigned char>(b));
    }
    return out;
}

} // namespace sign
