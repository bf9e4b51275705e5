#pragma once
// Unit Unit1: the configurator's main window, TForm1.
//
// One dialog-style window, "Radar Configurator", 633 x 289, not resizable,
// scaled by Qt with the screen (about 950 x 434 pixels at 150 %); first shown
// centred on the screen, or at its top-left where it is larger (PlacementIn).
// Creating it builds every control and runs FormCreate, which scans the
// serial ports, loads the operator's last entries from LEDINFO.BIN and puts
// them into the controls; closing it runs FormClose, which saves them again.
// The port list holds the serial ports found, then the network ports
// (`tcp://HOST:PORT`, `rfc2217://HOST:PORT`, serial/driver/NetPortName.h)
// named in ports.txt in the per-user data folder (sign/PortsFile.h), in the
// file's order, each once, with its address as the tooltip; every other line
// of that file is passed over, and so is a file that cannot be read (none
// there is the usual case), without a word to the operator. A network port
// is listed whether or not its server answers: nothing is connected until a
// command opens it.
// The file is saved beside the executable when that folder is writable,
// otherwise in the per-user data folder. It is read from the per-user folder
// when the user has a file there, beside a writable executable only while
// that file is the later of the two (sign/SettingsLocation.h).
// Nothing here reports a settings-file problem to the operator.
//
// The three commands ("Send Time", "Read Time", "Download") each open the
// chosen port, write one request up to three times with a one-second wait
// for the sign's acknowledgement after each, close the port and tell the
// result in a message box: "send sucess" or "send error". The wait keeps the
// window working (it processes messages, blocking between them); the reply
// handler mycomm1RxChar runs inside it. While a command runs, its three
// buttons, the port box and "Refresh" are disabled, so that the port shown
// is the command's; the button pressed gets the focus back when the command
// has ended and its result box has closed. As on Windows, Return or Enter
// presses the button that has the focus (Space too). Closing the window during a command saves the
// entries, ends the wait at once and closes the port; no message box follows.
//
// A clock reply shows the sign's clock in Label24, which keeps it until the
// next one; the label's tooltip says which port it came from, at what time
// of this PC, and how far it is from this PC's clock ("Read from ttyUSB0 at
// 14:35:09: Sign clock 2 min 13 s behind this PC"), so that a later command
// on another port, or another port chosen, leaves no doubt whose clock it is.
//
// GUI thread only; the window needs the Qt binding of the message loop
// (host/qt/Application.h or host/qt/QtMainLoop.h) for the port's events to
// reach it. Exceptions that escape a handler (EComPort from opening the
// port) are left to the application object, which shows them and goes on;
// the controls disabled for the command are enabled again in every case.

#include "sign/SettingsLocation.h"
#include "sign/SignLink.h"
#include "sign/SignSettings.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cport {
class TComPort;
class TCustomComPort;
} // namespace cport

// What a test or tool may choose instead of the program's own surroundings.
struct TForm1Options {
    // The settings file, read and saved; empty: chosen by
    // ChooseSettingsLocation from ExecutableDirectory and Environment.
    QString SettingsPath;
    // Where the port scan looks for serial devices (not on Windows, where it
    // probes COM1 ... COM255); empty: /dev. Ports found elsewhere are listed
    // by their full path.
    std::string PortDirectory;
    // The PC clock that "Send Time" sends; empty: the local time.
    std::function<sign::TSignClock()> Clock;
    // Shows a command's result; empty: the message box (empty title, OK
    // only, no icon, modal to the program).
    std::function<void(const QString& text)> ShowResult;
    // Where the settings location is chosen as if the executable were; empty:
    // the directory of the executable.
    std::string ExecutableDirectory = {};
    // The environment that names the per-user data folder (the settings
    // location, the audit log, ports.txt); empty: the process's own.
    TEnvironment Environment = {};
    // The folder of the audit log (sign/AuditLog.h); none: the
    // per-user data folder; empty: no log.
    std::optional<std::string> AuditFolder = std::nullopt;
    // Whether the port list follows the ports appearing and going away.
    bool WatchPorts = true;
};

