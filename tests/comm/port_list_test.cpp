// Serial port discovery against a fixture tree shaped like sysfs and /dev
// (the internal ListPorts takes the root the public QOR_ListPorts sets to
// "/"), and once against the real machine.
#include "comm/port_list.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qor_comm.h"

namespace {

// A temporary tree: directories, attribute files and relative symlinks, as
// the kernel lays them out.
class Tree {
  public:
    Tree() {
        char path[] = "/tmp/qor_sysfs_XXXXXX";
        root_ = mkdtemp(path) != nullptr ? path : "";
    }
    ~Tree() { std::system(("rm -rf '" + root_ + "'").c_str()); }
    const std::string &Root() const { return root_; }

    void Folder(const std::string &path) {
        for (std::size_t at = 0; at != std::string::npos;) {
            at = path.find('/', at + 1);
            mkdir((root_ + path.substr(0, at)).c_str(), 0755);
        }
    }
    void File(const std::string &path, const std::string &text) {
        Folder(path.substr(0, path.rfind('/')));
        if (FILE *file = std::fopen((root_ + path).c_str(), "w")) {
            std::fputs((text + "\n").c_str(), file);
            std::fclose(file);
        }
    }
    void Link(const std::string &path, const std::string &target) {
        Folder(path.substr(0, path.rfind('/')));
        EXPECT_EQ(0, symlink(target.c_str(), (root_ + path).c_str())) << path;
    }
    // A tty class entry for the device folder `device` (under /sys/devices).
    void Tty(const std::string &name, const std::string &device) {
        const std::string entry = "/sys/devices/" + device + "/tty/" + name;
        Folder(entry);
        Link(entry + "/device", "../..");
        Link("/sys/class/tty/" + name, "../../devices/" + device + "/tty/" + name);
    }

  private:
    std::string root_;
};

const char kUsbDevice[] = "pci0000:00/0000:00:14.0/usb1/1-2";
const char kAcmDevice[] = "pci0000:00/0000:00:14.0/usb1/1-3";

void BuildMachine(Tree &tree) {
    // An FTDI adapter: usb-serial puts a port device below the interface.
    const std::string usb = std::string("/sys/devices/") + kUsbDevice;
    tree.File(usb + "/idVendor", "0403");
    tree.File(usb + "/idProduct", "6001");
    tree.File(usb + "/manufacturer", "FTDI");
    tree.File(usb + "/product", "FT232R USB UART");
    tree.File(usb + "/serial", "A12345");
    tree.Folder("/sys/bus/usb-serial/drivers/ftdi_sio");
    tree.Tty("ttyUSB0", std::string(kUsbDevice) + "/1-2:1.0/ttyUSB0");
    tree.Link(usb + "/1-2:1.0/ttyUSB0/driver",
              "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
    // A CDC ACM device without a serial number: the tty hangs off the interface.
    const std::string acm = std::string("/sys/devices/") + kAcmDevice;
    tree.File(acm + "/idVendor", "2341");
    tree.File(acm + "/idProduct", "0043");
    tree.File(acm + "/product", "Uno");
    tree.Folder("/sys/bus/usb/drivers/cdc_acm");
    tree.Tty("ttyACM0", std::string(kAcmDevice) + "/1-3:1.0");
    tree.Link(acm + "/1-3:1.0/driver", "../../../../../../bus/usb/drivers/cdc_acm");
    // Two on-board UART places, one with a UART; ttyS10 sorts after ttyS2.
    tree.Folder("/sys/bus/platform/drivers/serial8250");
    tree.Link("/sys/devices/platform/serial8250/driver",
              "../../../bus/platform/drivers/serial8250");
    for (const char *name : {"ttyS2", "ttyS10", "ttyS3"}) {
        tree.Tty(name, "platform/serial8250");
        tree.File(std::string("/sys/devices/platform/serial8250/tty/") + name + "/type",
                  std::string(name) == "ttyS3" ? "0" : "4");
    }
    // A virtual console: no device behind it.
    tree.Folder("/sys/devices/virtual/tty/tty1");
    tree.Link("/sys/class/tty/tty1", "../../devices/virtual/tty/tty1");
    tree.Link("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0", "../../ttyUSB0");
    tree.Link("/dev/serial/by-id/usb-Arduino_Uno-if00", "../../ttyACM0");
}

struct Expected {
    const char *device;
    const char *stable_name;
    const char *driver;
    int usb_vendor;
    int usb_product;
    const char *manufacturer;
    const char *product;
    const char *serial_number;
};

TEST(CommPortList, FixtureMachineIsDescribedAndSorted) {
    Tree tree;
    BuildMachine(tree);
    const Expected expected[] = {
        {"/dev/ttyACM0", "/dev/serial/by-id/usb-Arduino_Uno-if00", "cdc_acm", 0x2341, 0x0043, "",
         "Uno", ""},
        {"/dev/ttyS2", "", "serial8250", -1, -1, "", "", ""},
        {"/dev/ttyS10", "", "serial8250", -1, -1, "", "", ""},
        {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0", "ftdi_sio",
         0x0403, 0x6001, "FTDI", "FT232R USB UART", "A12345"},
    };
    QOR_PortInfo ports[8];
    ASSERT_EQ(4, qor::comm::ListPorts(tree.Root().c_str(), ports, 8));
    for (int i = 0; i < 4; ++i) {
        const Expected &e = expected[i];
        SCOPED_TRACE(e.device);
        EXPECT_STREQ(e.device, ports[i].device);
        EXPECT_STREQ(e.stable_name, ports[i].stable_name);
        EXPECT_STREQ(e.driver, ports[i].driver);
        EXPECT_EQ(e.usb_vendor, ports[i].usb_vendor);
        EXPECT_EQ(e.usb_product, ports[i].usb_product);
        EXPECT_STREQ(e.manufacturer, ports[i].manufacturer);
        EXPECT_STREQ(e.product, ports[i].product);
        EXPECT_STREQ(e.serial_number, ports[i].serial_number);
    }
}

TEST(CommPortList, CountWithoutRoomAndAMissingTree) {
    Tree tree;
    BuildMachine(tree);
    EXPECT_EQ(4, qor::comm::ListPorts(tree.Root().c_str(), nullptr, 0));
    QOR_PortInfo one[1];
    EXPECT_EQ(4, qor::comm::ListPorts(tree.Root().c_str(), one, 1));
    EXPECT_STREQ("/dev/ttyACM0", one[0].device);
    EXPECT_EQ(-1, qor::comm::ListPorts((tree.Root() + "/nothing").c_str(), one, 1));
}

// The real machine, whatever it has: each port is a device path, and the
// count does not change between a count and a fill.
TEST(CommPortList, RealMachineListsWithoutTrouble) {
    int count = QOR_ListPorts(nullptr, 0);
    ASSERT_GE(count, -1);
    if (count <= 0) {
        GTEST_SKIP() << "no serial ports on this machine";
    }
    std::vector<QOR_PortInfo> ports(static_cast<std::size_t>(count));
    EXPECT_EQ(count, QOR_ListPorts(ports.data(), count));
    for (const QOR_PortInfo &port : ports) {
        EXPECT_EQ(0, std::string(port.device).rfind("/dev/", 0)) << port.device;
    }
}

}  // namespace
