#pragma once
// The Telnet client's side of a device server's RFC 2217 port, without I/O:
// what the network backend sends and how it reads what comes back.
//
// - TTelnetParser splits the bytes from the server into data, option
//   commands (WILL/WONT/DO/DONT) and subnegotiations (RFC 854, 855), from
//   chunks cut anywhere, in bounded memory.
// - TTelnetClient adds the option negotiation (the Q method of RFC 1143, so
//   that no exchange loops) for BINARY (RFC 856), SUPPRESS-GO-AHEAD
//   (RFC 858) and COM-PORT-OPTION (RFC 2217), and decodes the server's
//   COM-PORT replies.
// - The Encode* functions write the client's COM-PORT commands and
//   EscapeData the client's data.
//
// Nothing here does I/O, starts a thread or reads a clock; each object
// belongs to one connection and is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace comm::net {

// Telnet commands (RFC 854) and the options this client speaks of.
namespace telnet {
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kGa = 249;
constexpr std::uint8_t kNop = 241;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kBinary = 0;   // RFC 856
constexpr std::uint8_t kSga = 3;      // RFC 858
constexpr std::uint8_t kComPort = 44; // RFC 2217
} // namespace telnet

// What the parser hands on, as it meets it in the stream.
class ITelnetSink {
public:
    virtual ~ITelnetSink() = default;
    // A run of data bytes, escapes undone.
    virtual void OnData(std::span<const std::uint8_t> bytes) = 0;
    // IAC `verb` `option`, verb one of WILL, WONT, DO, DONT.
    virtual void OnOption(std::uint8_t verb, std::uint8_t option) = 0;
    // IAC SB `option` body IAC SE, IAC IAC in the body undone. Only bodies of
    // up to the parser's limit (TTelnetParser::kMaxSubnegotiation) arrive.
    virtual void OnSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> body) = 0;
};

// What the parser passed over, for the connection's diagnostics.
struct TTelnetCounts {
    // IAC followed by a byte that is no command (below SE), SE outside a
    // subnegotiation, SB without an option byte, or a subnegotiation cut by
    // IAC and a command other than SE or IAC; each skipped.
    std::uint64_t Malformed = 0;
    // Subnegotiations longer than the limit, discarded whole; counted when
    // the limit is crossed, so an unclosed one counts too.
    std::uint64_t Oversized = 0;
    // NOP, GA, DM, BRK, IP, AO, AYT, EC, EL: no meaning for a serial line.
    std::uint64_t IgnoredCommands = 0;
};

// Splits the server's bytes. Feeding a stream in any chunks calls the sink
// with the same commands and subnegotiations in the same order, and with the
// same data bytes (a run may be cut where a chunk ends). Memory is fixed: a
// subnegotiation is kept in a buffer of kMaxSubnegotiation bytes, one that
// outgrows the limit is skipped up to its IAC SE, and one that is never
// closed holds nothing more.
//
// Inside a subnegotiation, IAC followed by anything but SE or IAC ends it as
// malformed and that byte is read as the command after IAC (so IAC WILL,
// IAC DO... are not swallowed by an SB whose IAC SE was lost).
class TTelnetParser {
public:
    // The buffer: RFC 2217's longest message is the server's signature, a
    // text; 256 bytes hold any a device server sends, and every other
    // message many times over.
    static constexpr std::size_t kMaxSubnegotiation = 256;

    // `limit` (at most kMaxSubnegotiation) is the longest body kept; a
    // smaller one lets a fuzzer reach the discarding of longer ones.
    explicit TTelnetParser(std::size_t limit = kMaxSubnegotiation)
        : limit_(limit < kMaxSubnegotiation ? limit : kMaxSubnegotiation) {}

    // In binary (the server WILL BINARY) every byte is data. Otherwise the
    // stream is NVT text, where CR NUL stands for a lone CR (RFC 854): the
    // NUL is dropped. Takes effect from the next byte, even within a Feed.
    void SetBinary(bool binary) { binary_ = binary; }
    bool Binary() const { return binary_; }

    void Feed(std::span<const std::uint8_t> bytes, ITelnetSink& sink);

    const TTelnetCounts& Counts() const { return counts_; }
    // Bytes held between calls (a subnegotiation's body): never above the
    // limit.
    std::size_t Held() const { return held_; }

private:
    enum class State {
        Data,     // plain data
        DataCr,   // after a CR in NVT text
        Iac,      // after IAC
        Verb,     // after IAC WILL/WONT/DO/DONT
        SbOption, // after IAC SB
        Sb,       // in a subnegotiation's body
        SbIac,    // IAC in a body
        Skip,     // in a body over the limit
        SkipIac,  // IAC in a body over the limit
    };
    void Command(std::uint8_t byte, ITelnetSink& sink);

