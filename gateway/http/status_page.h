// The status page: one HTML document with its style and script inline, so
// that it needs no file, no build step and no other server. It polls
// /api/state every second and draws the gateway from it.
#ifndef QOR_GATEWAY_STATUS_PAGE_H
#define QOR_GATEWAY_STATUS_PAGE_H

#include <string>

namespace qor::gateway {

const std::string &StatusPage();

}  // namespace qor::gateway

#endif
