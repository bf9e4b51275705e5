#pragma once
// Tells the window when a serial port appears or goes away (a USB adapter
// plugged in or pulled out), so that its port list follows the cable
// without "Refresh".
//
// Linux: the udev monitor of libudev for the "tty" subsystem, its socket
// watched by the Qt event loop (no polling). Windows: the device-change
// notifications of the serial-port device interface class, delivered to a
// hidden message-only window of the watcher's own. Elsewhere, or when the
// monitor cannot be set up: never signals (Active() is false).
//
// Changed() is emitted on the thread that created the watcher, once per
// batch of events that arrived together; the receiver rescans. GUI thread
// only.

#include <QObject>

#include <memory>

class TPortWatcher : public QObject {
    Q_OBJECT
public:
    explicit TPortWatcher(QObject* parent = nullptr);
    ~TPortWatcher() override;

    // Whether the system's notifications are being watched.
    bool Active() const;

Q_SIGNALS:
    // A serial port appeared or went away.
    void Changed();

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
