// The Telnet / RFC 2217 codec of the network backend: the parser's split of
// the server's bytes (one row per behaviour, and the same result for a
// stream cut at every point), the negotiation (what the client asks, what it
// answers, and that a flooding server gets bounded answers), the COM-PORT
// commands and replies, and hostile input. Bytes are written out from the
// RFCs (854, 855, 856, 858, 1143, 2217), never made with the code under test.
#include "serial/driver/Telnet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

using namespace comm::net;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, GA = 249,
                       NOP = 241, SE = 240, CR = 13, LF = 10;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Repeat(const Bytes& part, std::size_t times) {
    Bytes out;
    for (std::size_t i = 0; i < times; ++i)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Everything the parser gave out, in order; data runs joined, so that a run
// cut where a chunk ends compares equal.
struct Record : ITelnetSink {
    std::vector<std::string> log_;
    Bytes data_;

    void OnData(std::span<const std::uint8_t> bytes) override {
        EXPECT_FALSE(bytes.empty());
        if (log_.empty() || log_.back() != "data")
            log_.push_back("data");
        data_.insert(data_.end(), bytes.begin(), bytes.end());
    }
    void OnOption(std::uint8_t verb, std::uint8_t option) override {
        log_.push_back(std::to_string(verb) + " " + std::to_string(option));
    }
    void OnSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> body) override {
        std::string entry = "SB " + std::to_string(option) + ":";
        for (std::uint8_t byte : body)
            entry += " " + std::to_string(byte);
        log_.push_back(entry);
    }
};

struct ParseRow {
    const char* name;
    Bytes input;
    bool binary;
    Bytes data;
    std::vector<std::string> commands; // the log without its "data" entries
    std::uint64_t malformed, oversized, ignored;
};

void PrintTo(const ParseRow& row, std::ostream* out) {
    *out << row.name;
}

std::vector<std::string> Commands(const Record& record) {
    std::vector<std::string> out;
    for (const std::string& entry : record.log_) {
        if (entry != "data")
            out.push_back(entry);
    }
    return out;
}

class TelnetParse : public ::testing::TestWithParam<ParseRow> {};

TEST_P(TelnetParse, SplitsDataCommandsAndSubnegotiationsAtEveryCut) {
    const ParseRow& row = GetParam();
    TTelnetParser whole;
    whole.SetBinary(row.binary);
    Record expected;
    whole.Feed(row.input, expected);
    EXPECT_EQ(expected.data_, row.data);
    EXPECT_EQ(Commands(expected), row.commands);
    EXPECT_EQ(whole.Counts().Malformed, row.malformed);
    EXPECT_EQ(whole.Counts().Oversized, row.oversized);
    EXPECT_EQ(whole.Counts().IgnoredCommands, row.ignored);
    EXPECT_LE(whole.Held(), TTelnetParser::kMaxSubnegotiation);

    // Two chunks cut at every point, and one byte at a time.
    for (std::size_t cut = 0; cut <= row.input.size(); ++cut) {
        TTelnetParser parser;
        parser.SetBinary(row.binary);
        Record got;
        const std::span<const std::uint8_t> all(row.input);
        parser.Feed(all.first(cut), got);
        parser.Feed(all.subspan(cut), got);
        EXPECT_EQ(got.log_, expected.log_) << "cut at " << cut;
        EXPECT_EQ(got.data_, expected.data_) << "cut at " << cut;
        EXPECT_EQ(parser.Counts().Malformed, row.malformed) << "cut at " << cut;
    }
    TTelnetParser parser;
    parser.SetBinary(row.binary);
    Record got;
    for (std::uint8_t byte : row.input)
        parser.Feed(std::span<const std::uint8_t>(&byte, 1), got);
    EXPECT_EQ(got.log_, expected.log_);
    EXPECT_EQ(got.data_, expected.data_);
}

