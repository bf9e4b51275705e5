#pragma once
// Unit CPort: the serial port component TComPort and its settings objects.
//
// Every line setting is a property: simple ones on the port, the rest in four
// settings objects owned by the port (Parity, FlowControl, Timeouts, Buffer).
// A setting changed while the port is open is applied to the driver at once,
// by group (line settings, timeouts, buffer sizes); on a closed port it is only
// kept and takes effect at the next Open. No setting is validated: values reach
// the driver unchanged.
//
// Threading: a port and its settings objects are used by the thread that owns
// the component (the GUI thread); nothing here takes a lock. While the port is
// open, its event thread reads Handle, Events and SyncMethod; SyncMethod cannot
// change while the port is open and a change of Events waits for the next Open.
// Event handlers run where SyncMethod says (serial/CPortThread.h): on the GUI
// thread inside its message processing (smThreadSync, smWindowSync; also
// inside Write, which processes messages, and inside Close, which serves the
// thread's pending deliveries while it waits for it), or on the event thread
// (smNone). An exception from event processing goes to the application's
// exception display; events go on.
//
// Handlers that close or destroy their port, under every SyncMethod: a
// handler may close its own port (Close, SetConnected(false), a new Port,
// OpenWithSettings, PortExists) or destroy it. From that call on, nothing
// more of that delivery is processed: the events that remain of the batch
// are dropped, without a driver call and without an error, and after a new
// Port (or an Open in the same handler) only events of the new open are
// delivered. Close returns with the handle released, so the handler may
// open the same port again at once. A handler runs on a copy of itself: its
// captures outlive a port it destroys, and it may assign its event anew.
// When the event thread is blocked in that very delivery (smThreadSync,
// smNone), Close does not wait for it: the thread is stopped, ends as soon
// as the delivery has returned, and is then joined (on the GUI thread;
// without one, at the next Open or when the program ends). Handlers that
// Close runs (its notifications, and deliveries it serves while it waits for
// the event thread, which still see the port open) may call Close as well:
// the Close under way completes, once. Not allowed:
// destroying the port from a handler that runs inside a call on that same
// port (Write, Close, Open, or another of its calls that processes messages
// or notifies), since that call would go on with a destroyed object; and,
// under smNone, a handler's Close racing a call on the port from another
// thread (nothing here takes a lock).
//
// Raising: setters raise EComPort (serial/CPortErrors.h) only where noted;
// copying settings objects of different classes raises host::EConvertError.

#include "host/Component.h"
#include "host/Persistent.h"
#include "host/Set.h"
#include "serial/driver/CommApi.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {
class TRegistry;
class TIniFile;
} // namespace host

namespace cport {

// ---- Enumerations: the ordinals are fixed (texts, stored settings and the driver
// mapping depend on them) --------------------------------------------------------

enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
// The derived flow-control preset; fcNone is 2, not 0.
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : std::uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
enum TComError : std::uint8_t {
    ceFrame,
    ceRxParity,
    ceOverrun,
    ceBreak,
    ceIO,
    ceMode,
    ceRxOver,
    ceTxFull
};
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };
enum TLineSignal : std::uint8_t { lsCTS, lsDSR, lsRing, lsRLSD };
enum TStoreGroup : std::uint8_t {
    sgLine,
    sgFlowDetails,
    sgBuffer,
    sgTimeouts,
    sgParityDetails,
    sgMisc
};

// Sets: element n is bit n.
using TComEvents = host::TSet<TComEvent, std::uint16_t, 10>;
using TComErrors = host::TSet<TComError, std::uint8_t, 8>;
using TLineSignals = host::TSet<TLineSignal, std::uint8_t, 4>;
using TStoreGroups = host::TSet<TStoreGroup, std::uint8_t, 6>;

class TCustomComPort;
class TComThread;
class TSyncWindow;

// ---- Transfers ------------------------------------------------------------------

