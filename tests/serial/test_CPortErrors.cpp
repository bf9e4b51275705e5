#include "serial/CPortErrors.h"

#include <gtest/gtest.h>

#include <string>

using cport::EComPort;

TEST(CPortErrors, EveryCodeCarriesExactlyItsTableText) {
    const char* table[] = {
        "Unable to open com port",
        "WriteFile function failed",
        "ReadFile function failed",
        "Invalid Async parameter",
        "PurgeComm function failed",
        "Unable to get async status",
        "SetCommState function failed",
        "SetCommTimeouts failed",
        "SetupComm function failed",
        "ClearCommError function failed",
        "GetCommModemStatus function failed",
        "EscapeCommFunction function failed",
        "TransmitCommChar function failed",
        "Cannot set property while connected",
        "EnumPorts function failed",
        "Failed to store settings",
        "Failed to load settings",
        "Link (un)registration failed",
        "Cannot change led state if ComPort is selected",
        "Cannot wait for event if event thread is created",
        "WaitForEvent method failed",
        "A component is linked to OnRxBuf event",
        "Registry error",
    };
    static_assert(sizeof(table) / sizeof(table[0]) == 23);
    for (int code = 1; code <= 23; ++code) {
        const std::string text = table[code - 1];
        EComPort withOs = EComPort::Create(code, 1234);
        EXPECT_EQ(withOs.Message(), text) << code;
        EXPECT_EQ(std::string(withOs.what()), text) << code;
        EXPECT_EQ(withOs.ErrorCode(), code);
        EXPECT_EQ(withOs.OsErrorCode(), 1234);
        EComPort without = EComPort::CreateWithoutOsCode(code);
        EXPECT_EQ(without.Message(), text) << code;
        EXPECT_EQ(without.ErrorCode(), code);
        EXPECT_EQ(without.OsErrorCode(), -1);
    }
}

TEST(CPortErrors, RaisedAsTheFrameworkBaseException) {
    try {
        throw EComPort::Create(8, 121);
    } catch (const host::Exception& e) {
        EXPECT_EQ(e.Message(), "SetCommTimeouts failed"); // no code appended
        const auto* com = dynamic_cast<const EComPort*>(&e);
        ASSERT_NE(com, nullptr);
        EXPECT_EQ(com->ErrorCode(), 8);
        EXPECT_EQ(com->OsErrorCode(), 121);
    }
}

TEST(CPortErrors, CodeOutsideTheTableGetsAClearMessage) {
    for (int code : {0, 24, -1}) {
        EComPort e = EComPort::CreateWithoutOsCode(code);
        EXPECT_EQ(e.Message(), "Unknown com port error " + std::to_string(code));
        EXPECT_EQ(e.ErrorCode(), code);
    }
}
