#include "serial/driver/Telnet.h"

#include <array>

namespace comm::net {

using namespace telnet;

namespace {

constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kNul = 0x00;
constexpr std::uint8_t kReplyBase = 100;
constexpr std::uint8_t kLastCommand = 12;
// The commands between SE and SB that mean nothing to a serial line: NOP,
// DM, BRK, IP, AO, AYT, EC, EL, GA.
constexpr std::uint8_t kFirstOther = 241;
constexpr std::uint8_t kLastOther = 249;

const std::array<const char*, kLastCommand + 1> kCommandNames = {
    "SIGNATURE",           "SET-BAUDRATE",       "SET-DATASIZE",       "SET-PARITY",
    "SET-STOPSIZE",        "SET-CONTROL",        "NOTIFY-LINESTATE",   "NOTIFY-MODEMSTATE",
    "FLOWCONTROL-SUSPEND", "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
    "PURGE-DATA"};

std::vector<std::uint8_t> Encode(TComPortCommand command, std::span<const std::uint8_t> value) {
    std::vector<std::uint8_t> out = {kIac, kSb, kComPort, static_cast<std::uint8_t>(command)};
    for (std::uint8_t byte : value) {
        out.push_back(byte);
        if (byte == kIac)
            out.push_back(kIac);
    }
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

std::vector<std::uint8_t> EncodeByte(TComPortCommand command, std::uint8_t value) {
    return Encode(command, std::span<const std::uint8_t>(&value, 1));
}

bool Bit(std::uint8_t value, int bit) {
    return (value >> bit & 1) != 0;
}

} // namespace

// --- Parser -----------------------------------------------------------------

void TTelnetParser::Command(std::uint8_t byte, ITelnetSink& sink) {
    static constexpr std::uint8_t kFF = kIac;
    state_ = State::Data;
    if (byte == kIac) {
        sink.OnData(std::span<const std::uint8_t>(&kFF, 1));
    } else if (byte >= kWill) {
        verb_ = byte;
        state_ = State::Verb;
    } else if (byte == kSb) {
        state_ = State::SbOption;
    } else if (byte >= kFirstOther && byte <= kLastOther) {
        ++counts_.IgnoredCommands;
    } else {
        // SE outside a subnegotiation, or no command at all.
        ++counts_.Malformed;
    }
}

void TTelnetParser::Feed(std::span<const std::uint8_t> bytes, ITelnetSink& sink) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const std::uint8_t byte = bytes[i];
        switch (state_) {
        case State::Data: {
            const std::size_t start = i;
            while (i < n && bytes[i] != kIac && (binary_ || bytes[i] != kCr))
                ++i;
            if (i == n) {
                sink.OnData(bytes.subspan(start));
                break;
            }
            if (bytes[i] == kIac) {
                if (i > start)
                    sink.OnData(bytes.subspan(start, i - start));
                state_ = State::Iac;
            } else {
                // The CR goes out with its run; a NUL after it is dropped.
                sink.OnData(bytes.subspan(start, i - start + 1));
                state_ = State::DataCr;
            }
            ++i;
            break;
        }
        case State::DataCr:
            state_ = State::Data;
            if (byte == kNul)
                ++i;
            break;
        case State::Iac:
            ++i;
            Command(byte, sink);
            break;
        case State::Verb:
            ++i;
            state_ = State::Data;
            sink.OnOption(verb_, byte);
            break;
        case State::SbOption:
            if (byte == kIac) {
                // IAC SB IAC: no option; read what follows as a command.
                ++counts_.Malformed;
                state_ = State::Iac;
            } else {
                sbOption_ = byte;
                held_ = 0;
                state_ = State::Sb;
            }
            ++i;
            break;
        case State::Sb:
        case State::SbIac: {
            ++i;
            if (state_ == State::Sb && byte == kIac) {
                state_ = State::SbIac;
                break;
            }
            if (state_ == State::SbIac && byte == kSe) {
                state_ = State::Data;
                const std::size_t size = held_;
                held_ = 0;
                sink.OnSubnegotiation(sbOption_, std::span<const std::uint8_t>(body_, size));
                break;
            }
            if (state_ == State::SbIac && byte != kIac) {
                // The body is cut by another command: read it as one.
                ++counts_.Malformed;
                held_ = 0;
                --i;
                state_ = State::Iac;
                break;
            }
            if (held_ == limit_) {
                ++counts_.Oversized;
                held_ = 0;
                state_ = State::Skip;
                break;
            }
            body_[held_++] = byte;
            state_ = State::Sb;
            break;
        }
        case State::Skip:
            ++i;
            if (byte == kIac)
                state_ = State::SkipIac;
            break;
        case State::SkipIac:
            if (byte == kSe || byte == kIac) {
                ++i;
                state_ = byte == kSe ? State::Data : State::Skip;
            } else {
                // Counted already as oversized; the command is read as one.
                state_ = State::Iac;
            }
            break;
        }
    }
}