// One overlapped transfer: the OS block with its completion event (manual
// reset, created signalled) and what kind of transfer was started on it. Made
// by CreateTransfer, used for exactly one transfer, freed by DestroyTransfer.
// A transfer that WaitForTransfer gave up on (the driver kept it past its
// deadline and did not end it when cancelled) still belongs to the driver:
// DestroyTransfer keeps it, with its event and buffer, until the program ends.
enum TTransferKind : std::uint8_t { tkWrite, tkRead };
struct TComTransfer {
    comm::Overlapped Overlapped;
    TTransferKind Kind = tkWrite;
    std::uint32_t Count = 0;     // the bytes asked for
    std::uint32_t OwnAborts = 0; // the port's own aborts when the transfer started
    std::string Bytes;           // the bytes of the blocking Write, ReadString and ReadBlock
    bool Abandoned = false;      // given up while the driver still held it
};

// How long a transfer may outlast the deadline its timeouts give it before the
// port cancels it, and how long a cancelled transfer or event wait may take to
// end before the port gives up on it, in milliseconds. A driver whose device
// has gone may never end either (Wine on a hung-up pseudo-terminal).
inline constexpr std::uint32_t TransferGraceMs = 1000;
inline constexpr std::uint32_t CancelGraceMs = 500;

// The first half of the rule for a device gone: whether a failure of a call
// on an open port is the port's own doing. ERROR_OPERATION_ABORTED after the
// port's own purge, cancel or close (ownAbortSince) is; any other failure is
// a suspicion that the device has gone (TCustomComPort::DeviceGone).
bool FailureIsOwn(std::uint32_t osError, bool ownAbortSince);

// Shared by all ports: cleared by every BeginWrite, set by every tx-empty event
// of any port. Atomic because with smNone the event thread sets it while the
// GUI thread polls it.
extern std::atomic<bool> TxEmptyFlag;

// ---- Event handler types: called with the port as Sender; empty means unassigned.
using TNotifyEvent = std::function<void(TCustomComPort* Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* Sender, std::int32_t Count)>;
using TRxBufEvent =
    std::function<void(TCustomComPort* Sender, const void* Buffer, std::int32_t Count)>;
using TComErrorEvent = std::function<void(TCustomComPort* Sender, TComErrors Errors)>;
using TComSignalEvent = std::function<void(TCustomComPort* Sender, bool OnOff)>;

// ---- Settings objects -----------------------------------------------------------
//
// Each knows the port that owns it (set once by the port's constructor; none for
// a free-standing object). Setter rule: a value equal to the current one changes
// nothing; otherwise it is stored and, with an owner, the owner's apply operation
// for the object's group runs (which does nothing unless the port is open).
// Assign/AssignTo copy the stored values between objects of the same class
// directly: no setter, no adjustment, no apply, owner not copied.

// What the four settings objects share: the owner, the setter rule and the
// copy. TSelf is the settings class; it keeps its stored values in one record,
// FValues, which is what Assign copies.
template <typename TSelf> class TComSettings : public host::TPersistent {
public:
    TCustomComPort* ComPort() const { return FComPort; }

protected:
    TComSettings() = default;

    // The setter rule, for one stored value. Set and Apply are defined in
    // serial/CPortSettings.cpp, the one file that uses them.
    template <typename T> void Set(T& field, T value);
    // With an owner, runs its apply operation for TSelf's group.
    void Apply();

    void AssignTo(host::TPersistent& destination) const override {
        auto* d = dynamic_cast<TSelf*>(&destination);
        if (d == nullptr)
            return host::TPersistent::AssignTo(destination);
        d->FValues = static_cast<const TSelf&>(*this).FValues;
    }

private:
    friend class TCustomComPort;
    TCustomComPort* FComPort = nullptr;
};

// Timeouts in milliseconds, in the order of the driver's timeout record.
// Group: ApplyTimeoutSettings.
class TComTimeouts : public TComSettings<TComTimeouts> {
public:
    std::string ClassName() const override { return "TComTimeouts"; }

    std::int32_t ReadInterval() const { return FValues.ReadInterval; }
    std::int32_t ReadTotalMultiplier() const { return FValues.ReadTotalMultiplier; }
    std::int32_t ReadTotalConstant() const { return FValues.ReadTotalConstant; }
    std::int32_t WriteTotalMultiplier() const { return FValues.WriteTotalMultiplier; }
    std::int32_t WriteTotalConstant() const { return FValues.WriteTotalConstant; }
    void SetReadInterval(std::int32_t value);
    void SetReadTotalMultiplier(std::int32_t value);
    void SetReadTotalConstant(std::int32_t value);
    void SetWriteTotalMultiplier(std::int32_t value);
    void SetWriteTotalConstant(std::int32_t value);

private:
    friend TComSettings;
    struct TValues {
        std::int32_t ReadInterval = -1;
        std::int32_t ReadTotalMultiplier = 0;
        std::int32_t ReadTotalConstant = 0;
        std::int32_t WriteTotalMultiplier = 100;
        std::int32_t WriteTotalConstant = 1000;
    } FValues;
};

