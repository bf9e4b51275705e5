// Unit CPort: the life of the port component, its driver-facing operations,
// its setters and its stored description. The settings objects are in
// CPortSettings.cpp, the events in CPortEvents.cpp, reading and writing and
// the rule for a device gone in CPortTransfers.cpp.

#include "serial/CPort.h"

#include "host/ExceptionDisplay.h"
#include "host/MessageLoop.h"
#include "serial/CPortErrors.h"
#include "serial/CPortThread.h"

#include <algorithm>
#include <array>
#include <climits>
#include <exception>
#include <string_view>

namespace cport {

// ---- TCustomComPort: construction, destruction, loading -------------------------------

std::atomic<bool> TxEmptyFlag{false};

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
    CloseForDestruction();
    FBuffer.reset();
    FFlowControl.reset();
    FTimeouts.reset();
    FParity.reset();
}

void TCustomComPort::CloseForDestruction() noexcept {
    // A destructor cannot let an exception through (a close notification's
    // handler may raise); it goes to the application's display instead.
    try {
        Close();
    } catch (...) {
        host::ShowException(std::current_exception());
    }
    // No delivery goes on with this object, however Close ended. A handler
    // that raised stopped Close half-way: the event thread must not outlive
    // the port it uses, nor the handle stay open.
    DropDeliveries();
    if (FEventThreadRunning)
        StopEventThread();
    if (FHandle != comm::INVALID_HANDLE_VALUE) {
        comm::Api().CloseHandle(FHandle);
        FHandle = comm::INVALID_HANDLE_VALUE;
    }
    FConnected = false;
}

TComPort::~TComPort() {
    // Closed here, while the object is still a TComPort: the event thread
    // calls the firing operations, and must be gone before the base
    // destructor changes the object's type under it.
    CloseForDestruction();
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
    // An open under way (a network port connecting while the GUI thread
    // processes its messages) is that open: a second would connect again and
    // lose one of the two handles.
    if (FConnected || FOpening || Designing())
        return;
    HandleBeforeOpen();
    FOpening = true;
    try {
        OpenHandle();
    } catch (...) {
        FOpening = false;
        throw;
    }
    FOpening = false;
    if (FHandle == comm::INVALID_HANDLE_VALUE)
        return; // not an error: the caller sees Connected false
    FConnected = true;
    FEventsDropped = false;
    FSuspicion = 0;
    FGivenUp = 0;
    try {
        ApplyAllSettings();
    } catch (...) {
        ReleaseHandle();
        FHandle = comm::INVALID_HANDLE_VALUE;
        FConnected = false;
        throw;
    }
    if (FEvents.Empty()) {
        FEventThreadRunning = false;
    } else {
        // The window exists before the thread can send to it.
        if (FSyncMethod == smWindowSync)
            FSyncWindow = std::make_unique<TSyncWindow>(*this);
        FEventThread = std::make_unique<TComThread>(*this);
        FEventThreadRunning = true;
    }
    HandleAfterOpen();
}

void TCustomComPort::Close() {
    if (!FConnected || Designing())
        return;
    // Nothing more of a delivery that closes its port is processed, from the
    // moment it asks.
    DropDeliveries();
    // Called again from a notification or a delivery that this Close runs or
    // serves: the close under way completes it.
    if (FClosing)
        return;
    FClosing = true;
    struct TEndOfClose {
        TCustomComPort& Port;
        ~TEndOfClose() {
            Port.FClosing = false;
            if (Port.FConnected) // a notification raised: the port stays open
                Port.FEventsDropped = false;
        }
    } endOfClose{*this};
    HandleBeforeClose();
    AbortTransfers();
    if (FEventThreadRunning)
        StopEventThread();
    ReleaseHandle();
    FConnected = false;
    HandleAfterClose();
    FHandle = comm::INVALID_HANDLE_VALUE;
}

void TCustomComPort::StopEventThread() {
    if (FEventThread->InsideDelivery()) {
        // The thread waits for the delivery that runs this close: waiting
        // here for it would never end. It is stopped and hands the port
        // back at once; it ends as soon as that delivery has returned, and
        // is joined then.
        FEventThread->StopFromItsDelivery();
        AdoptStoppedThread(std::move(FEventThread));
    } else {
        FEventThread.reset(); // stops the thread and waits for its body to end
    }
    FEventThreadRunning = false;
    // Only after the thread can no longer send to it (a thread closed from
    // inside a window delivery has already been released by its reply).
    FSyncWindow.reset();
}