// --- Encoder ----------------------------------------------------------------

std::vector<std::uint8_t> EncodeSignature(std::string_view text) {
    return Encode(TComPortCommand::cpSignature,
                  std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                text.size()));
}

std::vector<std::uint8_t> EncodeSetBaudRate(std::uint32_t baud) {
    const std::uint8_t value[4] = {
        static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
        static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    return Encode(TComPortCommand::cpSetBaudRate, value);
}

std::vector<std::uint8_t> EncodeSetDataSize(std::uint8_t bits) {
    return EncodeByte(TComPortCommand::cpSetDataSize, bits);
}

std::vector<std::uint8_t> EncodeSetParity(TComParity parity) {
    return EncodeByte(TComPortCommand::cpSetParity, static_cast<std::uint8_t>(parity));
}

std::vector<std::uint8_t> EncodeSetStopSize(TComStopSize stopSize) {
    return EncodeByte(TComPortCommand::cpSetStopSize, static_cast<std::uint8_t>(stopSize));
}

std::vector<std::uint8_t> EncodeSetControl(TComControl control) {
    return EncodeByte(TComPortCommand::cpSetControl, static_cast<std::uint8_t>(control));
}

std::vector<std::uint8_t> EncodeNotifyLineState(std::uint8_t state) {
    return EncodeByte(TComPortCommand::cpNotifyLineState, state);
}

std::vector<std::uint8_t> EncodeNotifyModemState(std::uint8_t state) {
    return EncodeByte(TComPortCommand::cpNotifyModemState, state);
}

std::vector<std::uint8_t> EncodeFlowControlSuspend() {
    return Encode(TComPortCommand::cpFlowControlSuspend, {});
}

std::vector<std::uint8_t> EncodeFlowControlResume() {
    return Encode(TComPortCommand::cpFlowControlResume, {});
}

std::vector<std::uint8_t> EncodeSetLineStateMask(std::uint8_t mask) {
    return EncodeByte(TComPortCommand::cpSetLineStateMask, mask);
}

std::vector<std::uint8_t> EncodeSetModemStateMask(std::uint8_t mask) {
    return EncodeByte(TComPortCommand::cpSetModemStateMask, mask);
}

std::vector<std::uint8_t> EncodePurgeData(TComPurge purge) {
    return EncodeByte(TComPortCommand::cpPurgeData, static_cast<std::uint8_t>(purge));
}

void EscapeData(std::span<const std::uint8_t> data, bool binary, std::vector<std::uint8_t>& out) {
    for (std::uint8_t byte : data) {
        out.push_back(byte);
        if (byte == kIac)
            out.push_back(kIac);
        else if (byte == kCr && !binary)
            out.push_back(kNul);
    }
}

// --- Decoder ----------------------------------------------------------------

TModemState DecodeModemState(std::uint8_t value) {
    TModemState s;
    s.Dcd = Bit(value, 7);
    s.Ri = Bit(value, 6);
    s.Dsr = Bit(value, 5);
    s.Cts = Bit(value, 4);
    s.DeltaDcd = Bit(value, 3);
    s.TrailingEdgeRi = Bit(value, 2);
    s.DeltaDsr = Bit(value, 1);
    s.DeltaCts = Bit(value, 0);
    return s;
}

TLineState DecodeLineState(std::uint8_t value) {
    TLineState s;
    s.Timeout = Bit(value, 7);
    s.TransmitShiftEmpty = Bit(value, 6);
    s.TransmitHoldingEmpty = Bit(value, 5);
    s.Break = Bit(value, 4);
    s.Framing = Bit(value, 3);
    s.Parity = Bit(value, 2);
    s.Overrun = Bit(value, 1);
    s.DataReady = Bit(value, 0);
    return s;
}

TComPortDecoded DecodeComPortReply(std::span<const std::uint8_t> body) {
    if (body.empty())
        return {std::nullopt, "a COM-PORT subnegotiation without a command code"};
    const std::uint8_t code = body[0];
    const std::span<const std::uint8_t> value = body.subspan(1);
    if (code <= kLastCommand)
        return {std::nullopt, "a client's command (code " + std::to_string(code) + ", " +
                                  kCommandNames[code] + ") from the server"};
    if (code < kReplyBase || code > kReplyBase + kLastCommand)
        return {std::nullopt, "an unknown COM-PORT code " + std::to_string(code)};
    TComPortReply reply;
    reply.Command = static_cast<TComPortCommand>(code - kReplyBase);
    std::size_t expected = 1;
    switch (reply.Command) {
    case TComPortCommand::cpSignature:
        reply.Text.assign(value.begin(), value.end());
        return {reply, {}};
    case TComPortCommand::cpSetBaudRate:
        expected = 4;
        break;
    case TComPortCommand::cpFlowControlSuspend:
    case TComPortCommand::cpFlowControlResume:
        expected = 0;
        break;
    default:
        break;
    }
    if (value.size() != expected)
        return {std::nullopt, std::string("a ") + kCommandNames[code - kReplyBase] + " reply (" +
                                  std::to_string(code) + ") with " + std::to_string(value.size()) +
                                  " value bytes, not " + std::to_string(expected)};
    for (std::uint8_t byte : value)
        reply.Value = reply.Value << 8 | byte;
    return {reply, {}};
}

// --- Client -----------------------------------------------------------------

class TTelnetClient::Sink : public ITelnetSink {
public:
    Sink(TTelnetClient& client, TTelnetInput& input) : client_(client), input_(input) {}

    void OnData(std::span<const std::uint8_t> bytes) override {
        input_.Data.insert(input_.Data.end(), bytes.begin(), bytes.end());
    }
    void OnOption(std::uint8_t verb, std::uint8_t option) override {
        client_.OnOption(verb, option, input_);
    }
    void OnSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> body) override {
        if (option != kComPort) {
            ++client_.ignoredSb_;
            return;
        }
        TComPortDecoded decoded = DecodeComPortReply(body);
        if (decoded.Reply) {
            decoded.Reply->DataOffset = input_.Data.size();
            input_.Replies.push_back(std::move(*decoded.Reply));
        } else {
            input_.BadReplies.push_back(std::move(decoded.Error));
        }
    }

private:
    TTelnetClient& client_;
    TTelnetInput& input_;
};