// Flow control: ten stored values and the derived preset FlowControl.
// Group: ApplyLineSettings.
class TComFlowControl : public TComSettings<TComFlowControl> {
public:
    std::string ClassName() const override { return "TComFlowControl"; }

    bool OutCTSFlow() const { return FValues.OutCTSFlow; }
    bool OutDSRFlow() const { return FValues.OutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return FValues.ControlDTR; }
    TRTSFlowControl ControlRTS() const { return FValues.ControlRTS; }
    bool XonXoffOut() const { return FValues.XonXoffOut; }
    bool XonXoffIn() const { return FValues.XonXoffIn; }
    bool DSRSensitivity() const { return FValues.DSRSensitivity; }
    bool TxContinueOnXoff() const { return FValues.TxContinueOnXoff; }
    char XonChar() const { return FValues.XonChar; }
    char XoffChar() const { return FValues.XoffChar; }
    void SetOutCTSFlow(bool value);
    void SetOutDSRFlow(bool value);
    void SetControlDTR(TDTRFlowControl value);
    void SetControlRTS(TRTSFlowControl value);
    void SetXonXoffOut(bool value);
    void SetXonXoffIn(bool value);
    void SetDSRSensitivity(bool value);
    void SetTxContinueOnXoff(bool value);
    void SetXonChar(char value);
    void SetXoffChar(char value);

    // The preset derived from ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut
    // (fcHardware, fcSoftware, fcNone, else fcCustom); the other six values never
    // influence it.
    TFlowControl FlowControl() const;
    // Writes the four values of a preset (fcCustom writes none) and then, with an
    // owner, applies the line settings once, whatever was written.
    void SetFlowControl(TFlowControl value);

private:
    friend TComSettings;
    struct TValues {
        bool OutCTSFlow = false;
        bool OutDSRFlow = false;
        TDTRFlowControl ControlDTR = dtrDisable;
        TRTSFlowControl ControlRTS = rtsDisable;
        bool XonXoffOut = false;
        bool XonXoffIn = false;
        bool DSRSensitivity = false;
        bool TxContinueOnXoff = false;
        char XonChar = 17;
        char XoffChar = 19;
    } FValues;
};

// Parity: the parity bit, whether the driver checks it, and whether a byte with
// a parity error is replaced by ReplaceChar (only together with Check).
// Group: ApplyLineSettings.
class TComParity : public TComSettings<TComParity> {
public:
    std::string ClassName() const override { return "TComParity"; }

    TParityBits Bits() const { return FValues.Bits; }
    bool Check() const { return FValues.Check; }
    bool Replace() const { return FValues.Replace; }
    char ReplaceChar() const { return FValues.ReplaceChar; }
    void SetBits(TParityBits value);
    void SetCheck(bool value);
    void SetReplace(bool value);
    void SetReplaceChar(char value);

private:
    friend TComSettings;
    struct TValues {
        TParityBits Bits = prNone;
        bool Check = false;
        bool Replace = false;
        char ReplaceChar = 0;
    } FValues;
};

// Sizes in bytes of the driver's receive and transmit queues. A positive odd
// size is stored one lower (1025 is kept as 1024); the equality test compares
// the given value, before that adjustment. Group: ApplyBufferSizes.
class TComBuffer : public TComSettings<TComBuffer> {
public:
    std::string ClassName() const override { return "TComBuffer"; }

    std::int32_t InputSize() const { return FValues.InputSize; }
    std::int32_t OutputSize() const { return FValues.OutputSize; }
    void SetInputSize(std::int32_t value);
    void SetOutputSize(std::int32_t value);

private:
    friend TComSettings;
    // The setter rule with the adjustment of an odd size.
    void SetSize(std::int32_t& field, std::int32_t value);

