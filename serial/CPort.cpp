// Unit CPort: the settings objects and the life of the port component.

#include "serial/CPort.h"

#include "host/ExceptionDisplay.h"
#include "serial/CPortErrors.h"

#include <array>
#include <exception>
#include <string_view>

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

// ---- TCustomComPort: construction, destruction, loading -------------------------------

TCustomComPort::TCustomComPort(host::TComponent* owner) : host::TComponent(owner) {
    FParity = std::make_unique<TComParity>();
    FParity->FComPort = this;
    FFlowControl = std::make_unique<TComFlowControl>();
    FFlowControl->FComPort = this;
    FTimeouts = std::make_unique<TComTimeouts>();
    FTimeouts->FComPort = this;
    FBuffer = std::make_unique<TComBuffer>();
    FBuffer->FComPort = this;
}

TCustomComPort::~TCustomComPort() {
    // A destructor cannot let an exception through (a close notification's
    // handler may raise); it goes to the application's display instead.
    try {
        Close();
    } catch (...) {
        host::ShowException(std::current_exception());
    }
    FBuffer.reset();
    FFlowControl.reset();
    FTimeouts.reset();
    FParity.reset();
}

void TCustomComPort::Loaded() {
    host::TComponent::Loaded(); // ends the loading state, so Open applies the settings
    if (FConnected && !Designing()) {
        FConnected = false;
        try {
            Open();
        } catch (...) {
            host::ShowException(std::current_exception());
        }
    }
}

// ---- Open and close -------------------------------------------------------------------

void TCustomComPort::Open() {
    if (FConnected || Designing())
        return;
    HandleBeforeOpen();
    OpenHandle();
    if (FHandle == comm::INVALID_HANDLE_VALUE)
        return; // not an error: the caller sees Connected false
    FConnected = true;
    try {
        ApplyAllSettings();
    } catch (...) {
        ReleaseHandle();
        FHandle = comm::INVALID_HANDLE_VALUE;
        FConnected = false;
        throw;
    }
    // The event thread (and, for smWindowSync, SyncWindow) is started here by the
    // event-thread work; until then an open port runs without one.
    FEventThreadRunning = false;
    HandleAfterOpen();
}

void TCustomComPort::Close() {
    if (!FConnected || Designing())
        return;
    HandleBeforeClose();
    // Aborting pending transfers and ending the event thread come here, before the
    // handle is released, with the transfer and event-thread work.
    ReleaseHandle();
    FConnected = false;
    HandleAfterClose();
    FHandle = comm::INVALID_HANDLE_VALUE;
}

// ---- Driver-facing operations ---------------------------------------------------------
// Their calls to the communications interface are built with the port's life on
// the OS; until then OpenHandle leaves Handle invalid (every Open ends closed),
// and the apply operations stop after their guard.

void TCustomComPort::OpenHandle() {}

void TCustomComPort::ReleaseHandle() {}

void TCustomComPort::ApplyAllSettings() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::ApplyLineSettings() {
    if (!CanApply())
        return;
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!CanApply())
        return;
}

void TCustomComPort::ApplyBufferSizes() {
    if (!CanApply())
        return;
}

// ---- Notifications --------------------------------------------------------------------
// The line-signal reports (CTS, DSR, RLSD after open and before close) come with
// the event processing.

void TCustomComPort::HandleBeforeOpen() {
    FireBeforeOpen();
}
void TCustomComPort::HandleAfterOpen() {
    FireAfterOpen();
}
void TCustomComPort::HandleBeforeClose() {
    FireBeforeClose();
}
void TCustomComPort::HandleAfterClose() {
    FireAfterClose();
}

// ---- Firing operations ----------------------------------------------------------------

void TCustomComPort::FireAfterClose() {
    if (OnAfterClose)
        OnAfterClose(this);
}
void TCustomComPort::FireAfterOpen() {
    if (OnAfterOpen)
        OnAfterOpen(this);
}
void TCustomComPort::FireBeforeClose() {
    if (OnBeforeClose)
        OnBeforeClose(this);
}
void TCustomComPort::FireBeforeOpen() {
    if (OnBeforeOpen)
        OnBeforeOpen(this);
}
void TCustomComPort::FireRxChar(std::int32_t count) {
    if (OnRxChar)
        OnRxChar(this, count);
}
void TCustomComPort::FireRxBuf(const void* buffer, std::int32_t count) {
    if (OnRxBuf)
        OnRxBuf(this, buffer, count);
}
void TCustomComPort::FireTxEmpty() {
    if (OnTxEmpty)
        OnTxEmpty(this);
}
void TCustomComPort::FireBreak() {
    if (OnBreak)
        OnBreak(this);
}
void TCustomComPort::FireRing() {
    if (OnRing)
        OnRing(this);
}
void TCustomComPort::FireRxFlag() {
    if (OnRxFlag)
        OnRxFlag(this);
}
void TCustomComPort::FireCTSChange(bool onOff) {
    if (OnCTSChange)
        OnCTSChange(this, onOff);
}
void TCustomComPort::FireDSRChange(bool onOff) {
    if (OnDSRChange)
        OnDSRChange(this, onOff);
}
void TCustomComPort::FireError(TComErrors errors) {
    if (OnError)
        OnError(this, errors);
}
void TCustomComPort::FireRLSDChange(bool onOff) {
    if (OnRLSDChange)
        OnRLSDChange(this, onOff);
}
void TCustomComPort::FireRx80Full() {
    if (OnRx80Full)
        OnRx80Full(this);
}