TTelnetClient::TTelnetClient(bool comPort, std::size_t sbLimit)
    : comPort_(comPort), parser_(sbLimit) {}

bool TTelnetClient::Wanted(bool us, std::uint8_t option) const {
    if (option == kBinary || option == kSga)
        return true;
    if (option == kComPort)
        return us ? comPort_ : true;
    return false;
}

void TTelnetClient::Ask(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
    // One byte at a time: GCC 12 at -O3 takes an initializer-list insert
    // into an empty vector for an overflow (-Wstringop-overflow).
    for (const std::uint8_t byte : {kIac, verb, option})
        out.push_back(byte);
}

void TTelnetClient::Enable(bool us, std::uint8_t option, std::vector<std::uint8_t>& out) {
    TSide& side = us ? us_[option] : him_[option];
    if (side.State == Q::No) {
        side.State = Q::WantYes;
        Ask(us ? kWill : kDo, option, out);
    } else if (side.State == Q::WantNo) {
        side.Opposite = true;
    }
}

std::vector<std::uint8_t> TTelnetClient::Start() {
    std::vector<std::uint8_t> out;
    if (started_)
        return out;
    started_ = true;
    for (std::uint8_t option : {kBinary, kSga}) {
        Enable(true, option, out);
        Enable(false, option, out);
    }
    if (comPort_)
        Enable(true, kComPort, out);
    return out;
}