    struct TValues {
        std::int32_t InputSize = 1024;
        std::int32_t OutputSize = 1024;
    } FValues;
};

// ---- The port -------------------------------------------------------------------

class TCustomComPort : public host::TComponent {
public:
    // Sets the defaults: 9600 baud, "COM1", one stop bit, eight data bits, no
    // parity, all ten events, thread synchronisation, the settings objects'
    // defaults; the port is closed.
    explicit TCustomComPort(host::TComponent* owner);
    // Closes the port (with its notifications), then frees the settings objects.
    // A class that overrides OpenHandle, ReleaseHandle or the firing operations
    // closes the port in its own destructor: C++ does not reach overrides from
    // a base destructor (and the event thread calls the firing operations).
    ~TCustomComPort() override;

    std::string ClassName() const override { return "TCustomComPort"; }

    // Ends the loading state; a Connected of true read from the stored
    // description then opens the port (failures go to the application's
    // exception display, not to the caller).
    void Loaded() override;

    // Opens the port with the current settings: before-open notification, the
    // handle, all settings, the event thread, after-open notification. A port
    // that cannot be opened leaves Connected false and raises nothing; failing
    // to apply the buffer sizes or timeouts closes the handle again and raises
    // EComPort 9 or 8. Does nothing when open already, while designing, or
    // from a handler that runs while this port's open is under way.
    // A network port (tcp://, rfc2217://) connects, for up to the connect
    // time-out; on the GUI thread the GUI thread's messages are processed
    // meanwhile (so handlers, timers and posted calls may run inside Open).
    // The port must not be destroyed by one of them.
    void Open();
    // Closes the port: before-close notification, transfers aborted, event thread
    // ended, handle closed, after-close notification. Does nothing when closed or
    // while designing.
    void Close();

    // Whether the named port can be opened for exclusive use now. On a closed
    // port: a probe handle is made and, when it was, closed again through the
    // whole Close sequence (before- and after-close notifications and the
    // CTS/DSR/RLSD reports with false); Port is not changed. On an open port no
    // probe is made: the port is closed and the answer is true, whatever the
    // name. A port held by another program answers false. Raises nothing for
    // an absent or busy port.
    bool PortExists(const std::string& portName);
    // Reads "<baud>,<parity letter>,<data bits>,<stop bits>" (each field
    // followed by a one-character separator; blanks after a separator are
    // skipped, a blank before one is taken as the separator), stores BaudRate,
    // DataBits, StopBits and Parity.Bits, closes the port if it is open and
    // opens it. Answers whether the port is open. Unknown data bits give
    // dbEight, unknown stop bits sbOne5StopBits, an unknown parity letter
    // prNone; a text that ends early reads missing fields as 0 (never beyond
    // its end). Raises what Open raises.
    bool OpenWithSettings(const std::string& settings);
    // The current modem lines; none when the driver has none to report (it
    // answers ERROR_NOT_SUPPORTED). Raises EComPort 11 when the driver
    // refuses otherwise.
    TLineSignals ModemSignals();
    // The line errors the driver flagged since the last query (which clears
    // them; InQueueCount clears them too). ceRxParity only while Parity.Check.
    // Raises EComPort 10 when the driver refuses.
    TComErrors ReadLineErrors();

    // ---- Reading and writing ----
    // Every transfer is overlapped, on a record of its own (CreateTransfer,
    // one Begin*, WaitForTransfer, DestroyTransfer), so a read and a write may
    // be in flight at once. All run on the GUI thread (or, with smNone, in a
    // handler on the event thread).

    // Writes count bytes and waits until the driver has taken them or the
    // write timeouts ended the write (bounded as WaitForTransfer says). A
    // refused write (for instance on a port that failed to open) raises
    // nothing and returns at once; on an open port it is kept as the
    // Suspicion. The bytes are copied first. Before waiting
    // it processes the waiting GUI messages once and then, for at most one
    // tick of the millisecond counter, until a tx-empty event has been
    // processed: event handlers may run inside Write. Returns the bytes
    // transferred.
    std::int32_t Write(const void* buffer, std::int32_t count);
    // Reads up to count bytes into str, waiting as the read timeouts say (with
    // the default timeouts: returns at once with what is queued). str gets
    // exactly the bytes received, count or fewer; a count of 0 or less gives
    // an empty string without reading. Raises EComPort 3 (read refused) or 10
    // (queue query refused); str is then unchanged.
    void ReadString(std::int32_t count, std::string& str);
    // Reads up to count bytes into buffer; returns the number read.
    std::int32_t ReadBlock(void* buffer, std::int32_t count);
    // Bytes received and not yet read. Raises EComPort 10 when the driver
    // refuses; clears the driver's line-error flags.
    std::int32_t InQueueCount();
    // Ends the port's pending reads and writes (result ignored).
    void AbortTransfers();