namespace audit {
class TAuditQueue;
}
class QCloseEvent;
class QComboBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QShowEvent;
class TPortWatcher;
class TSpinEdit;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // The settings file is LEDINFO.BIN where ChooseSettingsLocation puts it.
    explicit TForm1(QWidget* parent = nullptr);
    // The settings file, the port folder and the clock chosen by a test or
    // tool (the program uses the constructor above).
    explicit TForm1(TForm1Options options, QWidget* parent = nullptr);
    ~TForm1() override;

    // Where the window's top-left corner goes when first shown, for a window
    // (its frame) of `size` on a screen whose available area is `area`: on
    // each axis centred where the window fits, else at the area's start, so
    // that the title bar and the port box stay on the screen when the
    // window is larger than the screen (a small screen at 150 % or 200 %).
    static QPoint PlacementIn(const QRect& area, const QSize& size);

    // The face the layout is drawn for, at 16 pixels. Where the system lacks
    // it, Qt substitutes a face with the same 8-pixel character cell.
    static QFont LayoutFont();

    // Settings record operations (LEDINFO.BIN). None of them reports errors.
    void SetDefaultSettings();
    void LoadSettings(const QString& Path);
    void SaveSettings(const QString& Path);
    // Copies the controls into FSettings, then saves to FSettingsPath
    // (creating the per-user folder first when the location asks for it).
    void StoreSettings();

    const TSignSettings& Settings() const { return FSettings; }
    // Where the window saves the entries (empty: nowhere).
    const QString& SettingsPath() const { return FSettingsPath; }
    // Where FormCreate read them: FSettingsPath, or the other of the two
    // places when that holds the entries saved last (ChooseSettingsLocation).
    const QString& SettingsReadPath() const { return FSettingsReadPath; }

    // The request in progress or last sent, and its reply parser.
    const sign::TSignLink& SignLink() const { return FSignLink; }
    // Whether a command is running (between disabling and enabling the
    // buttons, the port box and "Refresh").
    bool CommandRunning() const { return FCommandRunning; }
    // The sign's clock minus the PC's, in seconds, from the last clock reply
    // that held a valid date; none before it or after one that did not.
    const std::optional<std::int64_t>& ClockOffset() const { return FClockOffset; }
    // Where the commands are logged, by a thread of the log's own (the GUI
    // thread never waits on the file); null: nowhere.
    const audit::TAuditQueue* AuditLog() const { return FAuditLog.get(); }
    // Tells the window when ports appear or go away; null when the options
    // asked for none.
    TPortWatcher* PortWatcher() const { return FPortWatcher; }

    // The window's serial port: 9600 8N1, all ten events, no flow control,
    // DTR and RTS off, OnRxChar bound to mycomm1RxChar; open only inside a
    // command.
    std::unique_ptr<cport::TComPort> mycomm1;

    // The window's controls, by their layout names.
    // Top row, on the window:
    QLabel* Label56 = nullptr;      // "COM"
    QComboBox* ComboBox3 = nullptr; // the serial ports found
    QPushButton* Button8 = nullptr; // "Refresh"
    QPushButton* Button2 = nullptr; // "Send Time"
    QPushButton* Button3 = nullptr; // "Read Time"
    QLabel* Label24 = nullptr;      // the sign's clock, hidden until read
    QFrame* Panel1 = nullptr;       // the operating-table entries
    // Hidden, without function:
    QLabel* Label10 = nullptr;       // "Send"
    QLabel* Label11 = nullptr;       // "Rece"
    QLabel* Label23 = nullptr;       // "Calibration control card time"
    QPlainTextEdit* Memo1 = nullptr; //
    QPlainTextEdit* Memo2 = nullptr; //
    QPushButton* Button9 = nullptr;  // "Clear"
    // Inside Panel1:
    TSpinEdit* SpinEdit1 = nullptr;  // morning start hour
    TSpinEdit* SpinEdit2 = nullptr;  // morning start minute
    TSpinEdit* SpinEdit7 = nullptr;  // morning end hour
    TSpinEdit* SpinEdit8 = nullptr;  // morning end minute
    TSpinEdit* SpinEdit5 = nullptr;  // morning speed limit
    TSpinEdit* SpinEdit3 = nullptr;  // afternoon start hour
    TSpinEdit* SpinEdit4 = nullptr;  // afternoon start minute
    TSpinEdit* SpinEdit9 = nullptr;  // afternoon end hour
    TSpinEdit* SpinEdit10 = nullptr; // afternoon end minute
    TSpinEdit* SpinEdit6 = nullptr;  // afternoon speed limit
    TSpinEdit* SpinEdit11 = nullptr; // regular speed limit
    QComboBox* ComboBox1 = nullptr;  // flashing rate
    QPushButton* Button1 = nullptr;  // "Download"

