// The port watcher on Windows. Two sources, because no single one sees every
// driver:
//
// - Device broadcasts, to a hidden top-level window of the watcher's own
//   (never shown; a message-only window gets no broadcasts):
//   DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE of the serial-port device
//   interface (registered for, GUID_DEVINTERFACE_COMPORT) and of a port
//   (the DBT_DEVTYP_PORT broadcast, all that a driver registering no such
//   interface sends: older CDC INFs, some virtual-port software), and
//   DBT_DEVNODES_CHANGED, which any device brings (a mouse, a disk).
// - A poll, once a second for as long as the watcher lives, of the port names
//   in the DOS device namespace (QueryDosDeviceW(nullptr): every name that
//   CreateFile can open as "\\.\COMn" is there, whatever the driver
//   announced). It never opens a port: opening resets some boards. Under
//   Wine, whose COM names are links in the prefix's dosdevices folder
//   outside that namespace, each of COM1..COM255 is asked of Wine's file
//   layer besides (GetFileAttributesW, which Wine answers from the link
//   without opening its device); Windows is never asked that, as it would
//   open the device to answer. Under Wine a poll takes about 2 ms of the
//   GUI thread (up to 5 on a loaded machine), half of it the sweep.
//
// A plugged adapter brings several messages in a row (one per interface, a
// port broadcast, devnode changes, some of them repeated): each restarts one
// single-shot timer of kBurstMs, so that Changed() comes once, after the
// burst has been quiet for that long, or kBurstCapMs after its first message
// when it never is. A port's own arrival or removal, or a poll that saw the
// names change, makes Changed() certain; a burst of devnode changes alone
// does only when the names read at its end differ from the last read, since
// the window's rescan opens every port and an unrelated device must not
// cause one. The Qt event loop dispatches the thread's messages, the
// window's among them (broadcasts are sent messages, delivered whenever the
// thread waits for messages, in a modal loop too).
#include "configurator/PortWatcher.h"

#include "sign/PortNameSet.h"

#include <QElapsedTimer>
#include <QTimer>

#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

// Long enough to take in the messages of one plug, which come together (the
// interface's, the port's broadcast, devnode changes; a hub's adapters each
// their own), short enough that the list still follows the cable at once to
// the eye.
constexpr int kBurstMs = 250;
// A device that keeps sending (one that reconnects over and over) still
// lets the window rescan.
constexpr qint64 kBurstCapMs = 1000;
constexpr int kPollMs = 1000;
// The name list grows to this many characters at most (16 MB): far above
// any system's, and a bound on a broken answer.
constexpr std::size_t kMaxListChars = std::size_t{8} << 20;

const wchar_t kWindowClass[] = L"RadarConfiguratorPortWatcher";

// GUID_DEVINTERFACE_COMPORT, as <ntddser.h> defines it (a driver kit header
// that needs the kernel's types).
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

bool RunningOnWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Whether Wine maps `device` ("\\.\COM5") to something: its link exists and
// leads somewhere. Wine 8 answers a link to a character device with
// ERROR_INVALID_PARAMETER, a missing or dangling link with ERROR_BAD_DEV_TYPE.
bool WineMapsDevice(const wchar_t* device) {
    if (GetFileAttributesW(device) != INVALID_FILE_ATTRIBUTES)
        return true;
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_DEV_TYPE:
    case ERROR_INVALID_NAME:
        return false;
    default:
        return true;
    }
}

// What the window does with a device message: the watcher's
// TImpl::Message, `certain` when a port came or went. The window's user data.
using TMessageSink = std::function<void(bool certain)>;

} // namespace

struct TPortWatcher::TImpl {
    TPortWatcher* FOwner;
    HWND FWindow = nullptr;
    HDEVNOTIFY FNotification = nullptr;
    QTimer FBurst;
    QElapsedTimer FBurstAge; // since the burst's first message
    bool FCertain = false;   // the burst holds a port's own message or a seen change
    QTimer FPoll;
    const bool FOnWine = RunningOnWine();
    std::vector<wchar_t> FList = std::vector<wchar_t>(16384);
    std::optional<sign::TPortNameSet> FNames; // the last read; none before one succeeded
    TMessageSink FSink = [this](bool certain) { Message(certain); };

