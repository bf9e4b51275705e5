#pragma once
// Text forms of the serial port component's settings, as its persistence stores
// them. Texts are 8-bit strings with a length (they may hold zero bytes).
//
// To text never fails. From text is forgiving: an enumeration text matching no
// row gives a fixed fallback (sbOneStopBit, dbEight, prNone, fcCustom,
// dtrDisable, rtsDisable), an unreadable character text gives code 0, and any
// flag text other than "YES" in some letter case gives false. Comparisons
// ignore ASCII letter case only (bytes above 127 are compared as they are) and
// nothing is trimmed. Only TextToBaudRate raises (host::EConvertError).
//
// Each function to text followed by its partner gives back the starting value,
// for every enumerator, character code, flag and 32-bit integer.
//
// Stateless: every function may be called from any thread.

#include "serial/CPort.h"

#include <cstdint>
#include <string>

namespace cport {

// Signed decimal ("9600", "-1").
std::string BaudRateToText(std::int32_t baudRate);
// The runtime's integer conversion (leading blanks, sign, decimal or "$"/"x"/"0x"
// hexadecimal); raises host::EConvertError "'<text>' is not a valid integer value".
std::int32_t TextToBaudRate(const std::string& text);

// "1", "1.5", "2".
std::string StopBitsToText(TStopBits stopBits);
TStopBits TextToStopBits(const std::string& text);
// "5" to "8"; unmatched text gives dbEight.
std::string DataBitsToText(TDataBits dataBits);
TDataBits TextToDataBits(const std::string& text);
// "None", "Odd", "Even", "Mark", "Space".
std::string ParityToText(TParityBits parity);
TParityBits TextToParity(const std::string& text);
// "Hardware", "Software", "None", "Custom"; unmatched text gives fcCustom.
std::string FlowControlToText(TFlowControl flowControl);
TFlowControl TextToFlowControl(const std::string& text);
// "Disable", "Enable", "Handshake".
std::string DTRControlToText(TDTRFlowControl control);
TDTRFlowControl TextToDTRControl(const std::string& text);
// "Disable", "Enable", "Handshake", "Toggle".
std::string RTSControlToText(TRTSFlowControl control);
TRTSFlowControl TextToRTSControl(const std::string& text);

// Codes 33 to 127 as the character itself; 0 to 32 and 128 to 255 as "#<code>".
std::string CharToText(char c);
// Empty: 0. Not starting with "#": the first character. "#" alone: '#'.
// Otherwise the integer after "#" (as TextToBaudRate reads it), low eight bits;
// 0 when it is not an integer.
char TextToChar(const std::string& text);
// "Yes" / "No".
std::string FlagToText(bool flag);
bool TextToFlag(const std::string& text);

} // namespace cport