public Q_SLOTS:
    // "Clear" (hidden): empties Memo2.
    void Button9Click();
    // "Refresh": scans again and reads ports.txt again; keeps the chosen
    // port (by name), serial or network, at its new
    // place, else selects the first; then closes the port (called during a
    // command, which the disabled button prevents, that ends the wait with
    // "send error").
    void Button8Click();
    // "Download": saves the entries, then sends the operating table.
    void Button1Click();
    // "Send Time": sends the PC's local date and time.
    void Button2Click();
    // "Read Time": asks for the sign's clock and shows it in Label24.
    void Button3Click();

    // A port appeared or went away: the list is built again as Refresh
    // builds it, keeping the chosen port, without closing the port; during a
    // command, once the command has ended.
    void PortsChanged();

public:
    // Fills ComboBox3 with the serial ports that can be opened now, then the
    // network ports of ports.txt, read again; selects nothing. Each item
    // carries the adapter's description, or the network port's address, as
    // its tooltip. The one place the list is built.
    void ScanPorts();
    // The transaction for FSignLink's request (see the top of this file).
    void SendCommand();
    // Processes messages until the acknowledgement, the window's closing, or
    // T milliseconds; blocks between messages.
    void WaitForAck(int T);
    // OnRxChar of mycomm1: reads Count bytes and reassembles the reply; a
    // clock reply is shown in Label24, its port, time and offset in the
    // label's tooltip.
    void mycomm1RxChar(cport::TCustomComPort* Sender, std::int32_t Count);

protected:
    // Creation event: loads the settings and pushes them into the controls.
    void FormCreate();
    // Close event: saves the entries. Does not change the close action.
    void FormClose();

    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void SetTabOrder();
    void PushSettings();
    void CreatePort();
    TSignSettings EntriesFromControls() const;
    // Disables the three command buttons, the port box and "Refresh", runs
    // the command, enables them again however it ends.
    void RunCommand(std::int32_t code, const std::function<std::string()>& payload);
    void ShowResult(const QString& text);
    void SetClockText(const std::string& text);
    // Scans again and selects the previous port at its new place, else the
    // first; none on an empty list.
    void RescanKeepingTheChoice();
    void ShowChosenPortTip();
    void LogCommand(const std::string& port, int tries, const std::string& outcome);

    // The operator's entries; all zero until loaded.
    TSignSettings FSettings{};
    // Full path of LEDINFO.BIN where the window saves, fixed by FormCreate.
    QString FSettingsPath;
    // Where FormCreate read the entries from.
    QString FSettingsReadPath;
    // The per-user folder to create before a save; empty: none.
    std::string FSettingsFolder;
    // ports.txt in the per-user data folder; empty: none (no folder known).
    std::string FPortsFile;
    // State of the current sign request and of the reply parser
    // (FCommandCode, FPayload, FFrame, FRxBuffer, FAckReceived).
    sign::TSignLink FSignLink;
    bool FCommandRunning = false;
    // Set when the window closes during a command: the wait ends, no message.
    bool FClosing = false;

    // The port of the command running or last run, as the port box showed it.
    std::string FCommandPort;
    // The last clock reply's reading as the audit log records it
    // (sign::ClockField: ISO date and time, or the label's text and the six
    // bytes when it is no date) and its offset from the PC's clock.
    std::string FSignClock;
    std::optional<std::int64_t> FClockOffset;
    std::unique_ptr<audit::TAuditQueue> FAuditLog;
    TPortWatcher* FPortWatcher = nullptr;
    // Ports changed during a command: the list is built again when it ends.
    bool FPortsChanged = false;

    TForm1Options FOptions;
    bool FCentred = false;
};
