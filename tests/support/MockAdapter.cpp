#include "tests/support/MockAdapter.h"

#include <umockdev.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace rc_test {

namespace {

constexpr const char* kRestartedVariable = "RC_TEST_UMOCKDEV_RESTARTED";

bool PreloadActive() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

// Before main() (glibc passes the program's arguments to constructors): a
// program linking the fixture runs under umockdev's preload, restarting
// itself under umockdev-wrapper when it was started without. Without the
// preload a test bed would change nothing and the test would see the
// machine's real /sys and /dev.
__attribute__((constructor)) void RestartUnderUmockdev(int argc, char** argv, char**) {
    (void)argc;
    if (PreloadActive()) {
        return;
    }
    if (std::getenv(kRestartedVariable) != nullptr) {
        std::fprintf(stderr, "%s: umockdev-wrapper did not preload libumockdev-preload\n", argv[0]);
        std::_Exit(2);
    }
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        std::perror("readlink /proc/self/exe");
        std::_Exit(2);
    }
    self[length] = '\0';
    ::setenv(kRestartedVariable, "1", 1);
    // umockdev-wrapper <this program> <its arguments>: argv[0] is replaced.
    std::vector<char*> args;
    args.push_back(const_cast<char*>("umockdev-wrapper"));
    args.push_back(self);
    for (char** arg = argv + 1; *arg != nullptr; ++arg) {
        args.push_back(*arg);
    }
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "%s: cannot start umockdev-wrapper (%s); install umockdev\n", argv[0],
                 std::strerror(errno));
    std::_Exit(2);
}

// The handler of the ioctl() calls on a node: umockdev's preload sends them
// here (termios calls do not come: glibc makes those without ioctl()), and
// they are made on the pseudo-terminal behind the node, in the calling
// process, with its result and errno.
gboolean PassIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    gint error = 0;
    const gint result = umockdev_ioctl_client_execute(client, &error, nullptr);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

} // namespace

// ThreadSanitizer builds: umockdev's worker thread and the test's thread
// hand data over inside umockdev and GLib, which are built without the
// sanitizer, so it cannot see their synchronisation.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libumockdev.so\nrace:libglib-2.0.so\nrace:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n";
}

namespace {

std::string Owned(gchar* text) {
    std::string copy = text == nullptr ? std::string() : std::string(text);
    g_free(text);
    return copy;
}

void Add(UMockdevTestbed* testbed, const std::string& description) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev_testbed_add_from_string: " + message);
    }
}

// udev's encoding of a USB string in ID_MODEL_ENC / ID_VENDOR_ENC.
std::string UdevEscape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == ' ' || c == '\\' || c == '/' || c == '"') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// udev's ID_MODEL / ID_VENDOR: blanks as underscores.
std::string UdevPlain(std::string text) {
    for (char& c : text) {
        if (c == ' ') {
            c = '_';
        }
    }
    return text;
}

} // namespace

TMockTestbed::TMockTestbed() {
    if (!PreloadActive()) {
        throw std::runtime_error("not under umockdev's preload: run the test under "
                                 "umockdev-wrapper (see tests/support/MockAdapter.h)");
    }
    FTestbed = umockdev_testbed_new();
    FRoot = Owned(umockdev_testbed_get_root_dir(FTestbed));
}

TMockTestbed::~TMockTestbed() {
    g_object_unref(FTestbed);
    for (const auto& [path, handler] : FIoctlHandlers) {
        g_object_unref(handler);
    }
}

void TMockTestbed::PassIoctls(const std::string& path) {
    if (FIoctlHandlers.count(path) != 0) {
        return;
    }
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(PassIoctl), nullptr);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(FTestbed, path.c_str(), handler, &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        g_object_unref(handler);
        throw std::runtime_error("umockdev_testbed_attach_ioctl " + path + ": " + message);
    }
    FIoctlHandlers[path] = handler;
}

