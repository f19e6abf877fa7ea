// The daemon's log: one line per event on standard error, which systemd's
// journal (or whoever started the daemon) collects.
#ifndef QOR_GATEWAY_LOG_H
#define QOR_GATEWAY_LOG_H

#include <string>

namespace qor::gateway {

enum class Level { kError, kWarning, kInfo, kTrace };

// Writes "qor-gateway: LEVEL: message" as one line; lines from different
// threads never interleave. kTrace lines appear only with SetVerbose(true).
void Log(Level level, const std::string &message);
void SetVerbose(bool verbose);
bool Verbose();

}  // namespace qor::gateway

#endif
