// The sign link: request frames byte for byte, BCD packing, and the reassembly
// of replies from bytes as they arrive, in one piece or split anywhere.
#include "sign/SignLink.h"
#include "sign/SignSettings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace sign;

// "F7 8C 03" -> the three bytes.
std::string Hex(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3)
        bytes += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
    return bytes;
}

unsigned XorOf(const std::string& bytes) {
    unsigned x = 0;
    for (const char b : bytes)
        x ^= static_cast<unsigned char>(b);
    return x;
}

TSignSettings Defaults(void (*change)(TSignSettings&)) {
    TSignSettings s = DefaultSignSettings();
    change(s);
    return s;
}

TEST(SignLink, RequestFrames) {
    struct Row {
        const char* name;
        std::int32_t code;
        std::string payload;
        const char* frame;
    };
    const Row rows[] = {
        {"read clock", CmdReadTime, "", "F7 8C 8D 8A 03 7F"},
        {"set clock", CmdSetTime, SetTimePayload({2026, 12, 7, 14, 35, 9}),
         "F7 8C 8D 8A 01 26 12 07 14 35 09 66"},
        {"set clock in 2000", CmdSetTime, SetTimePayload({2000, 12, 7, 14, 35, 9}),
         "F7 8C 8D 8A 01 00 12 07 14 35 09 40"},
        {"set clock, every field BCD", CmdSetTime, SetTimePayload({2010, 1, 1, 0, 0, 0}),
         "F7 8C 8D 8A 01 10 01 01 00 00 00 6D"},
        {"set clock, the year within the century", CmdSetTime,
         SetTimePayload({1999, 12, 31, 23, 59, 59}), "F7 8C 8D 8A 01 99 12 31 23 59 59 E4"},
        {"download defaults", CmdDownload, DownloadPayload(DefaultSignSettings()),
         "F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 14 00 74"},
        {"download, no flashing rate", CmdDownload,
         DownloadPayload(Defaults([](TSignSettings& s) { s.FlashRateIndex = -1; })),
         "F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 14 FF 8B"},
        {"download, a value beyond a byte keeps its low 8 bits", CmdDownload,
         DownloadPayload(Defaults([](TSignSettings& s) { s.RegularSpeed = 300; })),
         "F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 2C 00 4C"},
        // Plain numbers in table order (not BCD, not file order), line-feed,
        // carriage-return, XON and XOFF values passed through; the port is not sent.
        {"download, every field in its place", CmdDownload,
         DownloadPayload(TSignSettings{99, 7, 8, 10, 13, 17, 19, 1, 2, 3, 4, 5, 6}),
         "F7 8C 8D 8A 02 0A 0D 11 13 01 02 03 04 05 06 07 08 73"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TSignLink link;
        const std::string frame = link.BeginRequest(row.code, row.payload);
        EXPECT_EQ(frame, Hex(row.frame)) << HexBytes(frame);
        EXPECT_EQ(link.Frame(), frame);
        EXPECT_EQ(frame.size(), row.payload.size() + 6);
        EXPECT_LE(frame.size(), MaxFrameSize);
        EXPECT_EQ(XorOf(frame), 0u);
    }
}

TEST(SignLink, ToBcdPutsTensInTheHighNibble) {
    const std::pair<int, unsigned> rows[] = {{0, 0x00},  {7, 0x07},  {9, 0x09}, {10, 0x10},
                                             {35, 0x35}, {59, 0x59}, {99, 0x99}};
    for (const auto& [value, bcd] : rows)
        EXPECT_EQ(ToBcd(value), bcd) << value;
    EXPECT_EQ(HexBytes(Hex("F7 00 0A")), "F7 00 0A");
}

TEST(SignLink, ReplyReassembly) {
    struct Row {
        const char* name;
        std::int32_t code;
        std::vector<const char*> events; // the bytes of each Receive call
        int ackAt;                       // the event that recognises the reply, -1 none
        const char* clock;               // its clock text (read clock only)
        const char* rest;                // the receive buffer at the end
    };
    const char* const clockReply = "F7 8C 8D 8A 83 26 12 07 14 35 00 00";
    const Row rows[] = {
        {"noise before the reply", 1, {"00 F7 8C 8D 8A 81"}, 0, nullptr, ""},
        {"another reply code: F7 lost, the rest is noise", 1, {"F7 8C 8D 8A 82"}, -1, nullptr, ""},
        {"an F7 before the header", 1, {"F7 F7 8C 8D 8A 81"}, 0, nullptr, ""},
        {"clock in two events",
         3,
         {"F7 8C 8D 8A 83 26", "12 07 14 35 00 00"},
         1,
         "12/07 2026  14:35",
         ""},
        {"the rest of the event after the reply goes", 1, {"F7 8C 8D 8A 81 F7 8C"}, 0, nullptr, ""},
        {"two replies in one event", 2, {"F7 8C 8D 8A 82 F7 8C 8D 8A 82"}, 0, nullptr, ""},
        {"two clocks in one event: the first is shown",
         3,
         {"F7 8C 8D 8A 83 26 12 07 14 35 00 00 F7 8C 8D 8A 83 99 01 02 03 04 00 00"},
         0,
         "12/07 2026  14:35",
         ""},
        {"an event after the reply is parsed afresh",
         1,
         {"F7 8C 8D 8A 81", "F7 8C"},
         0,
         nullptr,
         "F7 8C"},
        {"no checksum is checked", 2, {"F7 8C 8D 8A 82 00"}, 0, nullptr, ""},
        {"zero bytes are bytes",
         3,
         {"00 00 F7 8C 8D 8A 83 00 01 01 00 00 00 00"},
         0,
         "01/01 2000  00:00",
         ""},
        {"clock reply to set clock", 1, {clockReply}, -1, nullptr, ""},
        {"other replies to read clock", 3, {"F7 8C 8D 8A 81 F7 8C 8D 8A 82"}, -1, nullptr, ""},
        {"the request echoed is no reply", 3, {"F7 8C 8D 8A 03 7F"}, -1, nullptr, ""},
        {"noise only", 2, {"00 8C 8D 8A 82 FF 7F 00"}, -1, nullptr, ""},
        {"a header waits", 1, {"F7 8C 8D 8A"}, -1, nullptr, "F7 8C 8D 8A"},
        {"a broken header loses only its first byte", 1, {"F7 8C 00 F7 8C"}, -1, nullptr, "F7 8C"},
        {"a clock of 11 bytes waits",
         3,
         {"F7 8C 8D 8A 83 26 12 07 14 35 00"},
         -1,
         nullptr,
         "F7 8C 8D 8A 83 26 12 07 14 35 00"},
        {"a year byte that is not BCD",
         3,
         {"F7 8C 8D 8A 83 1A 12 07 14 35 00 00"},
         0,
         "12/07 201A  14:35",
         ""},
        {"no byte BCD", 3, {"F7 8C 8D 8A 83 FF 1A B0 3C 0B 00 00"}, 0, "1A/B0 20FF  3C:0B", ""},
        // Reply codes 256 and 387: no byte matches, neither the low byte.
        {"code 128", 128, {"F7 8C 8D 8A 00", "F7 8C 8D 8A 80"}, -1, nullptr, ""},
        {"code 259", 259, {clockReply}, -1, nullptr, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TSignLink link;
        link.BeginRequest(row.code, "");
        for (std::size_t i = 0; i < row.events.size(); ++i) {
            const TSignLink::TReceived got = link.Receive(Hex(row.events[i]));
            const bool now = static_cast<int>(i) == row.ackAt;
            EXPECT_EQ(got.Acknowledged, now) << "event " << i;
            EXPECT_EQ(got.ClockText,
                      now && row.clock ? std::optional<std::string>(row.clock) : std::nullopt)
                << "event " << i;
            EXPECT_EQ(link.AckReceived(), row.ackAt >= 0 && static_cast<int>(i) >= row.ackAt)
                << "event " << i;
        }
        EXPECT_EQ(link.RxBuffer(), Hex(row.rest)) << HexBytes(link.RxBuffer());
    }
}

TEST(SignLink, ReplySplitAnywhere) {
    struct Row {
        std::int32_t code;
        std::string stream;
        std::size_t start, end; // where the reply lies in the stream
        std::optional<std::string> clock;
    };
    const Row rows[] = {
        {3, Hex("F7 8C 8D 8A 83 26 12 07 14 35 09 E4"), 0, 12, "12/07 2026  14:35"},
        {3, Hex("00 F7 F7 8C 8D 8A 83 26 12 07 14 35 09 E4 00"), 2, 14, "12/07 2026  14:35"},
        {1, Hex("F7 8C 8D 8A 81 FD"), 0, 5, std::nullopt},
        {2, Hex("8C 8A F7 8C F7 8C 8D 8A 82 FE"), 4, 9, std::nullopt},
    };
    for (const Row& row : rows) {
        const std::string reply = row.stream.substr(row.start, row.end - row.start);
        SCOPED_TRACE(HexBytes(row.stream));
        TSignLink link;
        for (std::size_t split = 1; split < row.stream.size(); ++split) {
            SCOPED_TRACE("split after " + std::to_string(split));
            link.BeginRequest(row.code, "");
            link.ClearAck();
            const bool first = split >= row.end;
            const TSignLink::TReceived a = link.Receive(row.stream.substr(0, split));
            EXPECT_EQ(a.Acknowledged, first);
            if (!first && (row.start == 0 || split >= row.start + 4)) {
                EXPECT_EQ(link.RxBuffer(), row.stream.substr(row.start, split - row.start));
            }
            const TSignLink::TReceived b = link.Receive(row.stream.substr(split));
            EXPECT_EQ(b.Acknowledged, !first);
            EXPECT_EQ((first ? a : b).ClockText, row.clock);
            EXPECT_TRUE(link.AckReceived());
            EXPECT_EQ(link.LastReply(), reply);
            EXPECT_EQ(link.RxBuffer(), "");
        }
        // One byte per event.
        link.BeginRequest(row.code, "");
        for (std::size_t i = 0; i < row.stream.size(); ++i)
            EXPECT_EQ(link.Receive(row.stream.substr(i, 1)).Acknowledged, i + 1 == row.end) << i;
    }
}

TEST(SignLink, AckStaysUntilCleared) {
    TSignLink link;
    link.BeginRequest(CmdSetTime, SetTimePayload({}));
    EXPECT_FALSE(link.AckReceived());
    EXPECT_TRUE(link.Receive(Hex("F7 8C 8D 8A 81")).Acknowledged);
    EXPECT_FALSE(link.Receive(Hex("00 F7 8C")).Acknowledged);
    EXPECT_TRUE(link.AckReceived());
    EXPECT_TRUE(link.Receive(Hex("8D 8A 81")).Acknowledged); // a repeated reply again
    link.BeginRequest(CmdReadTime, "");                      // the transaction clears it
    EXPECT_TRUE(link.AckReceived());
    link.ClearAck();
    EXPECT_FALSE(link.AckReceived());
    EXPECT_FALSE(link.Receive(Hex("F7 8C 8D 8A 81")).Acknowledged);
    EXPECT_FALSE(link.AckReceived());
}

TEST(SignLink, BeginRequestDropsTheBytesOfTheLastRequest) {
    TSignLink link;
    link.BeginRequest(CmdSetTime, SetTimePayload({}));
    link.Receive(Hex("F7 8C 8D"));
    ASSERT_EQ(link.RxBuffer(), Hex("F7 8C 8D"));
    link.BeginRequest(CmdSetTime, SetTimePayload({}));
    EXPECT_EQ(link.RxBuffer(), "");
    EXPECT_FALSE(link.Receive(Hex("8A 81")).Acknowledged);
    EXPECT_EQ(link.RxBuffer(), "");
}

TEST(SignLink, ClockRepliesRoundTrip) {
    struct Row {
        TSignClock clock;
        const char* reply;
        const char* text;
    };
    const Row rows[] = {
        {{2026, 12, 7, 14, 35, 9}, "F7 8C 8D 8A 83 26 12 07 14 35 09 E4", "12/07 2026  14:35"},
        {{2000, 1, 1, 0, 0, 0}, "F7 8C 8D 8A 83 00 01 01 00 00 00 FF", "01/01 2000  00:00"},
        {{2099, 12, 31, 23, 59, 59}, "F7 8C 8D 8A 83 99 12 31 23 59 59 66", "12/31 2099  23:59"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const std::string reply = BuildReply(CmdReadTime, row.clock);
        EXPECT_EQ(reply, Hex(row.reply)) << HexBytes(reply);
        EXPECT_EQ(ReplyClock(reply), row.clock);
        EXPECT_EQ(ClockText(reply), row.text);
        TSignLink link;
        link.BeginRequest(CmdReadTime, "");
        EXPECT_EQ(link.Receive(reply).ClockText, row.text);
        EXPECT_EQ(link.LastReply(), reply);
    }
    EXPECT_EQ(BuildReply(CmdSetTime), Hex("F7 8C 8D 8A 81 FD"));
    EXPECT_EQ(BuildReply(CmdDownload), Hex("F7 8C 8D 8A 82 FE"));
    EXPECT_EQ(ReplyClock(Hex("F7 8C 8D 8A 83 26 12 07 14 35 0A 00")), std::nullopt);
    EXPECT_EQ(ReplyClock(Hex("F7 8C 8D 8A 83 26 12 07 14 35 09")), std::nullopt);
    EXPECT_EQ(ClockText(Hex("F7 8C 8D 8A 83 26 12 07 14 35 09")), "");
}

} // namespace
