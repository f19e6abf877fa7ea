// Bits, bytes and the acknowledged value: AO, DO, DI, RB, SB, CB.
#include <cstring>

#include "commands.h"
#include "library_state.h"
#include "platform.h"
#include "protocol.h"
#include "qor_dll.h"

namespace qor {

namespace {

// The most bytes a DI reply can carry: two hex digits each, with "*",
// address, letters, checksum and CR, inside the 51 characters of a reply.
constexpr int kMaxInputBytes = 24;

// A hex digit as the modules write it (upper case). Anything below "A",
// read as a signed byte, counts from "0"; anything else from "A".
int HexDigitValue(char digit) {
    signed char c = static_cast<signed char>(digit);
    return c < 'A' ? c - '0' : c - 55;
}

// One step whose only result is its status.
int StatusCommand(int port, int address, std::int32_t code, std::int32_t param, float value,
                  std::int32_t byteA, std::int32_t byteB, OutcomeRules rules, int *status,
                  int *error) {
    LockTransaction();
    ClearResults();
    TransactionStep(port, address, code, param, value, byteA, byteB, rules);
    int result = Status;
    WriteOutcome(status, error);
    UnlockTransaction();
    return result;
}

// Picks the bit out of the DI reply now in ReplyBuffer.
void ReadInputBit(int byteCount, int byteIndex, int bit) {
    std::int32_t digits = 2 * byteCount;
    // The digits stand right before the CR, or before the checksum and CR
    // of the long layout that modules use when frames carry checksums.
    if (CmdChecksum == 0) {
        ExtractField(Length - 1 - digits, digits);
    } else {
        ExtractField(Length - 3 - digits, digits + 3);
    }
    std::int32_t field_length = static_cast<std::int32_t>(std::strlen(FieldBuffer));
    if (field_length < digits) {
        SetOutcome(kStatusLinkFault, kErrorShortDigits);
        return;
    }
    // byteIndex 1 is the last byte of the field, byteCount the first.
    std::int32_t at = field_length - 2 * byteIndex;
    int byte = HexDigitValue(FieldBuffer[at]) * 16 + HexDigitValue(FieldBuffer[at + 1]);
    BitResult = (static_cast<unsigned>(byte) >> (bit & 7)) & 1U;
}

}  // namespace

}  // namespace qor

using namespace qor;

extern "C" {

int QOR_CALL QOR_AO(int port, int address, float value, int *status, int *error) {
    LockTransaction();
    ClearResults();
    // With long replies the module wants the accepted value confirmed by
    // "ACK"; with short replies the accepted "AO" is the whole exchange.
    if (TransactionStep(port, address, AO, 0, value, 0, 0, kAllRules) && ReplyForm == 0) {
        TransactionStep(port, address, ACK, 0, 0.0f, 0, 0, kAllRules);
    }
    int result = Status;
    WriteOutcome(status, error);
    UnlockTransaction();
    return result;
}

int QOR_CALL QOR_DO(int port, int address, int byteA, int byteB, int count, int *status,
                    int *error) {
    return StatusCommand(port, address, DO, count, 0.0f, byteA, byteB, kAllRules, status, error);
}

int QOR_CALL QOR_SB(int port, int address, int bit, int *status, int *error) {
    return StatusCommand(port, address, SB, bit, 0.0f, 0, 0, kRulesWithoutSum, status, error);
}

int QOR_CALL QOR_CB(int port, int address, int bit, int *status, int *error) {
    return StatusCommand(port, address, CB, bit, 0.0f, 0, 0, kRulesWithoutSum, status, error);
}

int QOR_CALL QOR_RB(int port, int address, int bit, int *status, int *error) {
    LockTransaction();
    ClearResults();
    if (TransactionStep(port, address, RB, bit, 0.0f, 0, 0, kAllRules)) {
        // Long layout with frame checksums: "*", address, "RB", the bit
        // number, then the state.
        BitResult = ReplyChar(CmdChecksum != 0 ? 6 : 1) == '1' ? 1 : 0;
    }
    int result = BitResult;
    WriteOutcome(status, error);
    UnlockTransaction();
    return result;
}

int QOR_CALL QOR_DI(int port, int address, int byteCount, int byteIndex, int bit, int *status,
                    int *error) {
    LockTransaction();
    ClearResults();
    if (byteCount < 1 || byteCount > kMaxInputBytes || byteIndex < 1 || byteIndex > byteCount) {
        RefuseArguments();
    } else if (TransactionStep(port, address, DI, 0, 0.0f, 0, 0, kAllRules)) {
        ReadInputBit(byteCount, byteIndex, bit);
    }
    int result = BitResult;
    WriteOutcome(status, error);
    UnlockTransaction();
    return result;
}

}  // extern "C"