// RFC 1143 section 7, for both sides: `us` is the client's side of the
// option (the server's DO and DONT), `him` the server's (WILL and WONT).
void TTelnetClient::OnOption(std::uint8_t verb, std::uint8_t option, TTelnetInput& input) {
    const bool us = verb == kDo || verb == kDont;
    const bool enable = verb == kWill || verb == kDo;
    TSide& side = us ? us_[option] : him_[option];
    const std::uint8_t yes = us ? kWill : kDo;
    const std::uint8_t no = us ? kWont : kDont;
    std::vector<std::uint8_t>& out = input.Answer;
    if (enable) {
        switch (side.State) {
        case Q::No:
            if (Wanted(us, option)) {
                side.State = Q::Yes;
                Ask(yes, option, out);
            } else if (!side.Refused) {
                side.Refused = true;
                ++refused_;
                Ask(no, option, out);
            } else {
                ++heldBack_;
            }
            break;
        case Q::Yes:
            break;
        case Q::WantNo:
            // Our "no" answered by "yes": taken as the server's refusal
            // unless we had queued the change back.
            side.State = side.Opposite ? Q::Yes : Q::No;
            side.Opposite = false;
            break;
        case Q::WantYes:
            if (side.Opposite) {
                side.State = Q::WantNo;
                side.Opposite = false;
                Ask(no, option, out);
            } else {
                side.State = Q::Yes;
            }
            break;
        }
    } else {
        switch (side.State) {
        case Q::No:
            break;
        case Q::Yes:
            side.State = Q::No;
            Ask(no, option, out);
            break;
        case Q::WantNo:
            if (side.Opposite) {
                side.State = Q::WantYes;
                side.Opposite = false;
                Ask(yes, option, out);
            } else {
                side.State = Q::No;
            }
            break;
        case Q::WantYes:
            side.State = Q::No;
            side.Opposite = false;
            break;
        }
    }
    parser_.SetBinary(him_[kBinary].State == Q::Yes);
}

void TTelnetClient::Feed(std::span<const std::uint8_t> bytes, TTelnetInput& input) {
    Sink sink(*this, input);
    parser_.Feed(bytes, sink);
}

TComPortStatus TTelnetClient::ComPortStatus() const {
    if (!comPort_)
        return TComPortStatus::csRefused;
    switch (us_[kComPort].State) {
    case Q::Yes:
        return TComPortStatus::csAccepted;
    case Q::WantYes:
        return TComPortStatus::csPending;
    case Q::No:
        return started_ ? TComPortStatus::csRefused : TComPortStatus::csPending;
    case Q::WantNo:
        break;
    }
    return TComPortStatus::csRefused;
}

bool TTelnetClient::SendBinary() const {
    return us_[kBinary].State == Q::Yes;
}

bool TTelnetClient::ReceiveBinary() const {
    return him_[kBinary].State == Q::Yes;
}

void TTelnetClient::EscapeData(std::span<const std::uint8_t> data,
                               std::vector<std::uint8_t>& out) const {
    net::EscapeData(data, SendBinary(), out);
}

} // namespace comm::net
