// QOR_CheckTarget: the target parser of QOR_OpenPort, without opening.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "comm/target.h"
#include "qor_comm.h"

extern "C" int QOR_CheckTarget(const char *target, char *why, int size) {
    qor::comm::Target parsed;
    char reason[qor::comm::kTargetTextCapacity] = {};
    bool ok = qor::comm::ParseTarget(target, &parsed, reason, sizeof reason);
    if (why != nullptr && size > 0) {
        std::size_t room = static_cast<std::size_t>(size) - 1;
        std::size_t length = ok ? 0 : std::min(std::strlen(reason), room);
        std::memcpy(why, reason, length);
        why[length] = '\0';
    }
    return ok ? 1 : 0;
}