constexpr std::size_t kCap = TTelnetParser::kMaxSubnegotiation;
const Bytes kBodyAtCap(kCap, 'x');
const std::string kSbAtCap = "SB 44:" + [] {
    std::string s;
    for (std::size_t i = 0; i < kCap; ++i)
        s += " 120";
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Stream, TelnetParse,
    ::testing::Values(
        ParseRow{"PlainData", {'a', 'b', 'c'}, true, {'a', 'b', 'c'}, {}, 0, 0, 0},
        ParseRow{"IacIacIsOneFF", {'a', IAC, IAC, 'b'}, true, {'a', 0xFF, 'b'}, {}, 0, 0, 0},
        ParseRow{"Verbs",
                 {IAC, WILL, 0, IAC, WONT, 3, IAC, DO, 44, IAC, DONT, 255},
                 true,
                 {},
                 {"251 0", "252 3", "253 44", "254 255"},
                 0,
                 0,
                 0},
        ParseRow{"OptionByteIsNeverData", {IAC, DO, IAC, 'a'}, true, {'a'}, {"253 255"}, 0, 0, 0},
        ParseRow{"BaudReply",
                 {'a', IAC, SB, 44, 101, 0x00, 0x00, 0x25, 0x80, IAC, SE, 'b'},
                 true,
                 {'a', 'b'},
                 {"SB 44: 101 0 0 37 128"},
                 0,
                 0,
                 0},
        ParseRow{"SbIacIacIsOneFF",
                 {IAC, SB, 44, 101, IAC, IAC, IAC, IAC, 0, IAC, IAC, IAC, SE},
                 true,
                 {},
                 {"SB 44: 101 255 255 0 255"},
                 0,
                 0,
                 0},
        ParseRow{"EmptySb", {IAC, SB, 44, IAC, SE}, true, {}, {"SB 44:"}, 0, 0, 0},
        ParseRow{"OtherCommandsIgnored",
                 {'a', IAC, NOP, 'b', IAC, GA, IAC, 242, IAC, 246},
                 true,
                 {'a', 'b'},
                 {},
                 0,
                 0,
                 4},
        ParseRow{"SeWithoutSb", {IAC, SE, 'x'}, true, {'x'}, {}, 1, 0, 0},
        ParseRow{"IacUnknownByteSkipsBoth", {IAC, 0x10, 'x', IAC, 239}, true, {'x'}, {}, 2, 0, 0},
        ParseRow{"SbWithoutOption", {IAC, SB, IAC, WILL, 1}, true, {}, {"251 1"}, 1, 0, 0},
        ParseRow{"SbCutByCommand",
                 {IAC, SB, 44, 1, 2, IAC, WILL, 3, 'z'},
                 true,
                 {'z'},
                 {"251 3"},
                 1,
                 0,
                 0},
        ParseRow{"SbCutByIacUnknown", {IAC, SB, 44, 1, IAC, 7, 'z'}, true, {'z'}, {}, 2, 0, 0},
        ParseRow{
            "SbAtCap", Cat({{IAC, SB, 44}, kBodyAtCap, {IAC, SE}}), true, {}, {kSbAtCap}, 0, 0, 0},
        ParseRow{"SbOverCapDiscarded",
                 Cat({{IAC, SB, 44}, kBodyAtCap, {'y', IAC, IAC, 'y', IAC, SE, 'z'}}),
                 true,
                 {'z'},
                 {},
                 0,
                 1,
                 0},
        ParseRow{"SbOverCapCutByCommand",
                 Cat({{IAC, SB, 44}, kBodyAtCap, kBodyAtCap, {IAC, DO, 1, 'z'}}),
                 true,
                 {'z'},
                 {"253 1"},
                 0,
                 1,
                 0},
        ParseRow{"SbOfEscapedIacsOverCap",
                 Cat({{IAC, SB, 44}, Repeat({IAC, IAC}, kCap + 1), {IAC, SE, 'z'}}),
                 true,
                 {'z'},
                 {},
                 0,
                 1,
                 0},
        ParseRow{"NvtCrNulIsCr",
                 {'a', CR, 0, 'b', CR, LF, CR, CR, 0, 0},
                 false,
                 {'a', CR, 'b', CR, LF, CR, CR, 0},
                 {},
                 0,
                 0,
                 0},
        ParseRow{"NvtCrThenIacIac", {CR, IAC, IAC, 0}, false, {CR, 0xFF, 0}, {}, 0, 0, 0},
        ParseRow{"NvtCrThenCommandKeepsNul", {CR, IAC, NOP, 0}, false, {CR, 0}, {}, 0, 0, 1},
        ParseRow{"BinaryKeepsCrNul", {'a', CR, 0, 'b'}, true, {'a', CR, 0, 'b'}, {}, 0, 0, 0}));

TEST(TelnetParser, UnterminatedSubnegotiationHoldsAtMostTheCap) {
    TTelnetParser parser;
    Record record;
    const Bytes open = {IAC, SB, 44};
    parser.Feed(open, record);
    const Bytes junk(4096, 0x41);
    for (int i = 0; i < 256; ++i) {
        parser.Feed(junk, record);
        ASSERT_LE(parser.Held(), TTelnetParser::kMaxSubnegotiation);
    }
    EXPECT_TRUE(record.log_.empty());
    EXPECT_EQ(parser.Counts().Oversized, 1u);
    // The stream goes on after the IAC SE.
    const Bytes close = {IAC, SE, 'k', IAC, WILL, 3};
    parser.Feed(close, record);
    EXPECT_EQ(record.data_, Bytes{'k'});
    EXPECT_EQ(Commands(record), std::vector<std::string>{"251 3"});
    EXPECT_EQ(parser.Held(), 0u);
}

