// Every output of the gateway, made in one place: adding an output is a
// folder of its own with a class that implements Output (core/output.h),
// and one line here (CONTRIBUTING.md, "Adding a gateway output"); a
// section of the configuration file it reads is one row of
// OutputSections (declared in core/config.h, defined in outputs.cpp).
#ifndef QOR_GATEWAY_OUTPUTS_H
#define QOR_GATEWAY_OUTPUTS_H

#include <memory>
#include <vector>

#include "gateway/core/output.h"
#include "gateway/core/services.h"

namespace qor::gateway {

std::vector<std::unique_ptr<Output>> MakeOutputs(const OutputServices &services);

}  // namespace qor::gateway

#endif
