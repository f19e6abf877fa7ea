// Times as ISO 8601 in UTC with milliseconds, "2025-03-01T12:00:00.250Z",
// for the CLI's poll rows and every time stamp the gateway publishes.
#ifndef QOR_COMMON_ISO_TIME_H
#define QOR_COMMON_ISO_TIME_H

#include <chrono>
#include <string>

namespace qor::text {

// In integer calendar arithmetic: the C runtime's gmtime is not used, since
// Windows' refuses times before 1970.
std::string IsoUtc(std::chrono::system_clock::time_point when);

}  // namespace qor::text

#endif