TEST(TelnetParser, SmallerLimitDiscardsLongerBodies) {
    TTelnetParser parser(4);
    Record record;
    const Bytes stream = {IAC, SB, 44, 1, 2, 3, 4, IAC, SE, IAC, SB, 44, 1, 2, 3, 4, 5, IAC, SE};
    parser.Feed(stream, record);
    EXPECT_EQ(Commands(record), std::vector<std::string>{"SB 44: 1 2 3 4"});
    EXPECT_EQ(parser.Counts().Oversized, 1u);
    // No limit above the buffer's.
    TTelnetParser wide(kCap * 4);
    Record all;
    wide.Feed(Cat({{IAC, SB, 44}, kBodyAtCap, {0, IAC, SE}}), all);
    EXPECT_TRUE(Commands(all).empty());
    EXPECT_EQ(wide.Counts().Oversized, 1u);
}

TEST(TelnetParser, IacAtTheEndOfAChunkWaitsForTheNext) {
    TTelnetParser parser;
    parser.SetBinary(true);
    Record record;
    const Bytes first = {'a', IAC};
    const Bytes second = {IAC, 'b', IAC};
    const Bytes third = {WILL};
    const Bytes fourth = {0};
    parser.Feed(first, record);
    EXPECT_EQ(record.data_, Bytes{'a'});
    parser.Feed(second, record);
    parser.Feed(third, record);
    EXPECT_TRUE(Commands(record).empty());
    parser.Feed(fourth, record);
    EXPECT_EQ(record.data_, (Bytes{'a', 0xFF, 'b'}));
    EXPECT_EQ(Commands(record), std::vector<std::string>{"251 0"});
}

// --- COM-PORT commands ------------------------------------------------------

struct EncodeRow {
    const char* name;
    Bytes encoded;
    Bytes expected;
};

void PrintTo(const EncodeRow& row, std::ostream* out) {
    *out << row.name;
}

class ComPortCommand : public ::testing::TestWithParam<EncodeRow> {};

