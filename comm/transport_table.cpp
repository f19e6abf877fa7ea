#include "comm/transport_table.h"

#include <cstring>

namespace qor::comm {

namespace {

constexpr unsigned kEveryLinkOptions = OptionBit(Option::kTimeout) |
                                       OptionBit(Option::kReplyTimeout) |
                                       OptionBit(Option::kRecovery) | OptionBit(Option::kGuard);
// The serial line's own settings, which a com port server sets for us.
constexpr unsigned kLineOptions = OptionBit(Option::kBaud) | OptionBit(Option::kByteSize) |
                                  OptionBit(Option::kParity) | OptionBit(Option::kStopBits);
// What only the driver of a local device can do.
constexpr unsigned kDriverOptions =
    OptionBit(Option::kRs485) | OptionBit(Option::kRs485DelayBefore) |
    OptionBit(Option::kRs485DelayAfter) | OptionBit(Option::kLowLatency);
// Whether a local device is held for one program (the default) or shared.
constexpr unsigned kDeviceOptions = kDriverOptions | OptionBit(Option::kExclusive);

constexpr Transport kTransports[] = {
    {"socket://", "socket://", LocationForm::kHostAndPort,
     kEveryLinkOptions | OptionBit(Option::kConnectTimeout), &kSocketLinkOps},
    {"rfc2217://", "rfc2217://", LocationForm::kHostAndPort,
     kEveryLinkOptions | OptionBit(Option::kConnectTimeout) | kLineOptions, &kRfc2217LinkOps},
    // Last: a device path has no scheme.
    {"", "a serial device", LocationForm::kDevicePath,
     kEveryLinkOptions | kLineOptions | kDeviceOptions, &kSerialLinkOps},
};

}  // namespace

const Transport *FindTransport(const char *text) {
    for (const Transport &transport : kTransports) {
        std::size_t length = std::strlen(transport.scheme);
        if (length > 0 && std::strncmp(text, transport.scheme, length) == 0) {
            return &transport;
        }
    }
    // "xyz://" is some other kind of link this library does not speak; it
    // must not be taken for a device path.
    const char *options = std::strchr(text, '?');
    const char *scheme_end = std::strstr(text, "://");
    if (scheme_end != nullptr && (options == nullptr || scheme_end < options)) {
        return nullptr;
    }
    return &kTransports[sizeof kTransports / sizeof kTransports[0] - 1];
}

}  // namespace qor::comm