std::string TMockTestbed::LinkFolder(const std::string& name,
                                     const std::vector<std::string>& nodes) {
    // Made through the test bed's real path: the folder can only ever be
    // inside the test bed, whatever the preload does. Before the first
    // adapter, the test bed has no dev folder yet.
    const std::string folder = FRoot + "/dev/" + name;
    for (const std::string& made : {FRoot + "/dev", folder}) {
        if (::mkdir(made.c_str(), 0755) != 0 && errno != EEXIST) {
            throw std::runtime_error("mkdir " + made + ": " + std::strerror(errno));
        }
    }
    for (const std::string& node : nodes) {
        const std::string link = folder + "/" + node;
        ::unlink(link.c_str());
        if (::symlink(("../" + node).c_str(), link.c_str()) != 0) {
            throw std::runtime_error("symlink " + link + ": " + std::strerror(errno));
        }
        PassIoctls("/dev/" + name + "/" + node);
    }
    return "/dev/" + name;
}

void TMockTestbed::AddOtherUsbDevice(int port) {
    const std::string name = "2-" + std::to_string(port);
    Add(FTestbed, "P: /devices/pci0000:00/0000:00:14.0/usb2/" + name +
                      "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=046d"
                      "\nA: idProduct=c077\nA: product=USB Optical Mouse\n");
}

TMockAdapterKind FtdiAdapter() {
    return {};
}

TMockAdapterKind AcmAdapter() {
    TMockAdapterKind kind;
    kind.TtyPrefix = "ttyACM";
    kind.Major = 166;
    kind.VendorId = "0483";
    kind.ProductId = "5740";
    kind.SerialPrefix = "6D8E3B5A554";
    kind.Product = "STM32 Virtual ComPort";
    kind.Manufacturer = "STMicroelectronics";
    kind.Driver = "cdc_acm";
    kind.UsbSerialPort = false;
    kind.ModelFromDatabase = "Virtual COM Port";
    kind.VendorFromDatabase = "STMicroelectronics";
    return kind;
}

TMockAdapterKind Ch340Adapter() {
    TMockAdapterKind kind;
    kind.VendorId = "1a86";
    kind.ProductId = "7523";
    kind.SerialPrefix.clear();
    kind.Product.clear();
    kind.Manufacturer.clear();
    kind.Driver = "ch341";
    kind.ModelFromDatabase = "CH340 serial converter";
    kind.VendorFromDatabase = "QinHeng Electronics";
    return kind;
}

TMockAdapter::TMockAdapter(TMockTestbed& testbed, int number, TMockAdapterKind kind)
    : FTestbed(testbed), FNumber(number), FKind(std::move(kind)) {}

TMockAdapter::~TMockAdapter() {
    if (Plugged()) {
        Unplug();
    }
}

std::string TMockAdapter::TtyName() const {
    return FKind.TtyPrefix + std::to_string(FNumber);
}

std::string TMockAdapter::SerialNumber() const {
    return FKind.SerialPrefix.empty() ? std::string()
                                      : FKind.SerialPrefix + std::to_string(FNumber);
}