TEST_P(ComPortCommand, WritesTheRfcBytes) {
    EXPECT_EQ(GetParam().encoded, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc2217, ComPortCommand,
    ::testing::Values(
        EncodeRow{"Baud9600",
                  EncodeSetBaudRate(9600),
                  {0xFF, 0xFA, 44, 1, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0}},
        EncodeRow{"Baud115200",
                  EncodeSetBaudRate(115200),
                  {0xFF, 0xFA, 44, 1, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0}},
        EncodeRow{"BaudAsk", EncodeSetBaudRate(0), {0xFF, 0xFA, 44, 1, 0, 0, 0, 0, 0xFF, 0xF0}},
        EncodeRow{"BaudWithFFDoubled",
                  EncodeSetBaudRate(0x0000FFFF),
                  {0xFF, 0xFA, 44, 1, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}},
        EncodeRow{"BaudAllFF",
                  EncodeSetBaudRate(0xFFFFFFFF),
                  {0xFF, 0xFA, 44, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}},
        EncodeRow{"DataSize8", EncodeSetDataSize(8), {0xFF, 0xFA, 44, 2, 8, 0xFF, 0xF0}},
        EncodeRow{
            "ParityNone", EncodeSetParity(TComParity::cpaNone), {0xFF, 0xFA, 44, 3, 1, 0xFF, 0xF0}},
        EncodeRow{
            "ParityEven", EncodeSetParity(TComParity::cpaEven), {0xFF, 0xFA, 44, 3, 3, 0xFF, 0xF0}},
        EncodeRow{"ParitySpace",
                  EncodeSetParity(TComParity::cpaSpace),
                  {0xFF, 0xFA, 44, 3, 5, 0xFF, 0xF0}},
        EncodeRow{"StopOneAndHalf",
                  EncodeSetStopSize(TComStopSize::csOneAndHalf),
                  {0xFF, 0xFA, 44, 4, 3, 0xFF, 0xF0}},
        EncodeRow{
            "StopTwo", EncodeSetStopSize(TComStopSize::csTwo), {0xFF, 0xFA, 44, 4, 2, 0xFF, 0xF0}},
        EncodeRow{"HardwareFlow",
                  EncodeSetControl(TComControl::ccHardwareFlow),
                  {0xFF, 0xFA, 44, 5, 3, 0xFF, 0xF0}},
        EncodeRow{"BreakOn",
                  EncodeSetControl(TComControl::ccBreakOn),
                  {0xFF, 0xFA, 44, 5, 5, 0xFF, 0xF0}},
        EncodeRow{
            "DtrOn", EncodeSetControl(TComControl::ccDtrOn), {0xFF, 0xFA, 44, 5, 8, 0xFF, 0xF0}},
        EncodeRow{
            "DtrOff", EncodeSetControl(TComControl::ccDtrOff), {0xFF, 0xFA, 44, 5, 9, 0xFF, 0xF0}},
        EncodeRow{
            "RtsOff", EncodeSetControl(TComControl::ccRtsOff), {0xFF, 0xFA, 44, 5, 12, 0xFF, 0xF0}},
        EncodeRow{"InboundHardwareFlow",
                  EncodeSetControl(TComControl::ccInboundHardwareFlow),
                  {0xFF, 0xFA, 44, 5, 16, 0xFF, 0xF0}},
        EncodeRow{"DsrFlow",
                  EncodeSetControl(TComControl::ccDsrFlow),
                  {0xFF, 0xFA, 44, 5, 19, 0xFF, 0xF0}},
        EncodeRow{"NotifyLineState", EncodeNotifyLineState(0), {0xFF, 0xFA, 44, 6, 0, 0xFF, 0xF0}},
        EncodeRow{"NotifyModemStateFF",
                  EncodeNotifyModemState(0xFF),
                  {0xFF, 0xFA, 44, 7, 0xFF, 0xFF, 0xFF, 0xF0}},
        EncodeRow{"Suspend", EncodeFlowControlSuspend(), {0xFF, 0xFA, 44, 8, 0xFF, 0xF0}},
        EncodeRow{"Resume", EncodeFlowControlResume(), {0xFF, 0xFA, 44, 9, 0xFF, 0xF0}},
        EncodeRow{
            "LineStateMask", EncodeSetLineStateMask(0x1E), {0xFF, 0xFA, 44, 10, 0x1E, 0xFF, 0xF0}},
        EncodeRow{"ModemStateMaskFF",
                  EncodeSetModemStateMask(0xFF),
                  {0xFF, 0xFA, 44, 11, 0xFF, 0xFF, 0xFF, 0xF0}},
        EncodeRow{"PurgeReceive",
                  EncodePurgeData(TComPurge::cpuReceive),
                  {0xFF, 0xFA, 44, 12, 1, 0xFF, 0xF0}},
        EncodeRow{"PurgeTransmit",
                  EncodePurgeData(TComPurge::cpuTransmit),
                  {0xFF, 0xFA, 44, 12, 2, 0xFF, 0xF0}},
        EncodeRow{
            "PurgeBoth", EncodePurgeData(TComPurge::cpuBoth), {0xFF, 0xFA, 44, 12, 3, 0xFF, 0xF0}},
        EncodeRow{"AskSignature", EncodeSignature(""), {0xFF, 0xFA, 44, 0, 0xFF, 0xF0}},
        EncodeRow{"Signature",
                  EncodeSignature("a\xff"),
                  {0xFF, 0xFA, 44, 0, 'a', 0xFF, 0xFF, 0xFF, 0xF0}}));

TEST(TelnetEscape, DoublesIacAndInTextSendsCrAsCrNul) {
    const Bytes data = {1, 0xFF, CR, 0, CR, LF, 'a', 0xFF, 0xFF};
    Bytes binary;
    EscapeData(data, true, binary);
    EXPECT_EQ(binary, (Bytes{1, 0xFF, 0xFF, CR, 0, CR, LF, 'a', 0xFF, 0xFF, 0xFF, 0xFF}));
    Bytes text;
    EscapeData(data, false, text);
    EXPECT_EQ(text, (Bytes{1, 0xFF, 0xFF, CR, 0, 0, CR, 0, LF, 'a', 0xFF, 0xFF, 0xFF, 0xFF}));
    // What the client escapes, a parser reads back as it was.
    for (bool mode : {true, false}) {
        TTelnetParser parser;
        parser.SetBinary(mode);
        Record record;
        parser.Feed(mode ? binary : text, record);
        EXPECT_EQ(record.data_, data) << "binary " << mode;
    }
}

// --- COM-PORT replies -------------------------------------------------------

struct DecodeRow {
    const char* name;
    Bytes body;
    bool ok;
    TComPortCommand command;
    std::uint32_t value;
    const char* text; // the signature, or a part of the error
};

void PrintTo(const DecodeRow& row, std::ostream* out) {
    *out << row.name;
}

class ComPortReply : public ::testing::TestWithParam<DecodeRow> {};

TEST_P(ComPortReply, GivesCommandAndValueOrWhyNot) {
    const DecodeRow& row = GetParam();
    const TComPortDecoded decoded = DecodeComPortReply(row.body);
    ASSERT_EQ(decoded.Reply.has_value(), row.ok) << decoded.Error;
    if (row.ok) {
        EXPECT_EQ(decoded.Reply->Command, row.command);
        EXPECT_EQ(decoded.Reply->Value, row.value);
        EXPECT_EQ(decoded.Reply->Text, row.text);
    } else {
        EXPECT_NE(decoded.Error.find(row.text), std::string::npos) << decoded.Error;
    }
}

using C = TComPortCommand;

INSTANTIATE_TEST_SUITE_P(
    Rfc2217, ComPortReply,
    ::testing::Values(
        DecodeRow{"Baud", {101, 0x00, 0x00, 0x25, 0x80}, true, C::cpSetBaudRate, 9600, ""},
        DecodeRow{
            "BaudAllFF", {101, 0xFF, 0xFF, 0xFF, 0xFF}, true, C::cpSetBaudRate, 0xFFFFFFFF, ""},
        DecodeRow{"DataSize", {102, 7}, true, C::cpSetDataSize, 7, ""},
        DecodeRow{"Parity", {103, 2}, true, C::cpSetParity, 2, ""},
        DecodeRow{"StopSize", {104, 1}, true, C::cpSetStopSize, 1, ""},
        DecodeRow{"Control", {105, 11}, true, C::cpSetControl, 11, ""},
        DecodeRow{"LineState", {106, 0x1E}, true, C::cpNotifyLineState, 0x1E, ""},
        DecodeRow{"ModemState", {107, 0xB1}, true, C::cpNotifyModemState, 0xB1, ""},
        DecodeRow{"Suspend", {108}, true, C::cpFlowControlSuspend, 0, ""},
        DecodeRow{"Resume", {109}, true, C::cpFlowControlResume, 0, ""},
        DecodeRow{"LineMask", {110, 0xFF}, true, C::cpSetLineStateMask, 0xFF, ""},
        DecodeRow{"ModemMask", {111, 0xF0}, true, C::cpSetModemStateMask, 0xF0, ""},
        DecodeRow{"Purge", {112, 3}, true, C::cpPurgeData, 3, ""},
        DecodeRow{"Signature", {100, 'N', 'P', '5'}, true, C::cpSignature, 0, "NP5"},
        DecodeRow{"EmptySignature", {100}, true, C::cpSignature, 0, ""},
        DecodeRow{"Empty", {}, false, C::cpSignature, 0, "without a command code"},
        DecodeRow{"BaudShort",
                  {101, 0, 0x25, 0x80},
                  false,
                  C::cpSignature,
                  0,
                  "SET-BAUDRATE reply (101) with 3 value bytes, not 4"},
        DecodeRow{"BaudLong",
                  {101, 0, 0, 0x25, 0x80, 0},
                  false,
                  C::cpSignature,
                  0,
                  "5 value bytes, not 4"},
        DecodeRow{"DataSizeEmpty", {102}, false, C::cpSignature, 0, "0 value bytes, not 1"},
        DecodeRow{"ParityLong", {103, 1, 1}, false, C::cpSignature, 0, "2 value bytes, not 1"},
        DecodeRow{"SuspendWithValue",
                  {108, 0},
                  false,
                  C::cpSignature,
                  0,
                  "FLOWCONTROL-SUSPEND reply (108) with 1 value bytes, not 0"},
        DecodeRow{"ClientCode",
                  {1, 0, 0, 0x25, 0x80},
                  false,
                  C::cpSignature,
                  0,
                  "a client's command (code 1, SET-BAUDRATE) from the server"},
        DecodeRow{"BetweenRanges", {99, 0}, false, C::cpSignature, 0, "unknown COM-PORT code 99"},
        DecodeRow{"AboveReplies", {113, 0}, false, C::cpSignature, 0, "unknown COM-PORT code 113"},
        DecodeRow{"Top", {255}, false, C::cpSignature, 0, "unknown COM-PORT code 255"}));

TEST(TelnetDecode, ModemAndLineStateBitsFollowTheRfc) {
    struct Bit {
        std::uint8_t value;
        TModemState modem;
        TLineState line;
    };
    const Bit bits[] = {
        {0x80, {.Dcd = true}, {.Timeout = true}},
        {0x40, {.Ri = true}, {.TransmitShiftEmpty = true}},
        {0x20, {.Dsr = true}, {.TransmitHoldingEmpty = true}},
        {0x10, {.Cts = true}, {.Break = true}},
        {0x08, {.DeltaDcd = true}, {.Framing = true}},
        {0x04, {.TrailingEdgeRi = true}, {.Parity = true}},
        {0x02, {.DeltaDsr = true}, {.Overrun = true}},
        {0x01, {.DeltaCts = true}, {.DataReady = true}},
    };
    auto modemTuple = [](const TModemState& s) {
        return std::vector<bool>{s.Dcd,      s.Ri,      s.Dsr, s.Cts, s.DeltaDcd, s.TrailingEdgeRi,
                                 s.DeltaDsr, s.DeltaCts};
    };
    auto lineTuple = [](const TLineState& s) {
        return std::vector<bool>{
            s.Timeout, s.TransmitShiftEmpty, s.TransmitHoldingEmpty, s.Break, s.Framing, s.Parity,
            s.Overrun, s.DataReady};
    };
    for (const Bit& bit : bits) {
        EXPECT_EQ(modemTuple(DecodeModemState(bit.value)), modemTuple(bit.modem)) << +bit.value;
        EXPECT_EQ(lineTuple(DecodeLineState(bit.value)), lineTuple(bit.line)) << +bit.value;
    }
    EXPECT_EQ(modemTuple(DecodeModemState(0)), modemTuple({}));
    EXPECT_EQ(lineTuple(DecodeLineState(0)), lineTuple({}));
}

// --- Negotiation ------------------------------------------------------------

// The opening of an RFC 2217 client: WILL and DO BINARY, WILL and DO
// SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION.
const Bytes kOpening = {IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44};
// A server that agrees to all of it.
const Bytes kAgreed = {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, 44};

TTelnetInput Feed(TTelnetClient& client, const Bytes& bytes) {
    TTelnetInput input;
    client.Feed(bytes, input);
    return input;
}

TEST(TelnetClient, OpensWithItsRequestsOnceAndTakesTheServersAgreementSilently) {
    TTelnetClient client(true);
    EXPECT_EQ(client.ComPortStatus(), TComPortStatus::csPending);
    EXPECT_EQ(client.Start(), kOpening);
    EXPECT_EQ(client.Start(), Bytes{});
    EXPECT_EQ(client.ComPortStatus(), TComPortStatus::csPending);
    EXPECT_FALSE(client.SendBinary());
    const TTelnetInput input = Feed(client, kAgreed);
    EXPECT_EQ(input.Answer, Bytes{});
    EXPECT_EQ(client.ComPortStatus(), TComPortStatus::csAccepted);
    EXPECT_TRUE(client.SendBinary());
    EXPECT_TRUE(client.ReceiveBinary());
    EXPECT_TRUE(client.Parser().Binary());
}

TEST(TelnetClient, RawTelnetClientDoesNotAskForComPort) {
    TTelnetClient client(false);
    EXPECT_EQ(client.Start(), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3}));
    EXPECT_EQ(client.ComPortStatus(), TComPortStatus::csRefused);
    EXPECT_EQ(Feed(client, {IAC, DO, 44}).Answer, (Bytes{IAC, WONT, 44}));
}

