// Unit CPort: the settings objects of the port component (time-outs, flow
// control, parity, buffer).

#include "serial/CPort.h"

#include <type_traits>

namespace cport {

// ---- What they share --------------------------------------------------------------

template <typename TSelf> template <typename T> void TComSettings<TSelf>::Set(T& field, T value) {
    if (field == value)
        return;
    field = value;
    Apply();
}

// The owner's apply operation for each object's group.
template <typename TSelf> void TComSettings<TSelf>::Apply() {
    if (FComPort == nullptr)
        return;
    if constexpr (std::is_same_v<TSelf, TComTimeouts>)
        FComPort->ApplyTimeoutSettings();
    else if constexpr (std::is_same_v<TSelf, TComBuffer>)
        FComPort->ApplyBufferSizes();
    else // TComFlowControl, TComParity
        FComPort->ApplyLineSettings();
}

// ---- TComTimeouts -----------------------------------------------------------------

void TComTimeouts::SetReadInterval(std::int32_t value) {
    Set(FValues.ReadInterval, value);
}
void TComTimeouts::SetReadTotalMultiplier(std::int32_t value) {
    Set(FValues.ReadTotalMultiplier, value);
}
void TComTimeouts::SetReadTotalConstant(std::int32_t value) {
    Set(FValues.ReadTotalConstant, value);
}
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t value) {
    Set(FValues.WriteTotalMultiplier, value);
}
void TComTimeouts::SetWriteTotalConstant(std::int32_t value) {
    Set(FValues.WriteTotalConstant, value);
}

// ---- TComFlowControl --------------------------------------------------------------

void TComFlowControl::SetOutCTSFlow(bool value) {
    Set(FValues.OutCTSFlow, value);
}
void TComFlowControl::SetOutDSRFlow(bool value) {
    Set(FValues.OutDSRFlow, value);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
    Set(FValues.ControlDTR, value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
    Set(FValues.ControlRTS, value);
}
void TComFlowControl::SetXonXoffOut(bool value) {
    Set(FValues.XonXoffOut, value);
}
void TComFlowControl::SetXonXoffIn(bool value) {
    Set(FValues.XonXoffIn, value);
}
void TComFlowControl::SetDSRSensitivity(bool value) {
    Set(FValues.DSRSensitivity, value);
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
    Set(FValues.TxContinueOnXoff, value);
}
void TComFlowControl::SetXonChar(char value) {
    Set(FValues.XonChar, value);
}
void TComFlowControl::SetXoffChar(char value) {
    Set(FValues.XoffChar, value);
}

TFlowControl TComFlowControl::FlowControl() const {
    const TValues& v = FValues;
    if (v.ControlRTS == rtsHandshake && v.OutCTSFlow && !v.XonXoffIn && !v.XonXoffOut)
        return fcHardware;
    if (v.ControlRTS == rtsDisable && !v.OutCTSFlow && v.XonXoffIn && v.XonXoffOut)
        return fcSoftware;
    if (v.ControlRTS == rtsDisable && !v.OutCTSFlow && !v.XonXoffIn && !v.XonXoffOut)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
    // The four values go straight into the fields so that the owner applies the
    // line settings once for the preset, not once per value.
    if (value != fcCustom) {
        FValues.ControlRTS = value == fcHardware ? rtsHandshake : rtsDisable;
        FValues.OutCTSFlow = value == fcHardware;
        FValues.XonXoffIn = value == fcSoftware;
        FValues.XonXoffOut = value == fcSoftware;
    }
    Apply();
}

// ---- TComParity -------------------------------------------------------------------

void TComParity::SetBits(TParityBits value) {
    Set(FValues.Bits, value);
}
void TComParity::SetCheck(bool value) {
    Set(FValues.Check, value);
}
void TComParity::SetReplace(bool value) {
    Set(FValues.Replace, value);
}
void TComParity::SetReplaceChar(char value) {
    Set(FValues.ReplaceChar, value);
}

// ---- TComBuffer -------------------------------------------------------------------

void TComBuffer::SetSize(std::int32_t& field, std::int32_t value) {
    // The given value is compared, not the adjusted one: 1025 over a stored 1024
    // is a change (and stores 1024 again).
    if (field == value)
        return;
    field = value;
    if (value % 2 == 1) // positive odd only: -3 % 2 is -1
        field = value - 1;
    Apply();
}

void TComBuffer::SetInputSize(std::int32_t value) {
    SetSize(FValues.InputSize, value);
}
void TComBuffer::SetOutputSize(std::int32_t value) {
    SetSize(FValues.OutputSize, value);
}

} // namespace cport
