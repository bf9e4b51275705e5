// Fuzzes the Telnet / RFC 2217 client with whatever a server may send: no
// crash; the parser's memory stays within its cap; the answers never
// outgrow the input (a Feed's at most its size plus the 2 bytes of a
// command begun before); the stream fed in chunks (sizes taken from the
// input's first byte, which also sets the parser's limit) gives what it gives whole; and data
// escaped by the client reads back as it was, in binary and in text mode.

#include "serial/driver/Telnet.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

using namespace comm::net;

namespace {

struct TResult {
    std::vector<std::uint8_t> Data;
    std::vector<std::uint8_t> Answer;
    std::vector<std::uint32_t> Replies; // command, value, command, value...
    std::size_t BadReplies = 0;
    TTelnetCounts Counts;
    TComPortStatus Status = TComPortStatus::csPending;
    bool ReceiveBinary = false;
};

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Feeds `stream` in chunks of 1 to 8 bytes chosen by `pattern`'s bits, or
// whole when `pattern` is empty.
TResult Run(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> pattern,
            std::size_t limit) {
    TTelnetClient client(true, limit);
    TResult result;
    const std::vector<std::uint8_t> opening = client.Start();
    Check(!opening.empty());
    std::size_t at = 0;
    std::size_t step = 0;
    while (at < stream.size()) {
        std::size_t size = stream.size() - at;
        if (!pattern.empty()) {
            const std::uint8_t bits = pattern[step % pattern.size()] >> (step / pattern.size() % 5);
            size = std::min<std::size_t>(size, 1 + (bits & 7));
            ++step;
        }
        TTelnetInput input;
        client.Feed(stream.subspan(at, size), input);
        Check(input.Answer.size() <= size + 2);
        Check(client.Parser().Held() <= limit);
        result.Data.insert(result.Data.end(), input.Data.begin(), input.Data.end());
        result.Answer.insert(result.Answer.end(), input.Answer.begin(), input.Answer.end());
        for (const TComPortReply& reply : input.Replies) {
            Check(reply.DataOffset <= input.Data.size());
            Check(reply.Text.size() < std::max<std::size_t>(limit, 1));
            result.Replies.push_back(static_cast<std::uint32_t>(reply.Command));
            result.Replies.push_back(reply.Value);
        }
        result.BadReplies += input.BadReplies.size();
        at += size;
    }
    // The answers of the whole stream: 3 bytes at most per 3-byte command.
    Check(result.Answer.size() <= stream.size());
    result.Counts = client.Parser().Counts();
    result.Status = client.ComPortStatus();
    result.ReceiveBinary = client.ReceiveBinary();
    return result;
}

bool Same(const TResult& a, const TResult& b) {
    return a.Data == b.Data && a.Answer == b.Answer && a.Replies == b.Replies &&
           a.BadReplies == b.BadReplies && a.Counts.Malformed == b.Counts.Malformed &&
           a.Counts.Oversized == b.Counts.Oversized &&
           a.Counts.IgnoredCommands == b.Counts.IgnoredCommands && a.Status == b.Status &&
           a.ReceiveBinary == b.ReceiveBinary;
}

// Collects the data a parser gives out; anything else there is a fault.
struct TDataOnly : ITelnetSink {
    std::vector<std::uint8_t> Data;
    void OnData(std::span<const std::uint8_t> bytes) override {
        Check(!bytes.empty());
        Data.insert(Data.end(), bytes.begin(), bytes.end());
    }
    void OnOption(std::uint8_t, std::uint8_t) override { std::abort(); }
    void OnSubnegotiation(std::uint8_t, std::span<const std::uint8_t>) override { std::abort(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> all(data, size);
    const std::span<const std::uint8_t> pattern = all.first(1);
    const std::span<const std::uint8_t> stream = all.subspan(1);

    // An odd first byte sets a small limit on subnegotiations, so that short
    // inputs reach the discarding of longer ones.
    const std::size_t limit =
        (data[0] & 1) != 0 ? (data[0] >> 1) % 16 : TTelnetParser::kMaxSubnegotiation;

    const TResult whole = Run(stream, {}, limit);
    Check(Same(whole, Run(stream, pattern, limit)));
    // And one byte at a time.
    static constexpr std::uint8_t kOneByte = 0;
    Check(Same(whole, Run(stream, std::span<const std::uint8_t>(&kOneByte, 1), limit)));

    // The decoder on the raw bytes: a reply or a reason, never both or neither.
    const TComPortDecoded decoded = DecodeComPortReply(stream);
    Check(decoded.Reply.has_value() != !decoded.Error.empty());
    if (!stream.empty()) {
        DecodeLineState(stream[0]);
        DecodeModemState(stream[0]);
    }

    // What the client escapes, a parser reads back as it was.
    for (bool binary : {true, false}) {
        std::vector<std::uint8_t> wire;
        EscapeData(stream, binary, wire);
        TTelnetParser parser;
        parser.SetBinary(binary);
        TDataOnly sink;
        parser.Feed(wire, sink);
        Check(sink.Data == std::vector<std::uint8_t>(stream.begin(), stream.end()));
        Check(parser.Counts().Malformed == 0 && parser.Counts().IgnoredCommands == 0);
    }
    return 0;
}
