// The [[link]] tables of the configuration file, their [[link.module]]
// tables and each module's polls, for config.cpp.
#ifndef QOR_GATEWAY_CORE_LINK_CONFIG_H
#define QOR_GATEWAY_CORE_LINK_CONFIG_H

#include <string>
#include <vector>

#include "gateway/core/config.h"
#include "gateway/core/section_reader.h"

namespace qor::gateway {

// Reads the file's links into *links, every problem into the file's
// problems; true when there was none.
bool ReadLinks(SectionReader &file, std::vector<LinkSpec> *links);

// Why a name cannot be one level of a topic ("" when it can): 1 to 64
// letters, digits, '_', '-' or '.', which read the same in a shell.
std::string NameProblem(const std::string &name, const std::string &what);

}  // namespace qor::gateway

#endif
