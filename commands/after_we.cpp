// Commands that a module takes only right after an accepted "WE":
// CA, CE, CZ, DA, EA, RR, HI, LO, SP, TS, TZ.
#include "commands/commands.h"
#include "engine/command_table.h"
#include "engine/library_state.h"
#include "engine/protocol.h"
#include "qor_dll.h"

namespace qor {

namespace {

int AfterWe(int port, int address, CommandCode code, std::int32_t param, float value, int *status,
            int *error) {
    return RunStatusCommand(Request{port, address, code, param, value}, StatusOnly, status, error);
}

}  // namespace

bool CommandAfterWe(Transaction &tx, int port, std::int32_t address, std::int32_t code,
                    std::int32_t param, float value) {
    return TransactionStep(tx, port, address, WE, 0, 0.0f, 0, 0, OutcomeRules::kAllRules) &&
           TransactionStep(tx, port, address, code, param, value, 0, 0, CommandOf(code).rules);
}

}  // namespace qor

using namespace qor;

extern "C" {

int QOR_CALL QOR_CA(int port, int address, int *status, int *error) {
    return AfterWe(port, address, CA, 0, 0.0f, status, error);
}

int QOR_CALL QOR_CE(int port, int address, int *status, int *error) {
    return AfterWe(port, address, CE, 0, 0.0f, status, error);
}

int QOR_CALL QOR_CZ(int port, int address, int *status, int *error) {
    return AfterWe(port, address, CZ, 0, 0.0f, status, error);
}

int QOR_CALL QOR_DA(int port, int address, int *status, int *error) {
    return AfterWe(port, address, DA, 0, 0.0f, status, error);
}

int QOR_CALL QOR_EA(int port, int address, int *status, int *error) {
    return AfterWe(port, address, EA, 0, 0.0f, status, error);
}

int QOR_CALL QOR_RR(int port, int address, int *status, int *error) {
    return AfterWe(port, address, RR, 0, 0.0f, status, error);
}

int QOR_CALL QOR_HI(int port, int address, int mode, float value, int *status, int *error) {
    return AfterWe(port, address, HI, mode, value, status, error);
}

int QOR_CALL QOR_LO(int port, int address, int mode, float value, int *status, int *error) {
    return AfterWe(port, address, LO, mode, value, status, error);
}

int QOR_CALL QOR_SP(int port, int address, float value, int *status, int *error) {
    return AfterWe(port, address, SP, 0, value, status, error);
}

int QOR_CALL QOR_TS(int port, int address, float value, int *status, int *error) {
    return AfterWe(port, address, TS, 0, value, status, error);
}

int QOR_CALL QOR_TZ(int port, int address, float value, int *status, int *error) {
    return AfterWe(port, address, TZ, 0, value, status, error);
}

}  // extern "C"