struct NegotiationRow {
    const char* name;
    Bytes before; // fed after Start, answers not checked
    Bytes input;
    Bytes answer;
    TComPortStatus status;
};

void PrintTo(const NegotiationRow& row, std::ostream* out) {
    *out << row.name;
}

class TelnetNegotiation : public ::testing::TestWithParam<NegotiationRow> {};

TEST_P(TelnetNegotiation, AnswersOnlyARealChange) {
    const NegotiationRow& row = GetParam();
    TTelnetClient client(true);
    client.Start();
    Feed(client, row.before);
    const TTelnetInput input = Feed(client, row.input);
    EXPECT_EQ(input.Answer, row.answer);
    EXPECT_EQ(client.ComPortStatus(), row.status);
}

constexpr auto kPending = TComPortStatus::csPending;
constexpr auto kAccepted = TComPortStatus::csAccepted;
constexpr auto kRefused = TComPortStatus::csRefused;

INSTANTIATE_TEST_SUITE_P(
    Server, TelnetNegotiation,
    ::testing::Values(
        NegotiationRow{"ComPortRefused", {}, {IAC, DONT, 44}, {}, kRefused},
        NegotiationRow{"ComPortAccepted", {}, {IAC, DO, 44}, {}, kAccepted},
        NegotiationRow{"ComPortAcceptedTwice", {IAC, DO, 44}, {IAC, DO, 44}, {}, kAccepted},
        NegotiationRow{
            "ComPortWithdrawn", {IAC, DO, 44}, {IAC, DONT, 44}, {IAC, WONT, 44}, kRefused},
        NegotiationRow{"ComPortAskedAgainAfterRefusal",
                       {IAC, DONT, 44},
                       {IAC, DO, 44},
                       {IAC, WILL, 44},
                       kAccepted},
        NegotiationRow{"ServerWillComPortAgreed", {}, {IAC, WILL, 44}, {IAC, DO, 44}, kPending},
        NegotiationRow{"UnknownDoRefusedOnce",
                       {},
                       {IAC, DO, 24, IAC, DO, 24, IAC, DO, 24},
                       {IAC, WONT, 24},
                       kPending},
        NegotiationRow{
            "UnknownWillRefusedOnce", {}, {IAC, WILL, 1, IAC, WILL, 1}, {IAC, DONT, 1}, kPending},
        NegotiationRow{"RefusedStaysRefusedAfterWont",
                       {IAC, WILL, 1},
                       {IAC, WONT, 1, IAC, WILL, 1},
                       {},
                       kPending},
        NegotiationRow{
            "UnknownDontAndWontIgnored", {}, {IAC, DONT, 24, IAC, WONT, 1}, {}, kPending},
        NegotiationRow{"BinaryWithdrawnIsAcknowledged",
                       kAgreed,
                       {IAC, WONT, 0, IAC, WONT, 0},
                       {IAC, DONT, 0},
                       kAccepted},
        NegotiationRow{"BinaryOfferedAgainIsTaken",
                       Cat({kAgreed, {IAC, WONT, 0}}),
                       {IAC, WILL, 0},
                       {IAC, DO, 0},
                       kAccepted},
        NegotiationRow{
            "RequestRefusedNeedsNoAnswer", {}, {IAC, WONT, 0, IAC, DONT, 3}, {}, kPending},
        NegotiationRow{"AgreementRepeated", kAgreed, kAgreed, {}, kAccepted}));

