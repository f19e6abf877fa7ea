// qor ports: the machine's serial ports, as the byte link finds them.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/run.h"
#include "common/message_text.h"
#include "qor_comm.h"

namespace qor::cli {
namespace {

std::string Hex4(int id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id) & 0xffffU);
    return text;
}

// "/dev/ttyUSB0  ftdi_sio  USB 0403:6001 FTDI FT232R USB UART A10K1X2Q",
// then the stable name on a line of its own, indented.
std::string Describe(const QOR_PortInfo &port) {
    std::string line = Escape(port.device);
    if (port.driver[0] != '\0') {
        line += std::string("  ") + Escape(port.driver);
    }
    if (port.usb_vendor >= 0 && port.usb_product >= 0) {
        line += "  USB " + Hex4(port.usb_vendor) + ":" + Hex4(port.usb_product);
    }
    for (const char *detail : {port.manufacturer, port.product, port.serial_number}) {
        if (detail[0] != '\0') {
            line += std::string(" ") + Escape(detail);
        }
    }
    if (port.stable_name[0] != '\0') {
        line += "\n    " + Escape(port.stable_name);
    }
    return line;
}

}  // namespace

int RunPorts(const CommandLine & /*line*/) {
    std::vector<QOR_PortInfo> ports(16);
    int count = QOR_ListPorts(ports.data(), static_cast<int>(ports.size()));
    if (count > static_cast<int>(ports.size())) {
        ports.resize(static_cast<size_t>(count));
        count = QOR_ListPorts(ports.data(), static_cast<int>(ports.size()));
    }
    if (count < 0) {
        ReportError("cannot read the system's list of serial ports");
        return kExitLinkFault;
    }
    if (count == 0) {
        ReportError("no serial ports found");
    }
    // A port that appeared between the two calls waits for the next run.
    for (int i = 0; i < count && i < static_cast<int>(ports.size()); ++i) {
        PrintLine(Describe(ports[static_cast<size_t>(i)]));
    }
    return kExitOk;
}

}  // namespace qor::cli
