// Where the gateway meets what the byte link will tell about a port: the
// text of a module's error reply, the reason a link failed, and the trace
// of each frame for --verbose. Each is one function here, so that the byte
// link's reporting functions plug in at one place each; until they exist
// these give what the protocol library's status and error already say.
#ifndef QOR_GATEWAY_LINK_HOOKS_H
#define QOR_GATEWAY_LINK_HOOKS_H

#include <string>

namespace qor::gateway {

// The module's own error text for a transaction that ended with
// QOR_STATUS_REPLY_FAULT and a module error code ("?1 RANGE" once the byte
// link reports replies; for now the error code's character, "R"). Empty for
// every other outcome.
std::string ModuleErrorText(int port, int status, int error);

// Why the link of a port failed, for the log ("connection refused" once the
// byte link reports it; for now what the status and error say).
std::string LinkFailureText(int port, int status, int error);

// Sends the byte link's trace of the port (frames written, replies read,
// time-outs, opening, closing, reconnecting) to the log as trace lines
// tagged with the link's name. Returns false while the byte link has no
// trace hook; the gateway then traces each transaction itself.
bool InstallLinkTrace(int port, const std::string &link_name);
void RemoveLinkTrace(int port);

}  // namespace qor::gateway

#endif
