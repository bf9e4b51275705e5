// The port watcher on Linux: udev's monitor for the "tty" subsystem.
//
// The monitor listens to udev's own announcements ("udev"), not the
// kernel's: udev sends a device's event once its rules have run, so the
// /dev node exists (an "add") and the properties that PortIdentities reads
// are there when the window rescans. Without udevd running (many containers)
// nothing is announced and the watcher stays silent.
#include "configurator/PortWatcher.h"

#include <QSocketNotifier>

#include <libudev.h>

#include <cstring>

struct TPortWatcher::TImpl {
    udev* FContext = nullptr;
    udev_monitor* FMonitor = nullptr;
    QSocketNotifier* FNotifier = nullptr; // owned by the watcher (its QObject child)

    ~TImpl() {
        if (FMonitor != nullptr) {
            udev_monitor_unref(FMonitor);
        }
        if (FContext != nullptr) {
            udev_unref(FContext);
        }
    }

    // Reads every event waiting on the monitor's socket (it does not block);
    // whether one of them was a tty that came or went.
    bool Drain() const {
        bool changed = false;
        while (udev_device* device = udev_monitor_receive_device(FMonitor)) {
            const char* action = udev_device_get_action(device);
            if (action != nullptr &&
                (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) {
                changed = true;
            }
            udev_device_unref(device);
        }
        return changed;
    }
};

TPortWatcher::TPortWatcher(QObject* parent) : QObject(parent), FImpl(std::make_unique<TImpl>()) {
    FImpl->FContext = udev_new();
    if (FImpl->FContext == nullptr) {
        return;
    }
    FImpl->FMonitor = udev_monitor_new_from_netlink(FImpl->FContext, "udev");
    if (FImpl->FMonitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(FImpl->FMonitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(FImpl->FMonitor) < 0) {
        return;
    }
    FImpl->FNotifier =
        new QSocketNotifier(udev_monitor_get_fd(FImpl->FMonitor), QSocketNotifier::Read, this);
    connect(FImpl->FNotifier, &QSocketNotifier::activated, this, [this] {
        if (FImpl->Drain()) {
            Q_EMIT Changed();
        }
    });
}

TPortWatcher::~TPortWatcher() {
    // The notifier goes before the socket it watches is closed.
    delete FImpl->FNotifier;
}

bool TPortWatcher::Active() const {
    return FImpl->FNotifier != nullptr;
}
