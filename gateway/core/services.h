// What an output may use of the core: the plant state it reads (and adds
// its events to), the intake its commands go through, and the list of
// outputs (the HTTP server shows the health of them all).
#ifndef QOR_GATEWAY_CORE_SERVICES_H
#define QOR_GATEWAY_CORE_SERVICES_H

#include "gateway/core/intake.h"
#include "gateway/core/outputs.h"
#include "gateway/core/plant_state.h"

namespace qor::gateway {

struct OutputServices {
    PlantState &plant;
    CommandIntake &intake;
    const Outputs &outputs;
};

}  // namespace qor::gateway

#endif
