// The [http] section: where the status page, /metrics and the health checks
// listen, their TLS files, users and threads. docs/man/qor-gateway.1
// describes every key; HttpSpec is in core/config.h.
#ifndef QOR_GATEWAY_HTTP_CONFIG_H
#define QOR_GATEWAY_HTTP_CONFIG_H

namespace qor::gateway {

struct Config;
struct SectionInput;

// Reads [http] (core/section_reader.h); outputs.cpp names it among the
// file's sections. Without the table the server stays off.
void ReadHttpSection(SectionInput &input, Config *config);

}  // namespace qor::gateway

#endif
