// Fuzzes the reassembly of sign replies (TSignLink::Receive) against a plain
// search over everything received.
//
// Input: one byte choosing the command code (1 + b mod 3), one byte k (mod 8),
// k bytes of cut points, then the byte stream. Cut point b cuts the stream
// after b mod (stream size + 1) bytes; the cuts, sorted, give the pieces
// handed to Receive one by one (two equal cuts give an empty piece).
//
// The model: the buffer always holds a tail of the bytes received since the
// request began or since the last recognised reply, whichever is later. A
// piece is recognised exactly when the first reply that lies whole in those
// bytes ends in it; the bytes after that reply in the same piece are dropped.
// Otherwise the buffer starts at the first F7 that may still begin a reply:
// fewer than 5 bytes after it, or a clock reply's first 5 bytes with fewer
// than 12 in all. At the end, the acknowledgement is set exactly when the
// whole stream holds a reply somewhere.

#include "sign/SignLink.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using sign::TSignLink;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_SignLink: %s\n", what);
        std::abort();
    }
}

unsigned char At(const std::string& s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

std::size_t ReplySize(int code) {
    return code == sign::CmdReadTime ? sign::ClockReplySize : 5;
}

// Header and reply code at p (needs 5 bytes).
bool Starts(const std::string& s, std::size_t p, int code) {
    return At(s, p) == 0xF7 && At(s, p + 1) == 0x8C && At(s, p + 2) == 0x8D &&
           At(s, p + 3) == 0x8A && At(s, p + 4) == code + 0x80;
}

// The first p in [from, end) where a whole reply lies in [p, end).
std::optional<std::size_t> FindReply(const std::string& s, std::size_t from, std::size_t end,
                                     int code) {
    const std::size_t n = ReplySize(code);
    for (std::size_t p = from; p + n <= end; ++p)
        if (Starts(s, p, code))
            return p;
    return std::nullopt;
}

// What waits in the buffer when [from, end) holds no whole reply.
std::string Kept(const std::string& s, std::size_t from, std::size_t end, int code) {
    for (std::size_t q = from; q < end; ++q) {
        if (At(s, q) != 0xF7)
            continue;
        if (end - q < 5 || (code == sign::CmdReadTime && Starts(s, q, code)))
            return s.substr(q, end - q);
    }
    return {};
}

std::string Text(const std::string& r) {
    char text[32];
    std::snprintf(text, sizeof text, "%02X/%02X 20%02X  %02X:%02X", At(r, 6), At(r, 7), At(r, 5),
                  At(r, 8), At(r, 9));
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const int code = 1 + data[0] % 3;
    const std::size_t k = data[1] % 8;
    if (size < 2 + k)
        return 0;
    const std::string stream(reinterpret_cast<const char*>(data + 2 + k), size - 2 - k);
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < k; ++i)
        cuts.push_back(data[2 + i] % (stream.size() + 1));
    cuts.push_back(stream.size());
    std::sort(cuts.begin(), cuts.end());

    TSignLink link;
    link.BeginRequest(code, "");
    link.ClearAck();
    bool acked = false;
    std::size_t from = 0; // where the bytes since the last reset begin
    std::size_t begin = 0;
    for (const std::size_t end : cuts) {
        const TSignLink::TReceived got = link.Receive(stream.substr(begin, end - begin));
        const std::size_t fed = end - from;
        Check(link.RxBuffer().size() <= fed, "buffer holds more than was received");
        if (const std::optional<std::size_t> p = FindReply(stream, from, end, code)) {
            const std::string reply = stream.substr(*p, ReplySize(code));
            Check(got.Acknowledged, "a whole reply is not recognised");
            Check(link.RxBuffer().empty(), "bytes after a recognised reply are kept");
            Check(link.LastReply() == reply, "the recognised reply is not the first one");
            Check(got.ClockText ==
                      (code == sign::CmdReadTime ? std::optional(Text(reply)) : std::nullopt),
                  "wrong clock text");
            acked = true;
            from = end;
        } else {
            Check(!got.Acknowledged && !got.ClockText, "recognised without a whole reply");
            Check(link.RxBuffer() == Kept(stream, from, end, code), "wrong bytes kept");
        }
        Check(link.AckReceived() == acked, "acknowledgement flag");
        begin = end;
    }
    Check(link.AckReceived() == FindReply(stream, 0, stream.size(), code).has_value(),
          "acknowledgement differs from a search of the whole stream");
    return 0;
}
