// The port watcher on Windows: device-change notifications of the serial
// port interface class (GUID_DEVINTERFACE_COMPORT), registered for a hidden
// message-only window of the watcher's own. The Qt event loop dispatches
// the thread's messages, this window's among them. A plugged adapter brings
// several messages in a row (one per interface, and Windows repeats some):
// they restart one zero-time timer, so that Changed() comes once after the
// burst. Ports that only the legacy DBT_DEVTYP_PORT broadcast announces reach
// top-level windows alone and are not seen here.
#include "configurator/PortWatcher.h"

#include <QTimer>

#include <windows.h>

#include <dbt.h>

struct TPortWatcher::TImpl {
    HWND FWindow = nullptr;
    HDEVNOTIFY FNotification = nullptr;
    QTimer FBurst;

    ~TImpl() {
        if (FNotification != nullptr) {
            UnregisterDeviceNotification(FNotification);
        }
        if (FWindow != nullptr) {
            DestroyWindow(FWindow);
        }
    }
};

namespace {

const wchar_t kWindowClass[] = L"RadarConfiguratorPortWatcher";

// GUID_DEVINTERFACE_COMPORT, as <ntddser.h> defines it (a driver kit header
// that needs the kernel's types).
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

LRESULT CALLBACK WatcherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE &&
        (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        auto* burst = reinterpret_cast<QTimer*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
            burst != nullptr) {
            burst->start();
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The window class, registered once per process.
bool WatcherClassRegistered() {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WatcherProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

} // namespace

TPortWatcher::TPortWatcher(QObject* parent) : QObject(parent), FImpl(std::make_unique<TImpl>()) {
    FImpl->FBurst.setSingleShot(true);
    FImpl->FBurst.setInterval(0);
    connect(&FImpl->FBurst, &QTimer::timeout, this, &TPortWatcher::Changed);
    if (!WatcherClassRegistered()) {
        return;
    }
    FImpl->FWindow = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
    if (FImpl->FWindow == nullptr) {
        return;
    }
    SetWindowLongPtrW(FImpl->FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&FImpl->FBurst));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kComPortInterface;
    FImpl->FNotification =
        RegisterDeviceNotificationW(FImpl->FWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

TPortWatcher::~TPortWatcher() = default;

bool TPortWatcher::Active() const {
    return FImpl->FNotification != nullptr;
}