// ---- Setters ----------------------------------------------------------------------------

void TCustomComPort::SetConnected(bool value) {
    if (Loading() || Designing()) {
        FConnected = value; // Loaded opens the port once the description is read
        return;
    }
    if (value == FConnected)
        return;
    if (value)
        Open();
    else
        Close();
}

void TCustomComPort::SetBaudRate(std::int32_t value) {
    if (value == FBaudRate)
        return;
    FBaudRate = value;
    ApplyLineSettings();
}

void TCustomComPort::SetPort(const std::string& value) {
    if (value == FPort) // case-sensitive: "com1" differs from "COM1"
        return;
    FPort = value;
    if (FConnected && !Loading() && !Designing()) {
        Close();
        Open();
    }
}

void TCustomComPort::SetParity(const TComParity& value) {
    FParity->Assign(value);
    ApplyLineSettings();
}

void TCustomComPort::SetStopBits(TStopBits value) {
    if (value == FStopBits)
        return;
    FStopBits = value;
    ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits value) {
    if (value == FDataBits)
        return;
    FDataBits = value;
    ApplyLineSettings();
}

void TCustomComPort::SetDiscardNull(bool value) {
    if (value == FDiscardNull)
        return;
    FDiscardNull = value;
    ApplyLineSettings();
}

void TCustomComPort::SetEventChar(char value) {
    if (value == FEventChar)
        return;
    FEventChar = value;
    ApplyLineSettings();
}

void TCustomComPort::SetBuffer(const TComBuffer& value) {
    FBuffer->Assign(value);
    ApplyBufferSizes();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
    FFlowControl->Assign(value);
    ApplyLineSettings();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
    FTimeouts->Assign(value);
    ApplyTimeoutSettings();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    if (value == FSyncMethod)
        return;
    // The event thread reads SyncMethod for every batch: it may not change under it.
    if (FConnected && !Loading() && !Designing())
        throw EComPort::CreateWithoutOsCode(CError_ConnChangeProp);
    FSyncMethod = value;
}

// ---- Stored description -----------------------------------------------------------------

namespace {

constexpr std::array<std::string_view, 3> kStopBitsNames = {"sbOneStopBit", "sbOne5StopBits",
                                                            "sbTwoStopBits"};
constexpr std::array<std::string_view, 4> kDataBitsNames = {"dbFive", "dbSix", "dbSeven",
                                                            "dbEight"};
constexpr std::array<std::string_view, 5> kParityNames = {"prNone", "prOdd", "prEven", "prMark",
                                                          "prSpace"};
constexpr std::array<std::string_view, 3> kDTRNames = {"dtrDisable", "dtrEnable", "dtrHandshake"};
constexpr std::array<std::string_view, 4> kRTSNames = {"rtsDisable", "rtsEnable", "rtsHandshake",
                                                       "rtsToggle"};
constexpr std::array<std::string_view, 3> kSyncNames = {"smThreadSync", "smWindowSync", "smNone"};
constexpr std::array<std::string_view, 10> kEventNames = {
    "evRxChar", "evTxEmpty", "evRxFlag", "evRing", "evBreak",
    "evCTS",    "evDSR",     "evError",  "evRLSD", "evRx80Full"};

// An enumerator's name; a value outside the type is written as its ordinal.
template <std::size_t N>
std::string EnumName(const std::array<std::string_view, N>& names, unsigned ordinal) {
    return ordinal < N ? std::string(names[ordinal]) : std::to_string(ordinal);
}

std::string BoolText(bool b) {
    return b ? "True" : "False";
}

// A quoted literal: printable runs between quotes (a quote doubled), other
// bytes as #<code>; the empty text is ''.
std::string TextLiteral(std::string_view text) {
    if (text.empty())
        return "''";
    std::string out;
    bool quoted = false;
    for (char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 32 && code < 127) {
            if (!quoted)
                out += '\'';
            quoted = true;
            out += c;
            if (c == '\'')
                out += '\'';
        } else {
            if (quoted)
                out += '\'';
            quoted = false;
            out += '#' + std::to_string(code);
        }
    }
    if (quoted)
        out += '\'';
    return out;
}

