// Network port names: one row per behaviour of the parser, the names it
// takes (each host form, the port's bounds, the scheme in any case) and the
// reasons it gives for the ones it refuses, which must name what to change.
#include "serial/driver/NetPortName.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

using namespace comm::net;

namespace {

struct GoodRow {
    const char* name;
    std::string text;
    TNetScheme scheme;
    std::string host;
    THostKind kind;
    std::uint16_t port;
};

void PrintTo(const GoodRow& row, std::ostream* out) {
    *out << row.name;
}

class NetPortNameAccepted : public ::testing::TestWithParam<GoodRow> {};

TEST_P(NetPortNameAccepted, GivesSchemeHostAndPort) {
    const GoodRow& row = GetParam();
    EXPECT_TRUE(IsNetPortName(row.text));
    const TNetPortNameResult result = ParseNetPortName(row.text);
    ASSERT_TRUE(result.Name) << result.Error;
    EXPECT_EQ(result.Error, "");
    EXPECT_EQ(result.Name->Scheme, row.scheme);
    EXPECT_EQ(result.Name->Host, row.host);
    EXPECT_EQ(result.Name->HostKind, row.kind);
    EXPECT_EQ(result.Name->Port, row.port);
    // Written back, it parses to the same.
    const TNetPortNameResult again = ParseNetPortName(FormatNetPortName(*result.Name));
    ASSERT_TRUE(again.Name) << again.Error;
    EXPECT_EQ(again.Name->Host, row.host);
    EXPECT_EQ(again.Name->Port, row.port);
}

constexpr auto kTcp = TNetScheme::nsTcp;
constexpr auto kRfc = TNetScheme::nsRfc2217;
constexpr auto kName = THostKind::hkName;
constexpr auto kV4 = THostKind::hkIpv4;
constexpr auto kV6 = THostKind::hkIpv6;
const std::string k63(63, 'a');
// 4 labels of 63 and the dots: 255; three of 63 and one of 61: 253.
const std::string k253 = k63 + "." + k63 + "." + k63 + "." + std::string(61, 'b');

INSTANTIATE_TEST_SUITE_P(
    Names, NetPortNameAccepted,
    ::testing::Values(
        GoodRow{"DnsName", "tcp://moxa-3.example.org:4001", kTcp, "moxa-3.example.org", kName,
                4001},
        GoodRow{"SingleLabel", "rfc2217://devserver:2217", kRfc, "devserver", kName, 2217},
        GoodRow{"SchemeInAnyCase", "RFC2217://Sign-A:23", kRfc, "Sign-A", kName, 23},
        GoodRow{"TcpUpperCase", "TCP://h:1", kTcp, "h", kName, 1},
        GoodRow{"LabelStartsWithDigit", "tcp://3com.example:7", kTcp, "3com.example", kName, 7},
        GoodRow{"LongestLabel", "tcp://" + k63 + ".x:9", kTcp, k63 + ".x", kName, 9},
        GoodRow{"LongestName", "tcp://" + k253 + ":9", kTcp, k253, kName, 9},
        GoodRow{"Ipv4", "tcp://192.168.1.20:4001", kTcp, "192.168.1.20", kV4, 4001},
        GoodRow{"Ipv4Zeros", "tcp://0.0.0.0:10", kTcp, "0.0.0.0", kV4, 10},
        GoodRow{"Ipv4Top", "tcp://255.255.255.255:10", kTcp, "255.255.255.255", kV4, 10},
        GoodRow{"Ipv6Loopback", "rfc2217://[::1]:2217", kRfc, "::1", kV6, 2217},
        GoodRow{"Ipv6Unspecified", "tcp://[::]:5", kTcp, "::", kV6, 5},
        GoodRow{"Ipv6Full", "tcp://[2001:db8:0:0:1:0:0:1]:80", kTcp, "2001:db8:0:0:1:0:0:1", kV6,
                80},
        GoodRow{"Ipv6GapInMiddle", "tcp://[2001:DB8::ff00:42:8329]:80", kTcp,
                "2001:DB8::ff00:42:8329", kV6, 80},
        GoodRow{"Ipv6TrailingGap", "tcp://[fe80::]:80", kTcp, "fe80::", kV6, 80},
        GoodRow{"Ipv6WithIpv4", "tcp://[::ffff:192.0.2.128]:80", kTcp, "::ffff:192.0.2.128", kV6,
                80},
        GoodRow{"Ipv6FullWithIpv4", "tcp://[1:2:3:4:5:6:1.2.3.4]:80", kTcp, "1:2:3:4:5:6:1.2.3.4",
                kV6, 80},
        GoodRow{"Ipv6SevenGroupsAndGap", "tcp://[1:2:3:4:5:6:7::]:80", kTcp, "1:2:3:4:5:6:7::", kV6,
                80},
        GoodRow{"PortTop", "tcp://h:65535", kTcp, "h", kName, 65535},
        GoodRow{"PortLeadingZeros", "tcp://h:00023", kTcp, "h", kName, 23}));

struct BadRow {
    const char* name;
    std::string text;
    // A part of the reason that tells the user what to change.
    const char* reason;
};

void PrintTo(const BadRow& row, std::ostream* out) {
    *out << row.name;
}

class NetPortNameRefused : public ::testing::TestWithParam<BadRow> {};

TEST_P(NetPortNameRefused, SaysWhy) {
    const BadRow& row = GetParam();
    const TNetPortNameResult result = ParseNetPortName(row.text);
    EXPECT_FALSE(result.Name);
    EXPECT_NE(result.Error.find(row.reason), std::string::npos) << result.Error;
}

INSTANTIATE_TEST_SUITE_P(
    Names, NetPortNameRefused,
    ::testing::Values(
        BadRow{"NoPort", "tcp://host", "no port in \"tcp://host\": add \":PORT\""},
        BadRow{"Ipv6NoPort", "tcp://[::1]", "no port"},
        BadRow{"EmptyPort", "tcp://host:", "the port after ':' is empty"},
        BadRow{"PortZero", "tcp://host:0", "port 0 is out of range (1-65535)"},
        BadRow{"PortTooHigh", "tcp://host:99999", "port 99999 is out of range (1-65535)"},
        BadRow{"PortOverflowsThirtyTwoBits", "tcp://host:4294967297",
               "port 4294967297 is out of range"},
        BadRow{"PortVeryLongIsCut", "tcp://host:" + std::string(40, '9'),
               "port 999999999999... is out of range"},
        BadRow{"PortSigned", "tcp://host:+23", "is not a decimal number (it holds '+')"},
        BadRow{"PortNegative", "tcp://host:-23", "(it holds '-')"},
        BadRow{"PortHex", "tcp://host:0x17", "(it holds 'x')"},
        BadRow{"PortBlank", "tcp://host: 23", "(it holds ' ')"},
        BadRow{"Path", "tcp://host:23/x", "nothing may follow the port"},
        BadRow{"Query", "rfc2217://host:23?logging=debug", "goes on with \"?logging=debug\""},
        BadRow{"Fragment", "tcp://host:23#a", "nothing may follow the port"},
        BadRow{"UserInfo", "tcp://user@host:23", "user information"},
        BadRow{"EmptyHost", "tcp://:23", "the host is empty"},
        BadRow{"EmptyIpv6", "tcp://[]:23", "the host is empty"},
        BadRow{"Nothing", "rfc2217://", "the host and the port are missing"},
        BadRow{"NotNetwork", "COM3", "not a network port name"},
        BadRow{"OtherScheme", "udp://host:23", "not a network port name"},
        BadRow{"SchemeWithoutSlashes", "tcp:host:23", "not a network port name"},
        BadRow{"ControlCharacterInHost", "tcp://ho\nst:23", "\"ho\nst\" holds \n; a host"},
        BadRow{"ControlCharacterAfterPort", "tcp://host:23\r", "(it holds \r)"},
        BadRow{"Escape", "tcp://\x1b[2Jhost:23", "holds \x1b; a host"},
        BadRow{"InvalidUtf8", "tcp://h\xff\xfe:23", "holds \xff"},
        BadRow{"NonAsciiName", "tcp://b\xc3\xbch.de:23", "holds \xc3"},
        BadRow{"Underscore", "tcp://dev_server:23", "holds '_'; a host is"},
        BadRow{"Blank", "tcp://dev server:23", "holds ' '"},
        BadRow{"EmptyLabel", "tcp://a..b:23", "has an empty label"},
        BadRow{"TrailingDot", "tcp://a.b.:23", "has an empty label"},
        BadRow{"LeadingHyphen", "tcp://-a.b:23", "starts or ends with '-' (-a)"},
        BadRow{"TrailingHyphen", "tcp://a.b-:23", "starts or ends with '-' (b-)"},
        BadRow{"LabelTooLong", "tcp://" + k63 + "a.x:23", "a label of 64 characters (at most 63)"},
        BadRow{"NameTooLong", "tcp://" + k253 + "b:23", "is 254 characters long (at most 253)"},
        BadRow{"Ipv4Octet", "tcp://192.168.1.256:23", "a number over 255 (256)"},
        BadRow{"Ipv4ThreeNumbers", "tcp://10.0.1:23", "has 3 numbers, not four"},
        BadRow{"Ipv4FiveNumbers", "tcp://1.2.3.4.5:23", "more than four numbers"},
        BadRow{"Ipv4LeadingZero", "tcp://10.0.0.010:23", "a leading zero (010)"},
        BadRow{"Ipv4EmptyNumber", "tcp://10..0.1:23", "an empty number"},
        BadRow{"AllDigitName", "tcp://123:23", "has 1 number, not four"},
        BadRow{"Ipv6Unbracketed", "tcp://::1:23", "must be written in brackets: tcp://[::1]:PORT"},
        BadRow{"Ipv6Unclosed", "tcp://[::1:23", "has no closing ']'"},
        BadRow{"Ipv6JunkAfterBracket", "tcp://[::1]x:23", "comes \"x:23\", not \":PORT\""},
        BadRow{"Ipv6TwoGaps", "tcp://[1::2::3]:23", "'::' more than once"},
        BadRow{"Ipv6TripleColon", "tcp://[1:::2]:23", "'::' more than once"},
        BadRow{"Ipv6LeadingColon", "tcp://[:1:2:3:4:5:6:7]:23", "an empty group"},
        BadRow{"Ipv6TrailingColon", "tcp://[1::2:]:23", "an empty group"},
        BadRow{"Ipv6SevenGroups", "tcp://[1:2:3:4:5:6:7]:23", "has 7 groups, not eight"},
        BadRow{"Ipv6NineGroups", "tcp://[1:2:3:4:5:6:7:8:9]:23", "has 9 groups"},
        BadRow{"Ipv6EightGroupsAndGap", "tcp://[1:2:3:4::5:6:7:8]:23", "too many groups"},
        BadRow{"Ipv6LongGroup", "tcp://[12345::1]:23", "more than four hex digits (12345)"},
        BadRow{"Ipv6NotHex", "tcp://[fe80::g]:23", "holds 'g'"},
        BadRow{"Ipv6Ipv4NotLast", "tcp://[1.2.3.4::1]:23", "holds '.'"},
        BadRow{"Ipv6BadIpv4", "tcp://[::ffff:1.2.3.999]:23", "ends in an IPv4 address that"},
        BadRow{"Ipv6Zone", "tcp://[fe80::1%25eth0]:23", "zone id"},
        BadRow{"Ipv6RawZone", "tcp://[fe80::1%eth0]:23", "zone id"}));

TEST(NetPortName, IsNetPortNameIsTheSchemeAloneInAnyCase) {
    // Meant as network names, malformed or not: these go to "bad input".
    for (const char* name : {"tcp://", "TcP://x", "rfc2217://", "RFC2217://[", "tcp://host"})
        EXPECT_TRUE(IsNetPortName(name)) << name;
    // Serial names and other texts go on to the serial open.
    for (const char* name : {"", "COM1", "/dev/ttyUSB0", "tcp:/x:1", "tcp//x:1", "rfc2217:x",
                             " tcp://x:1", "ttcp://x:1", "tcp", "rfc2217"})
        EXPECT_FALSE(IsNetPortName(name)) << name;
}

TEST(NetPortName, ReasonStaysShortForAHugeName) {
    // A megabyte of control characters: the reason quotes a part of it.
    for (const std::string& name :
         {"tcp://" + std::string(1 << 20, '\x01') + ":1", "tcp://h:" + std::string(1 << 20, '7'),
          "tcp://h:1/" + std::string(1 << 20, 'x'), "tcp://[" + std::string(1 << 20, 'a') + "]:1",
          "tcp://1.2.3." + std::string(1 << 20, '0') + ":1"}) {
        const TNetPortNameResult result = ParseNetPortName(name);
        EXPECT_FALSE(result.Name);
        EXPECT_LT(result.Error.size(), 2000u) << result.Error.substr(0, 200);
        EXPECT_NE(result.Error.find("..."), std::string::npos) << result.Error.substr(0, 200);
    }
}

TEST(NetPortName, FormatWritesTheSchemeInLowerCaseAndIpv6InBrackets) {
    EXPECT_EQ(FormatNetPortName(*ParseNetPortName("RFC2217://[::1]:2217").Name),
              "rfc2217://[::1]:2217");
    EXPECT_EQ(FormatNetPortName(*ParseNetPortName("Tcp://Host:00023").Name), "tcp://Host:23");
}

} // namespace