    explicit TImpl(TPortWatcher* owner) : FOwner(owner) {}

    ~TImpl() {
        if (FNotification != nullptr)
            UnregisterDeviceNotification(FNotification);
        if (FWindow != nullptr)
            DestroyWindow(FWindow);
    }

    // A reason to look again; `certain`: a port came or went.
    void Message(bool certain) {
        FCertain = FCertain || certain;
        if (!FBurst.isActive())
            FBurstAge.start();
        else if (FBurstAge.elapsed() >= kBurstCapMs)
            return;
        FBurst.start();
    }

    void BurstEnded() {
        const std::optional<sign::TPortNameSet> names = ReadNames();
        const bool changed = names && FNames && *names != *FNames;
        if (names)
            FNames = names;
        const bool certain = FCertain;
        FCertain = false;
        if (certain || changed)
            Q_EMIT FOwner->Changed();
    }

    void Poll() {
        std::optional<sign::TPortNameSet> names = ReadNames();
        if (!names)
            return;
        const bool changed = FNames && *names != *FNames;
        FNames = std::move(names);
        if (changed)
            Message(true);
    }

    // The ports named now; none when the system would not tell.
    std::optional<sign::TPortNameSet> ReadNames() {
        sign::TPortNameSet names;
        for (;;) {
            const DWORD length =
                QueryDosDeviceW(nullptr, FList.data(), static_cast<DWORD>(FList.size()));
            if (length != 0) {
                names.AddList({FList.data(), std::min<std::size_t>(length, FList.size())});
                break;
            }
            const DWORD error = GetLastError();
            if ((error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) ||
                FList.size() >= kMaxListChars)
                return std::nullopt;
            FList.resize(FList.size() * 2);
        }
        if (FOnWine) {
            for (int n = 1; n <= 255; ++n) {
                const std::wstring device = L"\\\\.\\COM" + std::to_wstring(n);
                if (WineMapsDevice(device.c_str()))
                    names.Add(std::wstring_view(device).substr(4));
            }
        }
        return names;
    }
};

namespace {

LRESULT CALLBACK WatcherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_DEVICECHANGE)
        return DefWindowProcW(window, message, wParam, lParam);
    const auto* sink =
        reinterpret_cast<const TMessageSink*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (sink != nullptr) {
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            if (header != nullptr && (header->dbch_devicetype == DBT_DEVTYP_PORT ||
                                      header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE))
                (*sink)(true);
        } else if (wParam == DBT_DEVNODES_CHANGED) {
            (*sink)(false);
        }
    }
    // Grants every query (a removal asked of the applications), as a window
    // that holds nothing does.
    return TRUE;
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

TPortWatcher::TPortWatcher(QObject* parent)
    : QObject(parent), FImpl(std::make_unique<TImpl>(this)) {
    TImpl& impl = *FImpl;
    impl.FBurst.setSingleShot(true);
    impl.FBurst.setInterval(kBurstMs);
    connect(&impl.FBurst, &QTimer::timeout, this, [&impl] { impl.BurstEnded(); });
    impl.FPoll.setInterval(kPollMs);
    connect(&impl.FPoll, &QTimer::timeout, this, [&impl] { impl.Poll(); });
    impl.FNames = impl.ReadNames();
    impl.FPoll.start();

    if (!WatcherClassRegistered())
        return;
    // Top-level (no parent, not HWND_MESSAGE) so that broadcasts reach it;
    // never shown, and a tool window, so that it has no taskbar button even
    // if something showed it.
    impl.FWindow = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0,
                                   nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (impl.FWindow == nullptr)
        return;
    SetWindowLongPtrW(impl.FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&impl.FSink));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kComPortInterface;
    impl.FNotification =
        RegisterDeviceNotificationW(impl.FWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

TPortWatcher::~TPortWatcher() = default;

bool TPortWatcher::Active() const {
    return FImpl->FWindow != nullptr || FImpl->FNames.has_value();
}
