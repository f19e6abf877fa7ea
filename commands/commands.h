// What the three command families share: one routine runs every export.
#ifndef QOR_COMMANDS_COMMANDS_H
#define QOR_COMMANDS_COMMANDS_H

#include <cstdint>

#include "engine/library_state.h"

namespace qor {

// What an exported call asks for. Arguments the command does not use are 0.
struct Request {
    int port;
    std::int32_t address;
    std::int32_t code;
    std::int32_t param = 0;  // bit number, mode, or the DO byte count
    float value = 0.0f;
    std::int32_t byteA = 0;
    std::int32_t byteB = 0;
    std::int32_t byteCount = 0;  // DI only
    std::int32_t byteIndex = 0;  // DI only
};

// The part of a call that differs per export: its steps and what it reads
// out of the accepted reply.
using Routine = void (*)(Transaction &tx, const Request &request);

// Runs one exported call on `tx`: holds the port's lock throughout, begins the
// transaction, refuses arguments that no frame can carry (nothing is sent
// then), runs `routine`, and writes the outcome through the out-parameters:
// the mode first when `mode` is given (RH, RL), then status, then error.
// NULL out-parameters are skipped.
void RunExport(Transaction &tx, const Request &request, Routine routine, int *status, int *error,
               int *mode = nullptr);

// Runs a command whose only result is its status, and returns the status.
int RunStatusCommand(const Request &request, Routine routine, int *status, int *error);

// The routine of commands that return nothing but their status.
void StatusOnly(Transaction &tx, const Request &request);

// The steps the command table gives for the request: its own frame, or "WE"
// and then its frame. True when every step was accepted.
bool RunSteps(Transaction &tx, const Request &request);

// One step for `code` whose reply carries a value field; returns the value,
// or 0.0 when the step was not accepted.
float QueryValue(Transaction &tx, int port, std::int32_t address, std::int32_t code);

// "WE", and only after it was accepted the command itself; leaves the
// outcome in Status and Error and returns true when both were accepted.
bool CommandAfterWe(Transaction &tx, int port, std::int32_t address, std::int32_t code,
                    std::int32_t param, float value);

// 1 latching ("L"), 0 momentary ("M"), -1 for anything else or a failed
// transaction: the mode letter after the value of an RH or RL reply.
int AlarmMode(const Transaction &tx);

}  // namespace qor

#endif  // QOR_COMMANDS_COMMANDS_H
