// Serial ports on Windows: the names from the registry's SERIALCOMM map
// (every serial port driver enters its ports there), described from the
// Ports device class of SetupAPI where the device is found there.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// initguid first: this file then defines the class GUID it uses.
#include <initguid.h>
// clang-format off
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm/port_list.h"

namespace qor::comm {

namespace {

void Copy(char *field, std::size_t capacity, const char *text) {
    std::snprintf(field, capacity, "%s", text);
}

// The port names of the SERIALCOMM map; false when it cannot be read. A
// machine without serial ports has no such key at all.
bool ReadSerialMap(std::vector<QOR_PortInfo> *found) {
    HKEY key = nullptr;
    LONG opened =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (opened != ERROR_SUCCESS) {
        return false;
    }
    for (DWORD index = 0; index < 4096; ++index) {
        char name[256];
        DWORD name_length = sizeof name;
        BYTE data[256] = {};
        DWORD data_length = sizeof data - 1;
        DWORD type = 0;
        LONG result =
            RegEnumValueA(key, index, name, &name_length, nullptr, &type, data, &data_length);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        QOR_PortInfo info{};
        info.usb_vendor = -1;
        info.usb_product = -1;
        Copy(info.device, sizeof info.device, reinterpret_cast<const char *>(data));
        found->push_back(info);
    }
    RegCloseKey(key);
    return true;
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property) {
    char text[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr,
                                           reinterpret_cast<BYTE *>(text), sizeof text - 1,
                                           nullptr)) {
        return "";
    }
    return text;
}

int HexAfter(const std::string &text, const char *mark) {
    std::size_t at = text.find(mark);
    return at == std::string::npos
               ? -1
               : static_cast<int>(std::strtol(text.c_str() + at + std::strlen(mark), nullptr, 16));
}

// "USB\VID_0403&PID_6001\A12345": the ids, and the serial number when the
// last part is one (Windows makes up a name with "&" in it otherwise).
void DescribeInstance(const std::string &instance, QOR_PortInfo *info) {
    if (instance.rfind("USB\\", 0) != 0 && instance.rfind("FTDIBUS\\", 0) != 0) {
        return;
    }
    info->usb_vendor = HexAfter(instance, "VID_");
    info->usb_product = HexAfter(instance, "PID_");
    std::string last = instance.substr(instance.rfind('\\') + 1);
    if (last.find('&') == std::string::npos) {
        Copy(info->serial_number, sizeof info->serial_number, last.c_str());
    }
}

void DescribeDevice(HDEVINFO set, SP_DEVINFO_DATA *device, std::vector<QOR_PortInfo> *found) {
    char port_name[64] = {};
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD length = sizeof port_name - 1;
    RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE *>(port_name),
                     &length);
    RegCloseKey(key);
    for (QOR_PortInfo &info : *found) {
        if (_stricmp(info.device, port_name) != 0) {
            continue;
        }
        Copy(info.product, sizeof info.product, Property(set, device, SPDRP_FRIENDLYNAME).c_str());
        Copy(info.manufacturer, sizeof info.manufacturer, Property(set, device, SPDRP_MFG).c_str());
        Copy(info.driver, sizeof info.driver, Property(set, device, SPDRP_SERVICE).c_str());
        char instance[256] = {};
        if (SetupDiGetDeviceInstanceIdA(set, device, instance, sizeof instance, nullptr)) {
            DescribeInstance(instance, &info);
        }
    }
}

void DescribeFromDeviceClass(std::vector<QOR_PortInfo> *found) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        DescribeDevice(set, &device, found);
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

int ListPorts(const char *, QOR_PortInfo *ports, int capacity) {
    std::vector<QOR_PortInfo> found;
    if (!ReadSerialMap(&found)) {
        return -1;
    }
    DescribeFromDeviceClass(&found);
    return HandOutPorts(found, ports, capacity);
}

}  // namespace qor::comm
