// Serial ports from sysfs: every entry of /sys/class/tty with a device
// behind it (virtual consoles and pseudo-terminals have none), less the
// ports the kernel reserves without a UART (type 0), described from the
// device's driver and, for USB adapters, the USB device above it.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "comm/port_list.h"

namespace qor::comm {

namespace {

// How far above the tty's device the USB device may be: the interface,
// then the device (usb-serial adds a port device below the interface).
constexpr int kMaxUsbLevels = 4;

// The first line of a sysfs attribute, without its newline; "" when absent.
std::string ReadAttribute(const std::string &path) {
    char line[256] = {};
    if (FILE *file = std::fopen(path.c_str(), "re")) {
        if (std::fgets(line, sizeof line, file) == nullptr) {
            line[0] = '\0';
        }
        std::fclose(file);
    }
    line[std::strcspn(line, "\r\n")] = '\0';
    return line;
}

bool Exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string LinkName(const std::string &path) {
    char target[PATH_MAX];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return "";
    }
    target[length] = '\0';
    const char *slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

void Copy(char *field, std::size_t capacity, const std::string &text) {
    std::snprintf(field, capacity, "%s", text.c_str());
}

int HexNumber(const std::string &text) {
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, 16);
    return text.empty() || *end != '\0' ? -1 : static_cast<int>(value);
}

// The USB device (the directory with idVendor) at or above `device`.
void DescribeUsb(const std::string &sys_devices, std::string device, QOR_PortInfo *info) {
    for (int level = 0; level < kMaxUsbLevels && device.size() > sys_devices.size(); ++level) {
        if (Exists(device + "/idVendor")) {
            info->usb_vendor = HexNumber(ReadAttribute(device + "/idVendor"));
            info->usb_product = HexNumber(ReadAttribute(device + "/idProduct"));
            Copy(info->manufacturer, sizeof info->manufacturer,
                 ReadAttribute(device + "/manufacturer"));
            Copy(info->product, sizeof info->product, ReadAttribute(device + "/product"));
            Copy(info->serial_number, sizeof info->serial_number,
                 ReadAttribute(device + "/serial"));
            return;
        }
        device.erase(device.rfind('/'));
    }
}

// The /dev/serial/by-id link that points at /dev/<name>, if any.
std::string StableName(const std::string &root, const char *name) {
    const std::string folder = root + "/dev/serial/by-id";
    std::string found;
    if (DIR *dir = opendir(folder.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.' && LinkName(folder + "/" + entry->d_name) == name) {
                found = "/dev/serial/by-id/" + std::string(entry->d_name);
                break;
            }
        }
        closedir(dir);
    }
    return found;
}

bool Describe(const std::string &root, const char *name, QOR_PortInfo *info) {
    const std::string entry = root + "/sys/class/tty/" + name;
    char device[PATH_MAX];
    if (realpath((entry + "/device").c_str(), device) == nullptr ||
        ReadAttribute(entry + "/type") == "0") {
        return false;
    }
    *info = QOR_PortInfo{};
    info->usb_vendor = -1;
    info->usb_product = -1;
    Copy(info->device, sizeof info->device, std::string("/dev/") + name);
    Copy(info->driver, sizeof info->driver, LinkName(std::string(device) + "/driver"));
    char sys_devices[PATH_MAX];
    if (realpath((root + "/sys/devices").c_str(), sys_devices) != nullptr) {
        DescribeUsb(sys_devices, device, info);
    }
    Copy(info->stable_name, sizeof info->stable_name, StableName(root, name));
    return true;
}

}  // namespace

int ListPorts(const char *root, QOR_PortInfo *ports, int capacity) {
    const std::string base = root != nullptr ? root : "";
    DIR *dir = opendir((base + "/sys/class/tty").c_str());
    if (dir == nullptr) {
        return -1;
    }
    std::vector<QOR_PortInfo> found;
    while (const dirent *entry = readdir(dir)) {
        QOR_PortInfo info;
        if (entry->d_name[0] != '.' && Describe(base, entry->d_name, &info)) {
            found.push_back(info);
        }
    }
    closedir(dir);
    return HandOutPorts(found, ports, capacity);
}

}  // namespace qor::comm
