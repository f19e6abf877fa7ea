// The one routine every exported command goes through.
#include "commands/commands.h"
#include "engine/command_table.h"
#include "engine/library_state.h"
#include "engine/platform.h"
#include "engine/protocol.h"

namespace qor {

void RunExport(Transaction &tx, const Request &request, Routine routine, int *status, int *error,
               int *mode) {
    PortLock lock(request.port);
    BeginTransaction(tx);
    // Checked before the first frame, so that a refused value never leaves a
    // module write-enabled by a "WE" that nothing follows.
    if (FrameArgumentsFit(tx, request.address, request.code, request.value)) {
        routine(tx, request);
    } else {
        RefuseArguments(tx);
    }
    if (mode != nullptr) {
        *mode = AlarmMode(tx);
    }
    if (status != nullptr) {
        *status = tx.Status;
    }
    if (error != nullptr) {
        *error = tx.Error;
    }
}

int RunStatusCommand(const Request &request, Routine routine, int *status, int *error) {
    Transaction tx;
    RunExport(tx, request, routine, status, error);
    return tx.Status;
}

void StatusOnly(Transaction &tx, const Request &request) {
    RunSteps(tx, request);
}

bool RunSteps(Transaction &tx, const Request &request) {
    const CommandInfo &command = CommandOf(request.code);
    if (command.after_we) {
        return CommandAfterWe(tx, request.port, request.address, request.code, request.param,
                              request.value);
    }
    return TransactionStep(tx, request.port, request.address, request.code, request.param,
                           request.value, request.byteA, request.byteB, command.rules);
}

}  // namespace qor
