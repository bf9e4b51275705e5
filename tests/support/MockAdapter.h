#pragma once
// USB serial adapters without hardware, for the tests of the port identity,
// the port watcher and the window's port list: umockdev's test bed (a mocked
// /sys and /dev of this process, and uevents) holding adapters that are
// plugged in and pulled out.
//
// Building and running a test that uses it (Linux only):
//  - link the target rc_test_mock_adapter (tests/sign/CMakeLists.txt;
//    it brings libumockdev, GLib and libudev);
//  - nothing else: umockdev works only inside a process started with its
//    preload library (umockdev-wrapper), so a program linking this fixture
//    restarts itself under umockdev-wrapper before main() when the preload
//    is missing (from ctest, its case listing and by hand alike). A program
//    that cannot get the preload ends with status 2 and says why.
//
// Under the preload, /sys is the test bed's from the moment a TMockTestbed
// exists, and /dev shows the test bed's nodes on top of the real ones.
// Before that, and after, the process sees the real /sys and /dev: make the
// test bed first. The mocked /sys has no /sys/class/tty/console/active, so
// the port scan's console exclusion leaves nothing out: never scan /dev in
// such a test, scan a folder of links (TMockTestbed::LinkFolder).
//
// Each adapter's tty node is a pseudo-terminal that umockdev made: it opens,
// tcgetattr() works, isatty() answers 0, and the fixture passes every ioctl()
// on it, and on the links of a LinkFolder, to the pseudo-terminal (umockdev
// itself would answer those it does not emulate, TIOCEXCL among them, with
// ENOTTY), so that the serial component opens it as a port. The fixture
// never touches a real device. Not thread-safe: one thread makes and changes
// the test bed.

#include <map>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace rc_test {

// The mocked /sys and /dev of this process while it lives. One at a time.
class TMockTestbed {
public:
    // Throws std::runtime_error outside umockdev's preload.
    TMockTestbed();
    ~TMockTestbed();
    TMockTestbed(const TMockTestbed&) = delete;
    TMockTestbed& operator=(const TMockTestbed&) = delete;

    UMockdevTestbed* Get() const { return FTestbed; }
    // The test bed's folder in the real file system; the process sees its
    // "dev" and "sys" subfolders as /dev and /sys.
    const std::string& Root() const { return FRoot; }

    // A folder of the test's own inside the mocked /dev holding, for each
    // node name ("ttyUSB0"), a link of that name to the node ("../ttyUSB0"),
    // as /dev/serial/by-id holds links to the adapters. Returns the folder as
    // the process sees it ("/dev/<name>"); the port scan lists the links as
    // full paths there (sign::PortCandidates("/dev/<name>")).
    std::string LinkFolder(const std::string& name, const std::vector<std::string>& nodes);

    // A USB device that is no serial adapter (a mouse on root hub port
    // <port> of bus 2), with its "add" uevent.
    void AddOtherUsbDevice(int port);

private:
    friend class TMockAdapter;
    // Lets the ioctl() calls on the node at path (as the process names it,
    // "/dev/ttyUSB0") reach its pseudo-terminal.
    void PassIoctls(const std::string& path);

    UMockdevTestbed* FTestbed = nullptr;
    std::string FRoot;
    // The pseudo-terminal behind each node made so far, by node name.
    std::map<std::string, std::string> FNodes;
    std::map<std::string, UMockdevIoctlBase*> FIoctlHandlers; // by path
};

// What a mocked adapter reports.
struct TMockAdapterKind {
    std::string TtyPrefix = "ttyUSB"; // the tty is <prefix><number>
    int Major = 188;                  // its device number is Major:<number>
    std::string VendorId = "0403";
    std::string ProductId = "6001";
    std::string SerialPrefix = "A50285B"; // the serial number is <prefix><number>
    std::string Product = "FT232R USB UART";
    std::string Manufacturer = "FTDI";
    std::string Driver = "ftdi_sio";
    // A usb-serial port device between the USB interface and the tty, with
    // the driver bound to both (ftdi_sio, cp210x, ch341); false: the tty
    // hangs from the interface (cdc_acm).
    bool UsbSerialPort = true;
    // The properties that udev's rules give the tty (ID_VENDOR_ID,
    // ID_MODEL_ID, ID_SERIAL_SHORT, ID_USB_DRIVER, ID_MODEL_ENC, the hwdb
    // names...); false: the sysfs attributes alone, as without udevd.
    bool UdevProperties = true;
    std::string ModelFromDatabase = "FT232 Serial (UART) IC";
    std::string VendorFromDatabase = "Future Technology Devices International, Ltd";
};

// An FTDI FT232R adapter (the default), an Arduino Uno's CDC ACM port
// (ttyACM<n>, cdc_acm), and a CH340 adapter without USB strings whose names
// come from udev's hardware database alone.
TMockAdapterKind FtdiAdapter();
TMockAdapterKind AcmAdapter();
TMockAdapterKind Ch340Adapter();

// One USB serial adapter in a test bed, on USB port <number> of its own:
//   rc_test::TMockTestbed testbed;
//   rc_test::TMockAdapter adapter(testbed, 0);  // ttyUSB0, not plugged yet
//   adapter.Plug();    // devices added, an "add" uevent each
//   adapter.Unplug();  // a "remove" uevent each (tty first), devices gone
// The header needs neither umockdev's nor GLib's headers (whose names clash
// with Qt's keywords), so a Qt test includes it as it is.
// Numbers must differ between the adapters plugged in at the same time; an
// adapter may be plugged in again, and another of the same tty name may take
// its place, in the same test bed.
class TMockAdapter {
public:
    TMockAdapter(TMockTestbed& testbed, int number, TMockAdapterKind kind = FtdiAdapter());
    // Unplugs a plugged adapter.
    ~TMockAdapter();
    TMockAdapter(const TMockAdapter&) = delete;
    TMockAdapter& operator=(const TMockAdapter&) = delete;

    void Plug();
    void Unplug();
    bool Plugged() const { return !FUsbDevice.empty(); }

    // "ttyUSB0"; its node is "/dev/" + TtyName().
    std::string TtyName() const;
    std::string SerialNumber() const;
    const TMockAdapterKind& Kind() const { return FKind; }
    // The tty's path in the mocked /sys ("/sys/devices/..."), while plugged.
    const std::string& TtySysPath() const { return FTty; }
    // A uevent of the tty ("change"), while plugged.
    void TtyUevent(const std::string& action) const;

private:
    TMockTestbed& FTestbed;
    int FNumber;
    TMockAdapterKind FKind;
    std::string FUsbDevice, FInterface, FPort, FTty; // sysfs paths, child last
};

} // namespace rc_test
