// The identity of a COM port on Windows, from SetupAPI's "Ports" class.
//
// Every present device of the class is read once per call: its port name
// (the value "PortName" of its device registry key), friendly name ("USB
// Serial Port (COM4)"), hardware ID (the vendor and product IDs, from
// "USB\VID_0403&PID_6001..." or "FTDIBUS\COMPORT&VID_0403&PID_6001"), instance
// ID (the serial number, where it is one; see SerialOfInstanceId) and service
// (the driver: "FTSER2K", "usbser", "silabser"). Text comes in UTF-16 and goes
// out in UTF-8.
#include "sign/PortIdentity.h"

#include "sign/PortIdentityText.h"

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>

namespace sign {

namespace {

std::string Utf8(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

// A text property of the device (the first string of a list), or empty.
std::string Property(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    DWORD type = 0;
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    // Room for the terminating zeros that a value may lack.
    std::wstring buffer(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        return {};
    }
    return Utf8(buffer.c_str());
}

std::string InstanceId(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    DWORD size = 0;
    SetupDiGetDeviceInstanceIdW(devices, &device, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    std::wstring buffer(size + 1, L'\0');
    if (!SetupDiGetDeviceInstanceIdW(devices, &device, buffer.data(), size, nullptr)) {
        return {};
    }
    return Utf8(buffer.c_str());
}

std::string PortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    const HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    wchar_t name[256] = {};
    DWORD type = 0;
    DWORD size = sizeof name - sizeof(wchar_t); // the last one stays zero
    const LSTATUS status =
        RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? Utf8(name) : std::string();
}

// "COM4", "com4" and "\\.\COM4" name the same port.
std::string PortKey(std::string name) {
    static const char kPrefix[] = "\\\\.\\";
    if (name.rfind(kPrefix, 0) == 0) {
        name.erase(0, sizeof kPrefix - 1);
    }
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    return name;
}

TPortIdentity IdentityOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    TPortIdentity port;
    port.Description = Property(devices, device, SPDRP_FRIENDLYNAME);
    if (port.Description.empty()) {
        port.Description = Property(devices, device, SPDRP_DEVICEDESC);
    }
    const std::string instance = InstanceId(devices, device);
    identity::TUsbIds ids = identity::UsbIdsOf(Property(devices, device, SPDRP_HARDWAREID));
    if (ids.VendorId.empty() || ids.ProductId.empty()) {
        ids = identity::UsbIdsOf(instance);
    }
    port.VendorId = ids.VendorId;
    port.ProductId = ids.ProductId;
    port.SerialNumber = identity::SerialOfInstanceId(instance);
    port.Driver = Property(devices, device, SPDRP_SERVICE);
    return port;
}

} // namespace

std::vector<TPortIdentity> PortIdentities(const std::vector<std::string>& names) {
    std::vector<TPortIdentity> identities(names.size());
    std::vector<std::string> keys(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        identities[i].Name = names[i];
        keys[i] = PortKey(names[i]);
    }
    if (names.empty()) {
        return identities;
    }
    const HDEVINFO devices =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return identities;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const std::string key = PortKey(PortName(devices, device));
        if (key.empty() || std::find(keys.begin(), keys.end(), key) == keys.end()) {
            continue;
        }
        const TPortIdentity found = IdentityOf(devices, device);
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (keys[i] == key) {
                identities[i] = found;
                identities[i].Name = names[i];
            }
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return identities;
}

} // namespace sign
