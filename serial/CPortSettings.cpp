// Unit CPort: the settings objects of the port component (time-outs, flow
// control, parity, buffer).

#include "serial/CPort.h"

namespace cport {

// ---- TComTimeouts -----------------------------------------------------------------

void TComTimeouts::Set(std::int32_t& field, std::int32_t value) {
    if (field == value)
        return;
    field = value;
    if (FComPort != nullptr)
        FComPort->ApplyTimeoutSettings();
}

void TComTimeouts::SetReadInterval(std::int32_t value) {
    Set(FReadInterval, value);
}
void TComTimeouts::SetReadTotalMultiplier(std::int32_t value) {
    Set(FReadTotalMultiplier, value);
}
void TComTimeouts::SetReadTotalConstant(std::int32_t value) {
    Set(FReadTotalConstant, value);
}
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t value) {
    Set(FWriteTotalMultiplier, value);
}
void TComTimeouts::SetWriteTotalConstant(std::int32_t value) {
    Set(FWriteTotalConstant, value);
}

void TComTimeouts::AssignTo(host::TPersistent& destination) const {
    auto* d = dynamic_cast<TComTimeouts*>(&destination);
    if (d == nullptr)
        return host::TPersistent::AssignTo(destination);
    d->FReadInterval = FReadInterval;
    d->FReadTotalMultiplier = FReadTotalMultiplier;
    d->FReadTotalConstant = FReadTotalConstant;
    d->FWriteTotalMultiplier = FWriteTotalMultiplier;
    d->FWriteTotalConstant = FWriteTotalConstant;
}

// ---- TComFlowControl --------------------------------------------------------------

template <typename T> void TComFlowControl::Set(T& field, T value) {
    if (field == value)
        return;
    field = value;
    if (FComPort != nullptr)
        FComPort->ApplyLineSettings();
}

void TComFlowControl::SetOutCTSFlow(bool value) {
    Set(FOutCTSFlow, value);
}
void TComFlowControl::SetOutDSRFlow(bool value) {
    Set(FOutDSRFlow, value);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
    Set(FControlDTR, value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
    Set(FControlRTS, value);
}
void TComFlowControl::SetXonXoffOut(bool value) {
    Set(FXonXoffOut, value);
}
void TComFlowControl::SetXonXoffIn(bool value) {
    Set(FXonXoffIn, value);
}
void TComFlowControl::SetDSRSensitivity(bool value) {
    Set(FDSRSensitivity, value);
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
    Set(FTxContinueOnXoff, value);
}
void TComFlowControl::SetXonChar(char value) {
    Set(FXonChar, value);
}
void TComFlowControl::SetXoffChar(char value) {
    Set(FXoffChar, value);
}

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut)
        return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
    // The four values go straight into the fields so that the owner applies the
    // line settings once for the preset, not once per value.
    if (value != fcCustom) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (value == fcHardware) {
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
        } else if (value == fcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    if (FComPort != nullptr)
        FComPort->ApplyLineSettings();
}

void TComFlowControl::AssignTo(host::TPersistent& destination) const {
    auto* d = dynamic_cast<TComFlowControl*>(&destination);
    if (d == nullptr)
        return host::TPersistent::AssignTo(destination);
    d->FOutCTSFlow = FOutCTSFlow;
    d->FOutDSRFlow = FOutDSRFlow;
    d->FControlDTR = FControlDTR;
    d->FControlRTS = FControlRTS;
    d->FXonXoffOut = FXonXoffOut;
    d->FXonXoffIn = FXonXoffIn;
    d->FDSRSensitivity = FDSRSensitivity;
    d->FTxContinueOnXoff = FTxContinueOnXoff;
    d->FXonChar = FXonChar;
    d->FXoffChar = FXoffChar;
}

// ---- TComParity -------------------------------------------------------------------

template <typename T> void TComParity::Set(T& field, T value) {
    if (field == value)
        return;
    field = value;
    if (FComPort != nullptr)
        FComPort->ApplyLineSettings();
}

void TComParity::SetBits(TParityBits value) {
    Set(FBits, value);
}
void TComParity::SetCheck(bool value) {
    Set(FCheck, value);
}
void TComParity::SetReplace(bool value) {
    Set(FReplace, value);
}
void TComParity::SetReplaceChar(char value) {
    Set(FReplaceChar, value);
}

void TComParity::AssignTo(host::TPersistent& destination) const {
    auto* d = dynamic_cast<TComParity*>(&destination);
    if (d == nullptr)
        return host::TPersistent::AssignTo(destination);
    d->FBits = FBits;
    d->FCheck = FCheck;
    d->FReplace = FReplace;
    d->FReplaceChar = FReplaceChar;
}

// ---- TComBuffer -------------------------------------------------------------------

void TComBuffer::Set(std::int32_t& field, std::int32_t value) {
    // The given value is compared, not the adjusted one: 1025 over a stored 1024
    // is a change (and stores 1024 again).
    if (field == value)
        return;
    field = value;
    if (value % 2 == 1) // positive odd only: -3 % 2 is -1
        field = value - 1;
    if (FComPort != nullptr)
        FComPort->ApplyBufferSizes();
}

void TComBuffer::SetInputSize(std::int32_t value) {
    Set(FInputSize, value);
}
void TComBuffer::SetOutputSize(std::int32_t value) {
    Set(FOutputSize, value);
}

void TComBuffer::AssignTo(host::TPersistent& destination) const {
    auto* d = dynamic_cast<TComBuffer*>(&destination);
    if (d == nullptr)
        return host::TPersistent::AssignTo(destination);
    d->FInputSize = FInputSize;
    d->FOutputSize = FOutputSize;
}

} // namespace cport
