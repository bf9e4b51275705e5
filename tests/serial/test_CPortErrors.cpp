#include "serial/CPortErrors.h"

#include <gtest/gtest.h>

#include <string>

using cport::EComPort;

TEST(CPortErrors, EveryCodeCarriesExactlyItsTableText) {
    // Each code with its text, so that a text missing, swapped or moved to
    // another code fails here.
    struct Row {
        int code;
        const char* text;
    } rows[] = {
        {1, "Unable to open com port"},
        {2, "WriteFile function failed"},
        {3, "ReadFile function failed"},
        {4, "Invalid Async parameter"},
        {5, "PurgeComm function failed"},
        {6, "Unable to get async status"},
        {7, "SetCommState function failed"},
        {8, "SetCommTimeouts failed"},
        {9, "SetupComm function failed"},
        {10, "ClearCommError function failed"},
        {11, "GetCommModemStatus function failed"},
        {12, "EscapeCommFunction function failed"},
        {13, "TransmitCommChar function failed"},
        {14, "Cannot set property while connected"},
        {15, "EnumPorts function failed"},
        {16, "Failed to store settings"},
        {17, "Failed to load settings"},
        {18, "Link (un)registration failed"},
        {19, "Cannot change led state if ComPort is selected"},
        {20, "Cannot wait for event if event thread is created"},
        {21, "WaitForEvent method failed"},
        {22, "A component is linked to OnRxBuf event"},
        {23, "Registry error"},
    };
    static_assert(sizeof(rows) / sizeof(rows[0]) == 23);
    for (const Row& row : rows) {
        const std::string text = row.text;
        EComPort withOs = EComPort::Create(row.code, 1234);
        EXPECT_EQ(withOs.Message(), text) << row.code;
        EXPECT_EQ(std::string(withOs.what()), text) << row.code;
        EXPECT_EQ(withOs.ErrorCode(), row.code);
        EXPECT_EQ(withOs.OsErrorCode(), 1234);
        EComPort without = EComPort::CreateWithoutOsCode(row.code);
        EXPECT_EQ(without.Message(), text) << row.code;
        EXPECT_EQ(without.ErrorCode(), row.code);
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
