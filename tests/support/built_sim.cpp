#include "sim/sim_process.h"

namespace qor::test {

std::string BuiltSimPath() {
    return QOR_SIM_PATH;
}

SimProcess::SimProcess(const std::vector<std::string> &arguments) {
    SimStart start;
    start.program = BuiltSimPath();
    Start(start, arguments);
}

}  // namespace qor::test
