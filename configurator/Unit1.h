#pragma once
// Unit Unit1: the configurator's main window, TForm1.
//
// One dialog-style window, "Radar Configurator", 633 x 289, not resizable.
// Creating it builds every control and runs FormCreate, which loads the
// operator's last entries from LEDINFO.BIN (beside the executable) and puts
// them into the controls; closing it runs FormClose, which saves them again.
// Nothing here reports a settings-file problem to the operator.
//
// GUI thread only. Exceptions that escape a handler are left to the
// application object (host/qt/Application.h), which shows them and goes on.

#include "configurator/SignSettings.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

class QCloseEvent;
class QComboBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QShowEvent;
class TSpinEdit;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // The settings file is LEDINFO.BIN in the directory of the executable.
    explicit TForm1(QWidget* parent = nullptr);
    // The settings file is `settingsPath` instead (for tests and tools; the
    // program uses the constructor above).
    explicit TForm1(const QString& settingsPath, QWidget* parent = nullptr);
    ~TForm1() override;

    // The face the layout is drawn for, at 16 pixels. Where the system lacks
    // it, Qt substitutes a face with the same 8-pixel character cell.
    static QFont LayoutFont();

    // Settings record operations (LEDINFO.BIN). None of them reports errors.
    void SetDefaultSettings();
    void LoadSettings(const QString& Path);
    void SaveSettings(const QString& Path);
    // Copies the controls into FSettings, then saves to FSettingsPath.
    void StoreSettings();

    const TSignSettings& Settings() const { return FSettings; }
    const QString& SettingsPath() const { return FSettingsPath; }

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

    // The operator's entries; all zero until loaded.
    TSignSettings FSettings{};
    // Full path of LEDINFO.BIN, fixed by FormCreate.
    QString FSettingsPath;
    // State of the current sign request and of the reply parser.
    std::int32_t FCommandCode = 0;
    std::string FPayload;
    std::string FFrame;
    std::string FRxBuffer;
    bool FAckReceived = false;

    // The settings file chosen at construction; none: beside the executable.
    std::optional<QString> FSettingsPathOverride;
    bool FCentred = false;
};
