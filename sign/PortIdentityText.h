#pragma once
// The texts that the device managers give about a port, read into the fields
// of TPortIdentity. Shared by the Linux and Windows look-ups and built on
// both, so that the Windows parsing is tested natively too. Pure functions;
// nothing here throws.

#include <string>
#include <string_view>

namespace sign::identity {

// A USB vendor or product ID as four lower-case hex digits: "0403" from
// "0403", "0x0403" or "0403\n". Empty for anything else.
std::string HexId(std::string_view text);

// text without the blanks around it.
std::string Trimmed(std::string_view text);

// "<product> (<manufacturer>)", or whichever of the two is not blank; each
// without surrounding blanks (USB strings often carry trailing spaces).
std::string Describe(std::string_view product, std::string_view manufacturer);

// A udev property value with its "\xNN" escapes decoded ("FT232R\x20USB"
// -> "FT232R USB"), as in ID_MODEL_ENC.
std::string UdevUnescape(std::string_view text);

// Windows device IDs (a hardware ID or a device instance ID), as SetupAPI
// gives them: "USB\VID_0403&PID_6001&REV_0600",
// "FTDIBUS\COMPORT&VID_0403&PID_6001", "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000".
struct TUsbIds {
    std::string VendorId;  // HexId of the digits after "VID_"; empty when absent
    std::string ProductId; // HexId of the digits after "PID_"; empty when absent
};
TUsbIds UsbIdsOf(std::string_view deviceId);

// The USB serial number that a device instance ID carries, or empty:
//  - "USB\VID_xxxx&PID_yyyy\<serial>": Windows names a USB device by its
//    serial number when it has one, else by a made-up part with '&' in it
//    ("5&1A2B3C4D&0&2"), which is no serial number;
//  - "FTDIBUS\VID_xxxx+PID_yyyy+<serial><port letter>\0000": FTDI's bus
//    driver appends the port's letter (A for the first port of the chip) to
//    the serial number; the letter is dropped, so both platforms show the
//    number the USB device reports.
// Any other enumerator (ACPI, PCI, BTHENUM...): empty.
std::string SerialOfInstanceId(std::string_view instanceId);

} // namespace sign::identity
