// Where the gateway meets what the byte link tells about a port: the text of
// a module's error reply (from the byte link's trace), the reason a link
// failed (QOR_PortError), and the trace of each frame for --verbose.
#ifndef QOR_GATEWAY_LINK_HOOKS_H
#define QOR_GATEWAY_LINK_HOOKS_H

#include <string>

namespace qor::gateway {

// The module's own error reply, "?1 RANGE", for a transaction on a traced
// port that ended with QOR_STATUS_REPLY_FAULT and a module error code (the
// code's character, "R", where the reply is not known). Empty for every
// other outcome.
std::string ModuleErrorText(int port, int status, int error);

// Why the link of a port failed, for the log: the byte link's reason
// ("cannot open ...: connection refused"), else what status and error say.
std::string LinkFailureText(int port, int status, int error);

// Follows the byte link's trace of the port (frames written, replies read,
// time-outs, opening, closing, reconnecting): it keeps each transaction's
// module error reply, and with --verbose logs every event as a trace line
// tagged with the link's name. Returns true: the gateway then need not
// trace each transaction itself.
bool InstallLinkTrace(int port, const std::string &link_name);
void RemoveLinkTrace(int port);

}  // namespace qor::gateway

#endif
