// What the three command families share.
#ifndef QOR_COMMANDS_COMMANDS_H
#define QOR_COMMANDS_COMMANDS_H

#include <cstdint>

namespace qor {

// Copies Status and Error to the caller's out-parameters, status first.
void WriteOutcome(int *status, int *error);

// One "RD"-like step whose reply carries a value field; returns the value, or
// 0.0 when the transaction failed.
float QueryValue(int port, std::int32_t address, std::int32_t code);

// "WE", and only after it was accepted the command itself; leaves the
// outcome in Status and Error.
void CommandAfterWe(int port, std::int32_t address, std::int32_t code, std::int32_t param,
                    float value);

}  // namespace qor

#endif  // QOR_COMMANDS_COMMANDS_H