TEST(TelnetClient, ServerRequestBeforeStartIsNotAskedAgain) {
    TTelnetClient client(true);
    EXPECT_EQ(Feed(client, {IAC, DO, 0}).Answer, (Bytes{IAC, WILL, 0}));
    EXPECT_EQ(client.Start(), (Bytes{IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
}

TEST(TelnetClient, TextModeWhenTheServerRefusesBinary) {
    TTelnetClient client(true);
    client.Start();
    const TTelnetInput input =
        Feed(client, {IAC, DONT, 0, IAC, WONT, 0, 'a', CR, 0, 'b', IAC, WILL, 0, CR, 0});
    // CR NUL is a CR until the server goes binary, then bytes as they are.
    EXPECT_EQ(input.Data, (Bytes{'a', CR, 'b', CR, 0}));
    EXPECT_FALSE(client.SendBinary());
    Bytes out;
    client.EscapeData(Bytes{CR, 0xFF}, out);
    EXPECT_EQ(out, (Bytes{CR, 0, 0xFF, 0xFF}));
}

// A server that floods commands gets at most one answer per change of an
// option's state: the answers never outgrow the input.
TEST(TelnetClient, FloodGetsBoundedAnswers) {
    const std::uint8_t verbs[] = {WILL, WONT, DO, DONT};
    const std::uint8_t options[] = {0, 3, 44, 1, 24, 255};
    // The same command over and over: one answer in all.
    for (std::uint8_t verb : verbs) {
        for (std::uint8_t option : options) {
            TTelnetClient client(true);
            client.Start();
            const Bytes flood = Repeat({IAC, verb, option}, 10000);
            EXPECT_LE(Feed(client, flood).Answer.size(), 3u) << +verb << " " << +option;
        }
    }
    // Yes and no in turn: one answer per change, never more than the input.
    for (std::uint8_t option : options) {
        for (bool us : {true, false}) {
            TTelnetClient client(true);
            client.Start();
            const Bytes flood =
                Repeat({IAC, us ? DO : WILL, option, IAC, us ? DONT : WONT, option}, 5000);
            EXPECT_LE(Feed(client, flood).Answer.size(), flood.size());
        }
    }
    // Commands drawn at random, fed in pieces of random size: each Feed's
    // answer is at most its input and the 2 bytes of a command begun before.
    TTelnetClient client(true);
    client.Start();
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    Bytes stream;
    for (int i = 0; i < 20000; ++i)
        stream.insert(stream.end(), {IAC, verbs[next() % 4], options[next() % 6]});
    std::size_t at = 0, answered = 0;
    while (at < stream.size()) {
        const std::size_t size = std::min<std::size_t>(1 + next() % 7, stream.size() - at);
        const TTelnetInput input =
            Feed(client, Bytes(stream.begin() + at, stream.begin() + at + size));
        EXPECT_LE(input.Answer.size(), size + 2);
        answered += input.Answer.size();
        at += size;
    }
    EXPECT_LE(answered, stream.size());
}

TEST(TelnetClient, RepliesCarryTheirPlaceInTheDataAndBadOnesAreSkipped) {
    TTelnetClient client(true);
    client.Start();
    Feed(client, kAgreed);
    const Bytes stream = {'a',  IAC, SB,  44,  101, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                          0xFF, IAC, SE,  'b', IAC, SB,   44,   107,  0xB1, IAC,  SE,   IAC,
                          SB,   44,  101, 0,   IAC, SE,   IAC,  SB,   24,   0,    'x',  IAC,
                          SE,   IAC, IAC, IAC, SB,  44,   106,  0x10, IAC,  SE};
    const TTelnetInput whole = Feed(client, stream);
    EXPECT_EQ(whole.Data, (Bytes{'a', 'b', 0xFF}));
    ASSERT_EQ(whole.Replies.size(), 3u);
    EXPECT_EQ(whole.Replies[0].Command, TComPortCommand::cpSetBaudRate);
    EXPECT_EQ(whole.Replies[0].Value, 0xFFFFFFFFu);
    EXPECT_EQ(whole.Replies[0].DataOffset, 1u);
    EXPECT_EQ(whole.Replies[1].Command, TComPortCommand::cpNotifyModemState);
    EXPECT_EQ(whole.Replies[1].Value, 0xB1u);
    EXPECT_EQ(whole.Replies[1].DataOffset, 2u);
    EXPECT_EQ(whole.Replies[2].Command, TComPortCommand::cpNotifyLineState);
    EXPECT_EQ(whole.Replies[2].DataOffset, 3u);
    ASSERT_EQ(whole.BadReplies.size(), 1u);
    EXPECT_NE(whole.BadReplies[0].find("1 value bytes, not 4"), std::string::npos);
    EXPECT_EQ(client.IgnoredSubnegotiations(), 1u);
    EXPECT_EQ(whole.Answer, Bytes{});
}

// Negotiation included, a stream cut anywhere gives what it gives whole.
TEST(TelnetClient, ChunkedFeedingEqualsWholeFeeding) {
    const Bytes stream = Cat({{IAC, DO, 0, 'a', CR, 0, IAC, WILL, 0, CR, 0, IAC},
                              {IAC, IAC, SB, 44, 101, 0, 0, IAC, IAC, IAC, IAC, IAC, SE},
                              {IAC, DO, 24, IAC, WILL, 1, IAC, SB, 44},
                              Bytes(kCap + 6, 'q'),
                              {IAC, SE, IAC, WONT, 0, CR, 0, IAC, SE, IAC, 7, 'z'}});
    TTelnetClient whole(true);
    whole.Start();
    const TTelnetInput expected = Feed(whole, stream);
    EXPECT_EQ(expected.Answer, (Bytes{IAC, WONT, 24, IAC, DONT, 1, IAC, DONT, 0}));
    EXPECT_EQ(expected.Data, (Bytes{'a', CR, CR, 0, 0xFF, CR, 'z'}));
    ASSERT_EQ(expected.Replies.size(), 1u);
    EXPECT_EQ(expected.Replies[0].Value, 0x0000FFFFu);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        for (std::size_t cut2 = cut; cut2 <= stream.size(); cut2 += 5) {
            TTelnetClient client(true);
            client.Start();
            Bytes data, answer;
            std::vector<std::uint32_t> values;
            for (auto [from, to] : {std::pair{std::size_t{0}, cut}, std::pair{cut, cut2},
                                    std::pair{cut2, stream.size()}}) {
                const TTelnetInput input =
                    Feed(client, Bytes(stream.begin() + from, stream.begin() + to));
                data.insert(data.end(), input.Data.begin(), input.Data.end());
                answer.insert(answer.end(), input.Answer.begin(), input.Answer.end());
                for (const TComPortReply& reply : input.Replies)
                    values.push_back(reply.Value);
            }
            EXPECT_EQ(data, expected.Data) << cut << " " << cut2;
            EXPECT_EQ(answer, expected.Answer) << cut << " " << cut2;
            EXPECT_EQ(values, std::vector<std::uint32_t>{0x0000FFFFu}) << cut << " " << cut2;
            EXPECT_EQ(client.Parser().Counts().Malformed, whole.Parser().Counts().Malformed);
            EXPECT_EQ(client.Parser().Counts().Oversized, whole.Parser().Counts().Oversized);
        }
    }
}

} // namespace
