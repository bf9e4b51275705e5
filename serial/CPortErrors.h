#pragma once
// EComPort, the one exception class of the serial port component, and its
// table of error messages.
//
// Every failure the component reports is an EComPort carrying the component's
// error code (1 to 23, see ComErrorMessage) and the operating-system error code
// of the failed call (GetLastError right after it), or -1 when the failure is
// not an operating-system one. The message is the table text alone; neither
// code is added to it.
//
// The table is constant and may be read from any thread.

#include "host/Exceptions.h"

#include <cstdint>
#include <string_view>

namespace cport {

// Component error codes.
inline constexpr int CError_OpenFailed = 1;
inline constexpr int CError_WriteFailed = 2;
inline constexpr int CError_ReadFailed = 3;
inline constexpr int CError_InvalidAsync = 4;
inline constexpr int CError_PurgeFailed = 5;
inline constexpr int CError_AsyncCheck = 6;
inline constexpr int CError_SetStateFailed = 7;
inline constexpr int CError_TimeoutsFailed = 8;
inline constexpr int CError_SetupComFailed = 9;
inline constexpr int CError_ClearComFailed = 10;
inline constexpr int CError_ModemStatFailed = 11;
inline constexpr int CError_EscapeComFailed = 12;
inline constexpr int CError_TransmitFailed = 13;
inline constexpr int CError_ConnChangeProp = 14;
inline constexpr int CError_EnumPortsFailed = 15;
inline constexpr int CError_StoreFailed = 16;
inline constexpr int CError_LoadFailed = 17;
inline constexpr int CError_RegFailed = 18;
inline constexpr int CError_LedStateFailed = 19;
inline constexpr int CError_ThreadCreated = 20;
inline constexpr int CError_WaitFailed = 21;
inline constexpr int CError_HasLink = 22;
inline constexpr int CError_RegError = 23;

inline constexpr int ComErrorFirst = 1;
inline constexpr int ComErrorLast = 23;

// The table text for a component error code. A code outside 1 to 23 (never
// raised by the component itself) gives "Unknown com port error <code>".
std::string ComErrorMessage(int errorCode);

class EComPort : public host::Exception {
public:
    // Create: with the operating-system code of the failed call.
    EComPort(int errorCode, std::int32_t osErrorCode);

    static EComPort Create(int errorCode, std::int32_t osErrorCode) {
        return EComPort(errorCode, osErrorCode);
    }
    // For failures that are not operating-system failures: OsErrorCode is -1.
    static EComPort CreateWithoutOsCode(int errorCode) { return EComPort(errorCode, -1); }

    std::int32_t OsErrorCode() const { return FOsErrorCode; }
    std::int32_t ErrorCode() const { return FErrorCode; }

private:
    std::int32_t FOsErrorCode;
    std::int32_t FErrorCode;
};

} // namespace cport