std::string EventsText(TComEvents events) {
    std::string out = "[";
    for (unsigned i = 0; i < kEventNames.size(); ++i) {
        if (!events.Contains(static_cast<TComEvent>(i)))
            continue;
        if (out.size() > 1)
            out += ", ";
        out += kEventNames[i];
    }
    return out + "]";
}

} // namespace

std::vector<TStoredProperty> StoredProperties(const TCustomComPort& port) {
    std::vector<TStoredProperty> out;
    auto always = [&out](const char* name, std::string value) {
        out.push_back({name, std::move(value)});
    };
    auto unlessDefault = [&out](const char* name, bool isDefault, std::string value) {
        if (!isDefault)
            out.push_back({name, std::move(value)});
    };
    auto num = [](std::int32_t v) { return std::to_string(v); };

    unlessDefault("Connected", !port.Connected(), BoolText(port.Connected()));
    always("BaudRate", num(port.BaudRate()));
    always("Port", TextLiteral(port.Port()));
    const TComParity& parity = port.Parity();
    always("Parity.Bits", EnumName(kParityNames, parity.Bits()));
    unlessDefault("Parity.Check", !parity.Check(), BoolText(parity.Check()));
    unlessDefault("Parity.Replace", !parity.Replace(), BoolText(parity.Replace()));
    const char replaceChar = parity.ReplaceChar();
    unlessDefault("Parity.ReplaceChar", replaceChar == 0,
                  TextLiteral(std::string_view(&replaceChar, 1)));
    always("StopBits", EnumName(kStopBitsNames, port.StopBits()));
    always("DataBits", EnumName(kDataBitsNames, port.DataBits()));
    unlessDefault("DiscardNull", !port.DiscardNull(), BoolText(port.DiscardNull()));
    const char eventChar = port.EventChar();
    unlessDefault("EventChar", eventChar == 0, TextLiteral(std::string_view(&eventChar, 1)));
    always("Events", EventsText(port.Events()));
    const TComBuffer& buffer = port.Buffer();
    unlessDefault("Buffer.InputSize", buffer.InputSize() == 1024, num(buffer.InputSize()));
    unlessDefault("Buffer.OutputSize", buffer.OutputSize() == 1024, num(buffer.OutputSize()));
    const TComFlowControl& flow = port.FlowControl();
    always("FlowControl.OutCTSFlow", BoolText(flow.OutCTSFlow()));
    always("FlowControl.OutDSRFlow", BoolText(flow.OutDSRFlow()));
    always("FlowControl.ControlDTR", EnumName(kDTRNames, flow.ControlDTR()));
    always("FlowControl.ControlRTS", EnumName(kRTSNames, flow.ControlRTS()));
    always("FlowControl.XonXoffOut", BoolText(flow.XonXoffOut()));
    always("FlowControl.XonXoffIn", BoolText(flow.XonXoffIn()));
    unlessDefault("FlowControl.DSRSensitivity", !flow.DSRSensitivity(),
                  BoolText(flow.DSRSensitivity()));
    unlessDefault("FlowControl.TxContinueOnXoff", !flow.TxContinueOnXoff(),
                  BoolText(flow.TxContinueOnXoff()));
    const char xon = flow.XonChar();
    const char xoff = flow.XoffChar();
    unlessDefault("FlowControl.XonChar", xon == 17, TextLiteral(std::string_view(&xon, 1)));
    unlessDefault("FlowControl.XoffChar", xoff == 19, TextLiteral(std::string_view(&xoff, 1)));
    const TComTimeouts& t = port.Timeouts();
    unlessDefault("Timeouts.ReadInterval", t.ReadInterval() == -1, num(t.ReadInterval()));
    unlessDefault("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier() == 0,
                  num(t.ReadTotalMultiplier()));
    unlessDefault("Timeouts.ReadTotalConstant", t.ReadTotalConstant() == 0,
                  num(t.ReadTotalConstant()));
    unlessDefault("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier() == 100,
                  num(t.WriteTotalMultiplier()));
    unlessDefault("Timeouts.WriteTotalConstant", t.WriteTotalConstant() == 1000,
                  num(t.WriteTotalConstant()));
    unlessDefault("SyncMethod", port.SyncMethod() == smThreadSync,
                  EnumName(kSyncNames, port.SyncMethod()));
    return out;
}

} // namespace cport