    // The steps of the blocking operations, for callers that overlap their own
    // transfers. Begin* and WaitForTransfer raise EComPort 4 without a record.
    static void CreateTransfer(TComTransfer*& transfer);
    static void DestroyTransfer(TComTransfer*& transfer);
    std::int32_t BeginWrite(const void* buffer, std::int32_t count, TComTransfer* transfer);
    std::int32_t BeginRead(void* buffer, std::int32_t count, TComTransfer* transfer);
    std::int32_t BeginReadString(std::string& str, std::int32_t count, TComTransfer* transfer);
    // Blocks until the transfer has completed; returns the bytes transferred
    // (0 when the driver reports none). After a read it queries the input queue
    // once (EComPort 10 when that fails). The wait is bounded: a transfer
    // still pending TransferGraceMs after the deadline of the timeouts set is
    // cancelled (PurgeComm), and one that does not end CancelGraceMs later is
    // given up (0 bytes; see TComTransfer). Without a deadline (no total
    // timeout) the wait goes on while the port's name names a device.
    std::int32_t WaitForTransfer(TComTransfer* transfer);

    // ---- Settings properties (published by TComPort in this order) ----
    bool Connected() const { return FConnected; }
    // While loading or designing only stored; otherwise true opens, false closes.
    void SetConnected(bool value);
    std::int32_t BaudRate() const { return FBaudRate; }
    void SetBaudRate(std::int32_t value);
    const std::string& Port() const { return FPort; }
    // Case-sensitive comparison; on an open port (not loading or designing) the
    // port is closed and opened again under the new name.
    void SetPort(const std::string& value);
    TComParity& Parity() { return *FParity; }
    const TComParity& Parity() const { return *FParity; }
    // Copies value into the port's own object, then applies (no equality test).
    void SetParity(const TComParity& value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits value);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool value);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char value);
    TComEvents Events() const { return FEvents; }
    // Only stored: takes effect at the next Open (empty: no event thread).
    void SetEvents(TComEvents value) { FEvents = value; }
    TComBuffer& Buffer() { return *FBuffer; }
    const TComBuffer& Buffer() const { return *FBuffer; }
    void SetBuffer(const TComBuffer& value);
    TComFlowControl& FlowControl() { return *FFlowControl; }
    const TComFlowControl& FlowControl() const { return *FFlowControl; }
    void SetFlowControl(const TComFlowControl& value);
    TComTimeouts& Timeouts() { return *FTimeouts; }
    const TComTimeouts& Timeouts() const { return *FTimeouts; }
    void SetTimeouts(const TComTimeouts& value);
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    // Raises EComPort 14 (value unchanged) for a different value while the port
    // is open and the component is neither loading nor designing.
    void SetSyncMethod(TSyncMethod value);

    // The setting groups that the persistence operations store and load.
    TStoreGroups StoreGroups() const { return FStoreGroups; }
    void SetStoreGroups(TStoreGroups value) { FStoreGroups = value; }

    // ---- A device that goes away ----
    // The OS error of the last failure of a read, write, event wait or status
    // call on the open port that is not the port's own doing (FailureIsOwn),
    // or ERROR_TIMEOUT for a transfer that outlasted its deadline; 0: none
    // since the open, or since DeviceGone found the device there. Drivers
    // say a pulled adapter with many codes (1617, 995, 22, 5, 31, 2), each of
    // which also occurs with the device present. Any thread.
    std::uint32_t Suspicion() const { return FSuspicion; }
    // Whether the open port's device has gone, by the rule: a suspicion, or a
    // wait for an answer that timed out (waitTimedOut; a driver may fail
    // nothing when its device goes), is confirmed by asking whether the
    // port's name still names a device (comm::PortNamePresence). Gone: true;
    // the caller closes the port, so that the adapter plugged in again gets
    // its name back. There (or not known): false, and the suspicion is
    // cleared, the failure being what it said. Without either nothing is
    // asked. False on a closed port. Any thread.
    bool DeviceGone(bool waitTimedOut = false);
    // Transfers and event waits given up on since the open: the driver did
    // not end them even when cancelled (see TComTransfer).
    std::uint32_t GivenUp() const { return FGivenUp; }

    // ---- Run-time state ----
    comm::Handle Handle() const { return FHandle; }
    bool EventThreadRunning() const { return FEventThreadRunning; }
    TComThread* EventThread() const { return FEventThread.get(); }
    TSyncWindow* SyncWindow() const { return FSyncWindow.get(); }

    // ---- Event handlers, in published order; only stored ----
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnBeforeOpen;
    TNotifyEvent OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnBreak;
    TNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TNotifyEvent OnRxFlag;
    TComErrorEvent OnError;
    TNotifyEvent OnRx80Full;

    // ---- Settings persistence (serial/CPortStore.cpp) ----
    // Store writes the groups of StoreGroups as named values; Load reads them back
    // through the setters. The registry works in the object's current key, the INI
    // file in the section named by Name.
    virtual void StoreToRegistry(host::TRegistry& registry);
    virtual void StoreToIniFile(host::TIniFile& iniFile);
    virtual void LoadFromRegistry(host::TRegistry& registry);
    virtual void LoadFromIniFile(host::TIniFile& iniFile);

