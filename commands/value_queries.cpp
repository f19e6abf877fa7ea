// Queries whose reply carries a number: RD, ND, RZ, RH, RL, RE, EC.
#include "commands.h"
#include "library_state.h"
#include "number_parse.h"
#include "platform.h"
#include "protocol.h"
#include "qor_dll.h"

namespace qor {

namespace {

// Index of the value field in a reply of the current form.
void ExtractValueField() {
    if (ReplyForm == 1) {
        ExtractField(1, 9);
    } else {
        ExtractField(4, 12);
    }
}

// Where RH and RL find the mode letter after the value.
std::int32_t ModeIndex() {
    if (ReplyForm == 1) {
        return 10;
    }
    return AddressWidth == 1 ? 13 : 14;
}

// 1 latching ("L"), 0 momentary ("M"), -1 for anything else.
int ModeOf(char letter) {
    if (letter == 'L') {
        return 1;
    }
    return letter == 'M' ? 0 : -1;
}

// The seven-digit count of an "RE" or "EC" reply: right after the "*", or
// after the echoed address and letters of the long layout.
void ReadCount(bool long_layout) {
    if (long_layout) {
        ExtractField(4, 10);
    } else {
        ExtractField(1, 7);
    }
    CounterResult = ParseInteger(FieldBuffer);
}

float ValueQuery(int port, int address, std::int32_t code, int *status, int *error) {
    LockTransaction();
    FloatResult = QueryValue(port, address, code);
    float result = FloatResult;
    WriteOutcome(status, error);
    UnlockTransaction();
    return result;
}

float AlarmLimitQuery(int port, int address, std::int32_t code, int *mode, int *status,
                      int *error) {
    LockTransaction();
    FloatResult = QueryValue(port, address, code);
    float result = FloatResult;
    if (mode != nullptr) {
        // A failed transaction has no mode, whatever the buffer still holds.
        *mode = Status == kStatusOk ? ModeOf(ReplyChar(ModeIndex())) : -1;
    }
    WriteOutcome(status, error);
    UnlockTransaction();
    return result;
}

}  // namespace

void WriteOutcome(int *status, int *error) {
    if (status != nullptr) {
        *status = Status;
    }
    if (error != nullptr) {
        *error = Error;
    }
}

float QueryValue(int port, std::int32_t address, std::int32_t code) {
    ClearResults();
    if (!TransactionStep(port, address, code, 0, 0.0f, 0, 0, kAllRules)) {
        return 0.0f;
    }
    ExtractValueField();
    return static_cast<float>(ParseDecimal(FieldBuffer));
}

}  // namespace qor

using namespace qor;

extern "C" {

float QOR_CALL QOR_RD(int port, int address, int *status, int *error) {
    return ValueQuery(port, address, RD, status, error);
}

float QOR_CALL QOR_ND(int port, int address, int *status, int *error) {
    return ValueQuery(port, address, ND, status, error);
}

float QOR_CALL QOR_RZ(int port, int address, int *status, int *error) {
    return ValueQuery(port, address, RZ, status, error);
}

float QOR_CALL QOR_RH(int port, int address, int *mode, int *status, int *error) {
    return AlarmLimitQuery(port, address, RH, mode, status, error);
}

float QOR_CALL QOR_RL(int port, int address, int *mode, int *status, int *error) {
    return AlarmLimitQuery(port, address, RL, mode, status, error);
}

int QOR_CALL QOR_RE(int port, int address, int *status, int *error) {
    LockTransaction();
    ClearResults();
    if (TransactionStep(port, address, RE, 0, 0.0f, 0, 0, kAllRules)) {
        ReadCount(ReplyForm != 1);
    }
    int result = CounterResult;
    WriteOutcome(status, error);
    UnlockTransaction();
    return result;
}

int QOR_CALL QOR_EC(int port, int address, int *status, int *error) {
    LockTransaction();
    ClearResults();
    if (TransactionStep(port, address, WE, 0, 0.0f, 0, 0, kAllRules) &&
        TransactionStep(port, address, EC, 0, 0.0f, 0, 0, kAllRules)) {
        // With frame checksums the module answers "EC" in its long layout
        // (address and letters echoed first), whatever the reply form.
        ReadCount(CmdChecksum != 0);
    }
    int result = CounterResult;
    WriteOutcome(status, error);
    UnlockTransaction();
    return result;
}

}  // extern "C"