    std::size_t limit_;
    State state_ = State::Data;
    bool binary_ = false;
    std::uint8_t verb_ = 0;
    std::uint8_t sbOption_ = 0;
    std::uint8_t body_[kMaxSubnegotiation] = {};
    std::size_t held_ = 0;
    TTelnetCounts counts_;
};

// COM-PORT-OPTION commands (RFC 2217); the server answers with code + 100.
enum class TComPortCommand : std::uint8_t {
    cpSignature = 0,
    cpSetBaudRate = 1,
    cpSetDataSize = 2,
    cpSetParity = 3,
    cpSetStopSize = 4,
    cpSetControl = 5,
    cpNotifyLineState = 6,
    cpNotifyModemState = 7,
    cpFlowControlSuspend = 8,
    cpFlowControlResume = 9,
    cpSetLineStateMask = 10,
    cpSetModemStateMask = 11,
    cpPurgeData = 12,
};

// SET-PARITY values; 0 asks for the current one.
enum class TComParity : std::uint8_t {
    cpaRequest = 0,
    cpaNone = 1,
    cpaOdd = 2,
    cpaEven = 3,
    cpaMark = 4,
    cpaSpace = 5
};
// SET-STOPSIZE values; 0 asks for the current one.
enum class TComStopSize : std::uint8_t { csRequest = 0, csOne = 1, csTwo = 2, csOneAndHalf = 3 };
// SET-CONTROL values. "Outbound" flow control holds the server's sending to
// the device; "inbound" tells the device to hold.
enum class TComControl : std::uint8_t {
    ccRequestFlow = 0,
    ccNoFlow = 1,
    ccXonXoffFlow = 2,
    ccHardwareFlow = 3,
    ccRequestBreak = 4,
    ccBreakOn = 5,
    ccBreakOff = 6,
    ccRequestDtr = 7,
    ccDtrOn = 8,
    ccDtrOff = 9,
    ccRequestRts = 10,
    ccRtsOn = 11,
    ccRtsOff = 12,
    ccRequestInboundFlow = 13,
    ccInboundNoFlow = 14,
    ccInboundXonXoffFlow = 15,
    ccInboundHardwareFlow = 16,
    ccDcdFlow = 17,
    ccInboundDtrFlow = 18,
    ccDsrFlow = 19,
};
// PURGE-DATA values: the server's receive buffer (from the device), its
// transmit buffer (to the device), or both.
enum class TComPurge : std::uint8_t { cpuReceive = 1, cpuTransmit = 2, cpuBoth = 3 };

// The client's commands, each a whole IAC SB 44 ... IAC SE with IAC in the
// value doubled. A value 0 (or a "Request" enumerator) asks the server for
// the current setting.
std::vector<std::uint8_t> EncodeSignature(std::string_view text); // empty: ask the server's
std::vector<std::uint8_t> EncodeSetBaudRate(std::uint32_t baud);  // 4 bytes, big-endian
std::vector<std::uint8_t> EncodeSetDataSize(std::uint8_t bits);   // 5-8
std::vector<std::uint8_t> EncodeSetParity(TComParity parity);
std::vector<std::uint8_t> EncodeSetStopSize(TComStopSize stopSize);
std::vector<std::uint8_t> EncodeSetControl(TComControl control);
std::vector<std::uint8_t> EncodeNotifyLineState(std::uint8_t state);
std::vector<std::uint8_t> EncodeNotifyModemState(std::uint8_t state);
std::vector<std::uint8_t> EncodeFlowControlSuspend();
std::vector<std::uint8_t> EncodeFlowControlResume();
std::vector<std::uint8_t> EncodeSetLineStateMask(std::uint8_t mask);
std::vector<std::uint8_t> EncodeSetModemStateMask(std::uint8_t mask);
std::vector<std::uint8_t> EncodePurgeData(TComPurge purge);

// Appends the client's data to `out` as it goes on the wire: 0xFF doubled;
// in NVT text (not `binary`) also CR as CR NUL, so that a CR the server reads
// is never taken for the start of a line end. CR LF in the data becomes
// CR NUL LF, which the server reads as CR LF.
void EscapeData(std::span<const std::uint8_t> data, bool binary, std::vector<std::uint8_t>& out);

// The modem lines of NOTIFY-MODEMSTATE (RFC 2217: bit 7 down to 0).
struct TModemState {
    bool Dcd = false, Ri = false, Dsr = false, Cts = false;
    bool DeltaDcd = false, TrailingEdgeRi = false, DeltaDsr = false, DeltaCts = false;
};
TModemState DecodeModemState(std::uint8_t value);

