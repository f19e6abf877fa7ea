// Queries whose reply carries a number: RD, ND, RZ, RH, RL, RE, EC.
#include "commands/commands.h"
#include "commands/number_parse.h"
#include "engine/command_table.h"
#include "engine/library_state.h"
#include "engine/protocol.h"
#include "qor_dll.h"

namespace qor {

namespace {

// The fields as modules write them (ReplyInForm): a reading, a limit with
// its mode letter, a count.
constexpr char kValueForm[] = "s99999.99";
constexpr char kLimitForm[] = "s99999.99m";
constexpr char kCountForm[] = "9999999";

// Cuts the value field out of the reply: right after the "*", or after the
// echoed address and letters of the long layout.
void ExtractValueField(Transaction &tx) {
    if (tx.ReplyForm == 1) {
        ExtractField(tx, 1, 9);
    } else {
        ExtractField(tx, 4, 12);
    }
}

// Where RH and RL find the mode letter after the value.
std::int32_t ModeIndex(const Transaction &tx) {
    if (tx.ReplyForm == 1) {
        return 10;
    }
    return tx.AddressWidth == 1 ? 13 : 14;
}

// An accepted reply whose field holds no digit at all ("*" alone, "*abc",
// "*-") carries no reading: reported, never read as 0. A stray "*", such as
// a late acknowledgement of another frame, would otherwise pass for one.
void RefuseField(Transaction &tx) {
    tx.CounterResult = 0;
    SetOutcome(tx, kStatusLinkFault, kErrorReplyField);
}

void ValueQuery(Transaction &tx, const Request &request) {
    tx.FloatResult = QueryValue(tx, request.port, request.address, request.code);
}

// The seven-digit count of an "RE" or "EC" reply, right after the "*" or
// after the echoed address and letters of the long layout. "RE" follows the
// reply form; the module answers "EC" in its long layout whenever frames
// carry checksums, whatever the reply form.
void CountQuery(Transaction &tx, const Request &request) {
    if (!RunSteps(tx, request)) {
        return;
    }
    bool long_layout = request.code == EC ? tx.CmdChecksum != 0 : tx.ReplyForm != 1;
    if (long_layout) {
        ExtractField(tx, 4, 10);
    } else {
        ExtractField(tx, 1, 7);
    }
    if (!ParseInteger(tx.FieldBuffer, &tx.CounterResult)) {
        RefuseField(tx);
    } else if (!HoldReplyToForm(tx, request.port, LayoutOf(tx, long_layout), kCountForm)) {
        tx.CounterResult = 0;
    }
}

float RunValueQuery(int port, int address, CommandCode code, int *status, int *error,
                    int *mode = nullptr) {
    Transaction tx;
    RunExport(tx, Request{port, address, code}, ValueQuery, status, error, mode);
    return tx.FloatResult;
}

int RunCountQuery(int port, int address, CommandCode code, int *status, int *error) {
    Transaction tx;
    RunExport(tx, Request{port, address, code}, CountQuery, status, error);
    return tx.CounterResult;
}

}  // namespace

float QueryValue(Transaction &tx, int port, std::int32_t address, std::int32_t code) {
    if (!TransactionStep(tx, port, address, code, 0, 0.0f, 0, 0, CommandOf(code).rules)) {
        return 0.0f;
    }
    ExtractValueField(tx);
    float value = 0.0f;
    const char *form = code == RH || code == RL ? kLimitForm : kValueForm;
    if (!ParseDecimal(tx.FieldBuffer, &value)) {
        RefuseField(tx);
    } else if (!HoldReplyToForm(tx, port, LayoutOf(tx, tx.ReplyForm != 1), form)) {
        value = 0.0f;
    }
    return value;
}

int AlarmMode(const Transaction &tx) {
    // A failed transaction has no mode, whatever the buffer still holds.
    if (tx.Status != kStatusOk) {
        return -1;
    }
    char letter = ReplyChar(tx, ModeIndex(tx));
    if (letter == 'L') {
        return QOR_MODE_LATCHING;
    }
    return letter == 'M' ? QOR_MODE_MOMENTARY : -1;
}

}  // namespace qor

using namespace qor;

extern "C" {

float QOR_CALL QOR_RD(int port, int address, int *status, int *error) {
    return RunValueQuery(port, address, RD, status, error);
}

float QOR_CALL QOR_ND(int port, int address, int *status, int *error) {
    return RunValueQuery(port, address, ND, status, error);
}

float QOR_CALL QOR_RZ(int port, int address, int *status, int *error) {
    return RunValueQuery(port, address, RZ, status, error);
}

float QOR_CALL QOR_RH(int port, int address, int *mode, int *status, int *error) {
    return RunValueQuery(port, address, RH, status, error, mode);
}

float QOR_CALL QOR_RL(int port, int address, int *mode, int *status, int *error) {
    return RunValueQuery(port, address, RL, status, error, mode);
}

int QOR_CALL QOR_RE(int port, int address, int *status, int *error) {
    return RunCountQuery(port, address, RE, status, error);
}

int QOR_CALL QOR_EC(int port, int address, int *status, int *error) {
    return RunCountQuery(port, address, EC, status, error);
}

}  // extern "C"