// The devices as the kernel lays them out for an adapter on root hub port
// <number + 1> of bus 1, and as umockdev-record writes them: the USB device,
// its interface, for a usb-serial driver the port device, and the tty with
// its node.
void TMockAdapter::Plug() {
    if (Plugged()) {
        return;
    }
    const std::string tty = TtyName();
    const std::string usbName = "1-" + std::to_string(FNumber + 1);
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/" + usbName;
    const std::string interface = usb + "/" + usbName + ":1.0";
    const std::string port = FKind.UsbSerialPort ? interface + "/" + tty : std::string();
    const std::string ttyPath = (FKind.UsbSerialPort ? port : interface) + "/tty/" + tty;
    const std::string driverRoot = "../../../../../../"; // from the interface to /sys

    std::string usbDevice = "P: " + usb +
                            "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb"
                            "\nA: idVendor=" +
                            FKind.VendorId + "\nA: idProduct=" + FKind.ProductId +
                            "\nL: driver=../../../../../bus/usb/drivers/usb\n";
    if (!SerialNumber().empty()) {
        usbDevice += "A: serial=" + SerialNumber() + "\n";
    }
    if (!FKind.Product.empty()) {
        usbDevice += "A: product=" + FKind.Product + "\n";
    }
    if (!FKind.Manufacturer.empty()) {
        usbDevice += "A: manufacturer=" + FKind.Manufacturer + "\n";
    }
    std::string description =
        usbDevice + "\nP: " + interface +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=" + FKind.Driver +
        "\nL: driver=" + driverRoot + "bus/usb/drivers/" + FKind.Driver + "\n\n";
    if (FKind.UsbSerialPort) {
        description += "P: " + port + "\nE: SUBSYSTEM=usb-serial\nE: DRIVER=" + FKind.Driver +
                       "\nL: driver=../" + driverRoot + "bus/usb-serial/drivers/" + FKind.Driver +
                       "\n\n";
    }
    // umockdev (0.17) makes a node's pseudo-terminal once per test bed and
    // keeps it when the device goes: it refuses a second node of that name.
    // A node made before is put back by hand, as umockdev lays it out (a
    // link to the pseudo-terminal, and the device number in dev/.node).
    const auto made = FTestbed.FNodes.find(tty);
    const std::string node = made == FTestbed.FNodes.end() ? "\nN: " + tty : std::string();
    description += "P: " + ttyPath + node + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty +
                   "\nE: MAJOR=" + std::to_string(FKind.Major) +
                   "\nE: MINOR=" + std::to_string(FNumber) +
                   "\nA: dev=" + std::to_string(FKind.Major) + ":" + std::to_string(FNumber) + "\n";
    if (FKind.UdevProperties) {
        // What 60-serial.rules and the usb_id and hwdb builtins add: with no
        // USB string, udev puts the hex ID in its place.
        const std::string model = FKind.Product.empty() ? FKind.ProductId : FKind.Product;
        const std::string vendor = FKind.Manufacturer.empty() ? FKind.VendorId : FKind.Manufacturer;
        description +=
            "E: ID_BUS=usb\nE: ID_VENDOR_ID=" + FKind.VendorId +
            "\nE: ID_MODEL_ID=" + FKind.ProductId + "\nE: ID_VENDOR=" + UdevPlain(vendor) +
            "\nE: ID_VENDOR_ENC=" + UdevEscape(vendor) + "\nE: ID_MODEL=" + UdevPlain(model) +
            "\nE: ID_MODEL_ENC=" + UdevEscape(model) + "\nE: ID_USB_DRIVER=" + FKind.Driver +
            "\nE: ID_USB_INTERFACE_NUM=00" +
            "\nE: ID_MODEL_FROM_DATABASE=" + FKind.ModelFromDatabase +
            "\nE: ID_VENDOR_FROM_DATABASE=" + FKind.VendorFromDatabase + "\n";
        if (!SerialNumber().empty()) {
            description += "E: ID_SERIAL_SHORT=" + SerialNumber() + "\n";
        }
    }
    Add(FTestbed.Get(), description);
    const std::string nodePath = FTestbed.Root() + "/dev/" + tty;
    const std::string number = std::to_string(FKind.Major) + ":" + std::to_string(FNumber);
    if (made == FTestbed.FNodes.end()) {
        char pty[PATH_MAX];
        const ssize_t length = ::readlink(nodePath.c_str(), pty, sizeof pty - 1);
        if (length <= 0) {
            throw std::runtime_error("umockdev made no node " + nodePath);
        }
        FTestbed.FNodes[tty] = std::string(pty, static_cast<std::size_t>(length));
        FTestbed.PassIoctls("/dev/" + tty);
    } else if (::symlink(made->second.c_str(), nodePath.c_str()) != 0 ||
               (::symlink(number.c_str(), (FTestbed.Root() + "/dev/.node/" + tty).c_str()) != 0 &&
                errno != EEXIST)) {
        throw std::runtime_error("cannot put back the node " + nodePath + ": " +
                                 std::strerror(errno));
    }
    FUsbDevice = "/sys" + usb;
    FInterface = "/sys" + interface;
    FPort = port.empty() ? std::string() : "/sys" + port;
    FTty = "/sys" + ttyPath;
}

void TMockAdapter::TtyUevent(const std::string& action) const {
    if (Plugged()) {
        umockdev_testbed_uevent(FTestbed.Get(), FTty.c_str(), action.c_str());
    }
}

void TMockAdapter::Unplug() {
    if (!Plugged()) {
        return;
    }
    // One by one, children first: removing a device takes its folder and
    // those below, but the bus and class links only of the device itself.
    for (const std::string* device : {&FTty, &FPort, &FInterface, &FUsbDevice}) {
        if (!device->empty()) {
            umockdev_testbed_uevent(FTestbed.Get(), device->c_str(), "remove");
            umockdev_testbed_remove_device(FTestbed.Get(), device->c_str());
        }
    }
    FUsbDevice.clear();
    FInterface.clear();
    FPort.clear();
    FTty.clear();
}

} // namespace rc_test