bool TCustomComPort::PortExists(const std::string& portName) {
    if (FHandle == comm::INVALID_HANDLE_VALUE)
        FHandle = detail::CreatePortFile(portName);
    if (FHandle == comm::INVALID_HANDLE_VALUE)
        return false;
    FConnected = true;
    Close();
    if (FConnected) {
        // Close does nothing while designing: the probe handle is still ours.
        ReleaseHandle();
        FConnected = false;
    }
    FHandle = comm::INVALID_HANDLE_VALUE;
    return true;
}

namespace {

// Trims what the framework's Trim trims: blanks and control characters.
std::string Trimmed(const std::string& s) {
    auto kept = [](char c) { return static_cast<unsigned char>(c) > ' '; };
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && !kept(s[first]))
        ++first;
    while (last > first && !kept(s[last - 1]))
        --last;
    return s.substr(first, last - first);
}

// The leading decimal number of s (leading blanks skipped) and the 1-based
// position of the first character that cannot continue it, 0 when the whole
// of s was read. A value beyond the 32-bit range stays at its largest value.
std::int32_t LeadingNumber(const std::string& s, std::size_t& stop) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    std::int64_t value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        value = std::min<std::int64_t>(value * 10 + (s[i] - '0'), INT32_MAX);
        ++i;
    }
    stop = i < s.size() ? i + 1 : 0;
    return static_cast<std::int32_t>(value);
}

// Drops the first n characters (all of them when fewer), then trims.
std::string DropAndTrim(const std::string& s, std::size_t n) {
    return Trimmed(n < s.size() ? s.substr(n) : std::string());
}

} // namespace

bool TCustomComPort::OpenWithSettings(const std::string& settings) {
    std::string s = Trimmed(settings);
    std::size_t stop = 0;
    const std::int32_t baud = LeadingNumber(s, stop);
    // A number that ran to the end leaves nothing: stop 0 drops the whole text.
    s = DropAndTrim(s, stop == 0 ? s.size() : stop);
    const char parityLetter = s.empty() ? '\0' : s[0];
    s = DropAndTrim(s, 2);
    const std::int32_t dataBits = LeadingNumber(s, stop);
    s = DropAndTrim(s, stop == 0 ? s.size() : stop);
    const std::int32_t stopBits = LeadingNumber(s, stop);

    FBaudRate = baud;
    FDataBits = dataBits == 5 ? dbFive : dataBits == 6 ? dbSix : dataBits == 7 ? dbSeven : dbEight;
    FStopBits = stopBits == 1 ? sbOneStopBit : stopBits == 2 ? sbTwoStopBits : sbOne5StopBits;
    TParityBits parity = prNone;
    switch (parityLetter) {
    case 'O':
    case 'o':
        parity = prOdd;
        break;
    case 'E':
    case 'e':
        parity = prEven;
        break;
    case 'M':
    case 'm':
        parity = prMark;
        break;
    case 'S':
    case 's':
        parity = prSpace;
        break;
    default:
        break;
    }
    FParity->SetBits(parity);
    if (FHandle != comm::INVALID_HANDLE_VALUE)
        Close();
    Open();
    return FHandle != comm::INVALID_HANDLE_VALUE;
}

TLineSignals TCustomComPort::ModemSignals() {
    comm::ICommApi& api = comm::Api();
    std::uint32_t status = 0;
    if (!api.GetCommModemStatus(FHandle, &status)) {
        const std::uint32_t error = api.GetLastError();
        // A driver without modem lines (Wine on a pseudo-terminal, some
        // virtual COM port drivers) is a port all the same: its lines read as
        // off, as a pseudo-terminal's do on Linux.
        if (error != comm::ERROR_NOT_SUPPORTED) {
            NoteFailure(error, FOwnAborts);
            throw EComPort::Create(CError_ModemStatFailed, static_cast<std::int32_t>(error));
        }
        status = 0;
    }
    TLineSignals signals;
    if ((status & comm::MS_CTS_ON) != 0)
        signals.Include(lsCTS);
    if ((status & comm::MS_DSR_ON) != 0)
        signals.Include(lsDSR);
    if ((status & comm::MS_RING_ON) != 0)
        signals.Include(lsRing);
    if ((status & comm::MS_RLSD_ON) != 0)
        signals.Include(lsRLSD);
    return signals;
}

