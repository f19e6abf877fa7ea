// The [sparkplug] section: the gateway as a Sparkplug B edge node, its
// group, node id, primary host and bdSeq file. docs/man/qor-gateway.1
// describes every key; SparkplugSpec is in core/config.h.
#ifndef QOR_GATEWAY_SPARKPLUG_CONFIG_H
#define QOR_GATEWAY_SPARKPLUG_CONFIG_H

namespace qor::gateway {

struct Config;
struct SectionInput;

// Reads [sparkplug] (core/section_reader.h); outputs.cpp names it among
// the file's sections. The edge node id defaults to the broker's
// client_id, so it is read after [broker].
void ReadSparkplugSection(SectionInput &input, Config *config);

}  // namespace qor::gateway

#endif