protected:
    // The OS handle: OpenHandle creates it (Handle stays invalid when the port
    // cannot be opened, and nothing is raised); ReleaseHandle closes a valid one
    // without changing Handle.
    virtual void OpenHandle();
    virtual void ReleaseHandle();
    // ApplyBufferSizes, then ApplyLineSettings, then ApplyTimeoutSettings.
    virtual void ApplyAllSettings();

public:
    // Firing operations: each calls its handler when assigned, through a copy
    // of it (so the handler may destroy the port or replace itself while it
    // runs). FireRxChar without a handler reads the bytes and drops them;
    // FireTxEmpty also sets TxEmptyFlag.
    virtual void FireAfterClose();
    virtual void FireAfterOpen();
    virtual void FireBeforeClose();
    virtual void FireBeforeOpen();
    virtual void FireRxChar(std::int32_t count);
    virtual void FireRxBuf(const void* buffer, std::int32_t count);
    virtual void FireTxEmpty();
    virtual void FireBreak();
    virtual void FireRing();
    virtual void FireRxFlag();
    virtual void FireCTSChange(bool onOff);
    virtual void FireDSRChange(bool onOff);
    virtual void FireError(TComErrors errors);
    virtual void FireRLSDChange(bool onOff);
    virtual void FireRx80Full();

protected:
    // Apply a group of settings to the open port. Each does nothing unless the
    // port is Connected and the component is neither loading nor designing.
    // ApplyLineSettings never raises; ApplyTimeoutSettings raises EComPort 8 and
    // ApplyBufferSizes EComPort 9 when the driver refuses.
    virtual void ApplyLineSettings();
    virtual void ApplyTimeoutSettings();
    virtual void ApplyBufferSizes();

    // True when the apply operations may reach the driver.
    bool CanApply() const { return FConnected && !Loading() && !Designing(); }

    // What destruction does before freeing: Close, with an exception from a
    // notification shown instead of raised; then, if Close stopped half-way,
    // the event thread ended and the handle closed without notifications.
    void CloseForDestruction() noexcept;

    // Notifications that Open and Close give.
    void HandleBeforeOpen();
    void HandleAfterOpen();
    void HandleBeforeClose();
    void HandleAfterClose();
    // Open: HandleCTSChange, HandleDSRChange, HandleRLSDChange (three queries);
    // otherwise the three change events with false, without a query.
    void ReportSignals(bool open);

    // Processing of one event each (on the thread SyncMethod selects).
    void HandleError();
    void HandleRxChar();
    void HandleTxEmpty();
    void HandleBreak();
    void HandleRing();
    void HandleCTSChange();
    void HandleDSRChange();
    void HandleRxFlag();
    void HandleRLSDChange();
    void HandleRx80Full();
    // Processes a batch in the fixed order: error, received characters, tx
    // empty, break, ring, CTS, DSR, event character, RLSD, 80 % full. An
    // exception from one event's processing goes to the application's
    // exception display (handed to the GUI thread when raised on another) and
    // the next events are still processed. Once a handler has closed or
    // destroyed the port, the rest is dropped and the port is not touched.
    void RaiseEvents(TComEvents events);
    // The procedure of SyncWindow (smWindowSync), on the GUI thread:
    // CM_ComEvent with an event's OS mask bit processes that event while Connected
    // and no handler of this open has closed the port.
    std::intptr_t EventWindowProc(std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam);
    void ProcessWindowEvent(std::uintptr_t wParam);

    // Run-time fields, in declared order.
    std::unique_ptr<TComThread> FEventThread; // while EventThreadRunning
    bool FEventThreadRunning = false;
    comm::Handle FHandle = comm::INVALID_HANDLE_VALUE;
    std::unique_ptr<TSyncWindow> FSyncWindow; // none unless smWindowSync with a thread