TComErrors TCustomComPort::ReadLineErrors() {
    comm::ICommApi& api = comm::Api();
    std::uint32_t flags = 0;
    comm::COMSTAT stat;
    if (!api.ClearCommError(FHandle, &flags, &stat)) {
        const std::uint32_t error = api.GetLastError();
        NoteFailure(error, FOwnAborts);
        throw EComPort::Create(CError_ClearComFailed, static_cast<std::int32_t>(error));
    }
    TComErrors errors;
    if ((flags & comm::CE_FRAME) != 0)
        errors.Include(ceFrame);
    if ((flags & comm::CE_RXPARITY) != 0 && FParity->Check())
        errors.Include(ceRxParity);
    if ((flags & comm::CE_OVERRUN) != 0)
        errors.Include(ceOverrun);
    if ((flags & comm::CE_BREAK) != 0)
        errors.Include(ceBreak);
    if ((flags & comm::CE_IOE) != 0)
        errors.Include(ceIO);
    if ((flags & comm::CE_MODE) != 0)
        errors.Include(ceMode);
    if ((flags & comm::CE_RXOVER) != 0)
        errors.Include(ceRxOver);
    if ((flags & comm::CE_TXFULL) != 0)
        errors.Include(ceTxFull);
    return errors;
}

// ---- Driver-facing operations ---------------------------------------------------------

void TCustomComPort::OpenHandle() {
    // A copy: a handler run while a network port connects may set another Port.
    const std::string port = FPort;
    FHandle = detail::CreatePortFile(port);
}

void TCustomComPort::ReleaseHandle() {
    if (FHandle != comm::INVALID_HANDLE_VALUE)
        comm::Api().CloseHandle(FHandle);
}

void TCustomComPort::ApplyAllSettings() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::ApplyLineSettings() {
    if (!CanApply())
        return;
    comm::DCB dcb;
    dcb.DCBlength = sizeof(comm::DCB);
    dcb.BaudRate = static_cast<std::uint32_t>(FBaudRate);
    const TComFlowControl& flow = *FFlowControl;
    const bool replace = FParity->Check() && FParity->Replace();
    std::uint32_t flags = comm::DCB_fBinary;
    if (FParity->Check())
        flags |= comm::DCB_fParity;
    if (flow.OutCTSFlow())
        flags |= comm::DCB_fOutxCtsFlow;
    if (flow.OutDSRFlow())
        flags |= comm::DCB_fOutxDsrFlow;
    flags |= static_cast<std::uint32_t>(flow.ControlDTR()) << comm::DCB_fDtrControlShift;
    if (flow.DSRSensitivity())
        flags |= comm::DCB_fDsrSensitivity;
    if (flow.TxContinueOnXoff())
        flags |= comm::DCB_fTXContinueOnXoff;
    if (flow.XonXoffOut())
        flags |= comm::DCB_fOutX;
    if (flow.XonXoffIn())
        flags |= comm::DCB_fInX;
    if (replace)
        flags |= comm::DCB_fErrorChar;
    if (FDiscardNull)
        flags |= comm::DCB_fNull;
    flags |= static_cast<std::uint32_t>(flow.ControlRTS()) << comm::DCB_fRtsControlShift;
    dcb.Flags = flags;
    const auto limit = static_cast<std::uint16_t>(FBuffer->InputSize() / 4);
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.ByteSize = static_cast<std::uint8_t>(5 + FDataBits);
    dcb.Parity = static_cast<std::uint8_t>(FParity->Bits());
    dcb.StopBits = static_cast<std::uint8_t>(FStopBits);
    dcb.XonChar = flow.XonChar();
    dcb.XoffChar = flow.XoffChar();
    dcb.ErrorChar = replace ? FParity->ReplaceChar() : '\0';
    dcb.EvtChar = FEventChar;
    // A driver that refuses keeps its previous line settings; nothing is reported.
    comm::Api().SetCommState(FHandle, &dcb);
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!CanApply())
        return;
    comm::COMMTIMEOUTS t;
    t.ReadIntervalTimeout = static_cast<std::uint32_t>(FTimeouts->ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(FTimeouts->ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts->ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<std::uint32_t>(FTimeouts->WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts->WriteTotalConstant());
    comm::ICommApi& api = comm::Api();
    if (!api.SetCommTimeouts(FHandle, &t))
        throw EComPort::Create(CError_TimeoutsFailed,
                               static_cast<std::int32_t>(api.GetLastError()));
}

void TCustomComPort::ApplyBufferSizes() {
    if (!CanApply())
        return;
    comm::ICommApi& api = comm::Api();
    if (!api.SetupComm(FHandle, static_cast<std::uint32_t>(FBuffer->InputSize()),
                       static_cast<std::uint32_t>(FBuffer->OutputSize())))
        throw EComPort::Create(CError_SetupComFailed,
                               static_cast<std::int32_t>(api.GetLastError()));
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
