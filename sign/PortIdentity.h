#pragma once
// Which device a port is: the USB adapter's product and maker, its vendor and
// product ID, serial number and driver, for the technician who has a bag of
// adapters and needs the one in their hand.
//
// Linux: from udev (libudev), by the port's device number, so that a symlink
// or a port given by its full path is found as well as a bare name under
// /dev. Windows: from SetupAPI's "Ports" class (the friendly name, as
// "USB Serial Port (COM4)", and the hardware ID). A port that udev or SetupAPI
// does not know, or that is not a USB device (a pseudo-terminal, a
// mainboard's UART without a product string), gets empty fields where nothing
// is known; nothing here fails or throws. Opens no port; thread-safe.

#include <string>
#include <vector>

namespace sign {

struct TPortIdentity {
    std::string Name;        // the port as given ("ttyUSB0", "/tmp/x/ttyUSB0", "COM4")
    std::string Description; // "FT232R USB UART (FTDI)", "USB Serial Port (COM4)"; may be empty
    std::string VendorId;    // four lower-case hex digits ("0403"); empty: not known
    std::string ProductId;   // four lower-case hex digits ("6001"); empty: not known
    std::string SerialNumber;
    std::string Driver; // "ftdi_sio", "FTDIBUS"; empty: not known

    // "0403:6001", or empty when either ID is not known.
    std::string VidPid() const;
    // Whether anything is known of the device.
    bool Known() const;
    friend bool operator==(const TPortIdentity&, const TPortIdentity&) = default;
};

// The identity of one port, named as the port scan names it.
TPortIdentity PortIdentityOf(const std::string& name);
// The identities of several ports, in the same order: one look-up session for
// the whole list.
std::vector<TPortIdentity> PortIdentities(const std::vector<std::string>& names);

} // namespace sign