private:
    // Ends the event thread: waits for it, or, when the caller runs inside its
    // delivery, stops it without waiting and hands it over to be joined.
    void StopEventThread();
    // A failed call on the open port, with the port's own aborts counted when
    // the call started: kept as the suspicion unless it is the port's own doing.
    void NoteFailure(std::uint32_t osError, std::uint32_t ownAbortsAtStart);
    // Counts a purge, cancel or close of the port's own, before it is made.
    void NoteOwnAbort() { ++FOwnAborts; }
    // The transfer's deadline under the timeouts set, in ms; none without one.
    std::optional<std::uint64_t> TransferDeadline(const TComTransfer& transfer) const;
    // Cancels a transfer that outlasted its deadline and waits CancelGraceMs
    // for it to end; answers that wait's result (abandons it on a time-out).
    std::uint32_t CancelTransfer(TComTransfer& transfer);
    // Ends the deliveries of this port that the calling thread is inside.
    void DropDeliveries();

    friend class TComThread;
    friend class TSyncWindow;
    template <typename TSelf> friend class TComSettings;

    bool FConnected = false;
    bool FClosing = false; // inside Close
    bool FOpening = false; // inside OpenHandle (a network port connects)
    std::atomic<std::uint32_t> FSuspicion{0};
    std::atomic<std::uint32_t> FOwnAborts{0};
    std::atomic<std::uint32_t> FGivenUp{0};
    // A handler closed the port: smWindowSync messages of its open that the
    // GUI thread serves while Close waits for the thread are dropped.
    bool FEventsDropped = false;
    std::int32_t FBaudRate = 9600;
    std::string FPort = "COM1";
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = TComEvents::All();
    // Owned; created in the order Parity, FlowControl, Timeouts, Buffer and freed
    // in the order Buffer, FlowControl, Timeouts, Parity.
    std::unique_ptr<TComBuffer> FBuffer;
    std::unique_ptr<TComParity> FParity;
    std::unique_ptr<TComTimeouts> FTimeouts;
    std::unique_ptr<TComFlowControl> FFlowControl;
    TSyncMethod FSyncMethod = smThreadSync;
    TStoreGroups FStoreGroups{sgLine};
};

// The published port component.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
    ~TComPort() override;
    std::string ClassName() const override { return "TComPort"; }
};

// ---- Stored description -----------------------------------------------------------

// One property of a component's stored description: "BaudRate" = "9600",
// "Parity.Bits" = "prNone", "Port" = "'COM1'", "Events" = "[evRxChar, ...]".
struct TStoredProperty {
    std::string Name;
    std::string Value;
    friend bool operator==(const TStoredProperty&, const TStoredProperty&) = default;
};

// The port's published settings as its stored description holds them, in
// published order (a settings object's properties in place of the object, as
// "<Object>.<Property>"): a property equal to its declared default is left out;
// one without a declared default is always listed. Event handlers, being
// unnamed callables, are not part of it.
std::vector<TStoredProperty> StoredProperties(const TCustomComPort& port);

} // namespace cport
