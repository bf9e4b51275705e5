#pragma once
// Tells the window when a serial port appears or goes away (a USB adapter
// plugged in or pulled out, a virtual port made or removed), so that its port
// list follows without "Refresh". Nothing here opens a port.
//
// Linux: the udev monitor of libudev for the "tty" subsystem, its socket
// watched by the Qt event loop (no polling); without udevd nothing is
// announced. Windows (Win32PortWatcher.cpp): the device broadcasts of ports
// and devices (DBT_DEVTYP_PORT, the serial-port device interface,
// DBT_DEVNODES_CHANGED) to a hidden top-level window of the watcher's own,
// and, for drivers that announce nothing, a poll once a second of the port
// names in the DOS device namespace (under Wine, of the prefix's COM links).
// When it can watch nothing (no udev monitor; on Windows neither the window
// nor the names): never signals, and Active() is false.
//
// Changed() is emitted on the thread that created the watcher, once per
// batch of events that arrived together (on Windows, a burst of messages
// ends 250 ms after the last, one second after the first at most); the
// receiver rescans. GUI thread only.

#include <QObject>

#include <memory>

class TPortWatcher : public QObject {
    Q_OBJECT
public:
    explicit TPortWatcher(QObject* parent = nullptr);
    ~TPortWatcher() override;

    // Whether changes are watched: on Linux udev's monitor is set up; on
    // Windows the hidden window was made or the port names could be read.
    bool Active() const;

Q_SIGNALS:
    // A serial port appeared or went away.
    void Changed();

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};