// The line state of NOTIFY-LINESTATE (RFC 2217: bit 7 down to 0).
struct TLineState {
    bool Timeout = false, TransmitShiftEmpty = false, TransmitHoldingEmpty = false;
    bool Break = false, Framing = false, Parity = false, Overrun = false, DataReady = false;
};
TLineState DecodeLineState(std::uint8_t value);

// One reply of the server: which command it answers (the code less 100) and
// its value: the baud rate, the single byte of the others, nothing for the
// flow-control suspend and resume, the text of a signature.
struct TComPortReply {
    TComPortCommand Command = TComPortCommand::cpSignature;
    std::uint32_t Value = 0;
    std::string Text;
    // Where it came in the data: the count of data bytes given out before it
    // (in the TTelnetInput it was given in).
    std::size_t DataOffset = 0;
};

// The body of a COM-PORT subnegotiation (after the option byte), decoded;
// or why not (an unknown code, a client's code from the server, or a value
// of the wrong length).
struct TComPortDecoded {
    std::optional<TComPortReply> Reply;
    std::string Error;
};
TComPortDecoded DecodeComPortReply(std::span<const std::uint8_t> body);

// What COM-PORT-OPTION came to: the server accepted it (DO), refused it
// (DONT, or it was not asked for: tcp://), or has not answered yet. A port
// whose server refused can carry bytes only; its line settings are the
// server's.
enum class TComPortStatus { csPending, csAccepted, csRefused };

// What one Feed gave out.
struct TTelnetInput {
    std::vector<std::uint8_t> Data;
    std::vector<TComPortReply> Replies;
    // Malformed COM-PORT replies, skipped.
    std::vector<std::string> BadReplies;
    // To be sent to the server: the answers of the negotiation.
    std::vector<std::uint8_t> Answer;
};

// The client of one connection: the parser, the negotiation and the reply
// decoder. The client wants BINARY and SUPPRESS-GO-AHEAD both ways and, for
// an RFC 2217 port, COM-PORT-OPTION on its side (WILL); it agrees to the
// server's WILL COM-PORT-OPTION too, which changes nothing. Every other
// option is refused, once per option and direction; a refused option asked
// again gets no answer.
//
// Bound: the answers never outgrow the input. Each option command (3 bytes)
// gets at most one answer (3 bytes), and only when it changes an option's
// state (RFC 1143): a server that repeats a command gets one answer in all,
// and one that alternates gets one per change. So a Feed's Answer is at most
// its input's size plus 2 (a command begun in the Feed before).
class TTelnetClient {
public:
    // `sbLimit`: the parser's limit on a subnegotiation's body.
    explicit TTelnetClient(bool comPort, std::size_t sbLimit = TTelnetParser::kMaxSubnegotiation);

    // The client's opening requests, to be sent once when connected.
    std::vector<std::uint8_t> Start();

    void Feed(std::span<const std::uint8_t> bytes, TTelnetInput& input);

    TComPortStatus ComPortStatus() const;
    // Whether the data each way is binary (else NVT text, see EscapeData).
    bool SendBinary() const;
    bool ReceiveBinary() const;
    // The client's data as it goes on the wire, in the current send mode.
    void EscapeData(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) const;

    const TTelnetParser& Parser() const { return parser_; }
    // Option commands answered by a refusal, and refusals held back because
    // the option had been refused already.
    std::uint64_t Refused() const { return refused_; }
    std::uint64_t RefusalsHeldBack() const { return heldBack_; }
    // Subnegotiations of options other than COM-PORT-OPTION, skipped.
    std::uint64_t IgnoredSubnegotiations() const { return ignoredSb_; }

private:
    // RFC 1143: one side's state of an option, with the queue bit.
    enum class Q : std::uint8_t { No, Yes, WantNo, WantYes };
    struct TSide {
        Q State = Q::No;
        bool Opposite = false; // the queue bit: a change the other way is asked next
        bool Refused = false;  // refused once already
    };
    class Sink;
    void OnOption(std::uint8_t verb, std::uint8_t option, TTelnetInput& input);
    void Ask(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
    void Enable(bool us, std::uint8_t option, std::vector<std::uint8_t>& out);
    bool Wanted(bool us, std::uint8_t option) const;

    bool comPort_;
    bool started_ = false;
    TTelnetParser parser_;
    TSide us_[256];
    TSide him_[256];
    std::uint64_t refused_ = 0;
    std::uint64_t heldBack_ = 0;
    std::uint64_t ignoredSb_ = 0;
};

} // namespace comm::net
