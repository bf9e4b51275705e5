// The identity of a serial port on Linux, from udev (libudev).
//
// The port's device node gives its device number (stat()), udev the device
// of that number: a tty, below it (for a USB adapter) the usb-serial port or
// the USB interface, and the USB device with the IDs and strings. Where
// udev's rules ran (60-serial.rules: ID_VENDOR_ID, ID_MODEL_ID,
// ID_SERIAL_SHORT, ID_USB_DRIVER, the hwdb names) the tty's properties are
// read; where they did not (no udevd, as in many containers) the USB
// device's sysfs attributes, through libudev.
#include "sign/PortIdentity.h"

#include "serial/driver/PosixPorts.h"
#include "sign/PortIdentityText.h"

#include <libudev.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace sign {

namespace {

struct TUdevUnref {
    void operator()(udev* context) const { udev_unref(context); }
};
struct TDeviceUnref {
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
using TUdevPtr = std::unique_ptr<udev, TUdevUnref>;
using TDevicePtr = std::unique_ptr<udev_device, TDeviceUnref>;

// udev's device for the character device at path, or null.
//
// stat() follows links to what the kernel finds at their end. That is the
// device udev knows, except for devices emulated in user space: a node made
// by such an emulator (umockdev's, in the tests) is itself a link to a
// pseudo-terminal, which udev does not know. So when udev knows no device
// of that number, the link is followed here one step and the node it names
// tried in turn, as far as links go (at most 8 steps).
TDevicePtr DeviceAt(udev* context, std::string path) {
    for (int step = 0; step < 8 && !path.empty(); ++step) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
            if (udev_device* device = udev_device_new_from_devnum(context, 'c', st.st_rdev)) {
                return TDevicePtr(device);
            }
        }
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
        if (length <= 0) {
            return nullptr;
        }
        std::filesystem::path next(std::string(target, static_cast<std::size_t>(length)));
        if (next.is_relative()) {
            next = std::filesystem::path(path).parent_path() / next;
        }
        path = next.lexically_normal().string();
    }
    return nullptr;
}

std::string Text(const char* value) {
    return value == nullptr ? std::string() : std::string(value);
}

// What the tty and its USB device tell about the port.
class TDeviceFacts {
public:
    explicit TDeviceFacts(udev_device* tty)
        : FTty(tty), FUsb(udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
    }

    // A property set by udev's rules, on the tty or else on its USB device.
    std::string Property(const char* key) const {
        std::string value = Text(udev_device_get_property_value(FTty, key));
        if (value.empty() && FUsb != nullptr) {
            value = Text(udev_device_get_property_value(FUsb, key));
        }
        return value;
    }

    // A sysfs attribute of the USB device; empty when it is not a USB one.
    std::string UsbAttribute(const char* name) const {
        return FUsb == nullptr ? std::string() : Text(udev_device_get_sysattr_value(FUsb, name));
    }

    std::string PropertyOrAttribute(const char* key, const char* attribute) const {
        std::string value = Property(key);
        return value.empty() ? UsbAttribute(attribute) : value;
    }

    // The driver bound to the device that the tty belongs to: the usb-serial
    // port's (ftdi_sio, cp210x...) or the interface's (cdc_acm) for a USB
    // adapter, the platform's or the bus's for others (serial8250). The USB
    // device's own driver ("usb") says nothing about the port.
    std::string Driver() const {
        std::string driver = Property("ID_USB_DRIVER");
        for (udev_device* device = FTty; driver.empty() && device != nullptr;
             device = udev_device_get_parent(device)) {
            if (device == FUsb) {
                break;
            }
            driver = Text(udev_device_get_driver(device));
        }
        return driver;
    }

    // The product or maker as the device names itself (its USB string, from
    // udev's escaped property or from sysfs), else the name in udev's
    // hardware database. udev puts the bare hex ID in the escaped property
    // when the device has no string; that is not a name.
    std::string Name(const char* escapedKey, const char* attribute, const char* databaseKey,
                     const std::string& hexId) const {
        std::string name = identity::UdevUnescape(Property(escapedKey));
        if (name.empty() || (!hexId.empty() && identity::HexId(name) == hexId)) {
            name = UsbAttribute(attribute);
        }
        if (identity::Trimmed(name).empty()) {
            name = Property(databaseKey);
        }
        return name;
    }

private:
    udev_device* FTty;
    udev_device* FUsb; // owned by FTty; null for a port that is not on USB
};

TPortIdentity IdentityOf(udev* context, const std::string& name) {
    TPortIdentity port;
    port.Name = name;
    if (context == nullptr) {
        return port;
    }
    const TDevicePtr tty = DeviceAt(context, comm::posix::DevicePath(name));
    if (!tty) {
        return port;
    }
    const TDeviceFacts facts(tty.get());
    port.VendorId = identity::HexId(facts.PropertyOrAttribute("ID_VENDOR_ID", "idVendor"));
    port.ProductId = identity::HexId(facts.PropertyOrAttribute("ID_MODEL_ID", "idProduct"));
    port.SerialNumber = identity::Trimmed(facts.PropertyOrAttribute("ID_SERIAL_SHORT", "serial"));
    port.Driver = facts.Driver();
    port.Description = identity::Describe(
        facts.Name("ID_MODEL_ENC", "product", "ID_MODEL_FROM_DATABASE", port.ProductId),
        facts.Name("ID_VENDOR_ENC", "manufacturer", "ID_VENDOR_FROM_DATABASE", port.VendorId));
    return port;
}

} // namespace

std::vector<TPortIdentity> PortIdentities(const std::vector<std::string>& names) {
    const TUdevPtr context(udev_new());
    std::vector<TPortIdentity> identities;
    identities.reserve(names.size());
    for (const std::string& name : names) {
        identities.push_back(IdentityOf(context.get(), name));
    }
    return identities;
}

} // namespace sign
