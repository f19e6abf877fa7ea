// Bits, bytes and the acknowledged analog value: AO, DO, DI, RB, SB, CB.
#include "commands/commands.h"
#include "engine/command_table.h"
#include "engine/library_state.h"
#include "engine/protocol.h"
#include "qor_dll.h"

namespace qor {

namespace {

// A hex digit as the modules write it (upper case). Anything below "A",
// read as a signed byte, counts from "0"; anything else from "A".
int HexDigitValue(char digit) {
    signed char c = static_cast<signed char>(digit);
    return c < 'A' ? c - '0' : c - 55;
}

// With long replies the module wants the accepted value confirmed by "ACK";
// with short replies the accepted "AO" is the whole exchange.
void AnalogOutput(Transaction &tx, const Request &request) {
    if (RunSteps(tx, request) && tx.ReplyForm == 0) {
        TransactionStep(tx, request.port, request.address, ACK, 0, 0.0f, 0, 0,
                        OutcomeRules::kAllRules);
    }
}

// The state character follows "*", or, in the long layout that modules use
// when frames carry checksums, "*", the address, "RB" and the bit number.
void ReadBit(Transaction &tx, const Request &request) {
    const bool long_layout = tx.CmdChecksum != 0;
    if (RunSteps(tx, request) &&
        HoldReplyToForm(tx, request.port, LayoutOf(tx, long_layout), long_layout ? "hhb" : "b")) {
        tx.BitResult = ReplyChar(tx, long_layout ? 6 : 1) == '1' ? 1 : 0;
    }
}

// Where the hex digits of a DI reply stand: right after the "*" and before
// the CR; in the long layout that modules use when frames carry checksums,
// after "*", the address and "DI", and before the checksum and CR.
FieldLayout InputLayoutOf(const Transaction &tx) {
    return LayoutOf(tx, tx.CmdChecksum != 0);
}

// The most bytes a DI reply can carry, two hex digits each, inside the 51
// characters of ReplyBuffer: 24 in the short layout, 22 in the long one. A
// count beyond that is refused before the frame goes out: its reply could
// never be read.
std::int32_t MaxInputBytes(const FieldLayout &layout) {
    return (kReplyCapacity - 1 - layout.before - layout.after) / 2;
}

// The form of a DI reply's field with the most digits any reply can hold
// (ReplyInForm): one "h" for each.
constexpr char kInputForm[] = "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhh";
static_assert(sizeof kInputForm - 1 == kReplyCapacity - 1 - 1,
              "a form for every digit a reply can carry after its \"*\"");

// Picks the requested bit out of the DI reply. A reply whose length leaves
// anything but exactly 2 * byteCount characters where the digits stand is
// refused: read by position alone, a reply one digit short would pass its
// "*", its CR or its checksum off as input bits.
void ReadInputBit(Transaction &tx, const Request &request) {
    const FieldLayout layout = InputLayoutOf(tx);
    if (request.byteCount < 1 || request.byteCount > MaxInputBytes(layout) ||
        request.byteIndex < 1 || request.byteIndex > request.byteCount) {
        RefuseArguments(tx);
        return;
    }
    if (!RunSteps(tx, request)) {
        return;
    }
    const std::int32_t digits = 2 * request.byteCount;
    if (tx.ReplyLength != layout.before + digits + layout.after) {
        SetOutcome(tx, kStatusLinkFault, kErrorReplyField);
        return;
    }
    // As many hex digits as asked for: the tail of kInputForm.
    if (!HoldReplyToForm(tx, request.port, layout, kInputForm + (sizeof kInputForm - 1 - digits))) {
        return;
    }
    ExtractField(tx, layout.before, layout.before + digits - 1);
    // byteIndex 1 is the last byte of the field, byteCount the first.
    std::int32_t at = tx.FieldLength - 2 * request.byteIndex;
    int byte = HexDigitValue(tx.FieldBuffer[at]) * 16 + HexDigitValue(tx.FieldBuffer[at + 1]);
    tx.BitResult =
        static_cast<std::int32_t>((static_cast<unsigned>(byte) >> (request.param & 7)) & 1U);
}

int RunBitQuery(const Request &request, Routine routine, int *status, int *error) {
    Transaction tx;
    RunExport(tx, request, routine, status, error);
    return tx.BitResult;
}

}  // namespace

}  // namespace qor

using namespace qor;

extern "C" {

int QOR_CALL QOR_AO(int port, int address, float value, int *status, int *error) {
    return RunStatusCommand(Request{port, address, AO, 0, value}, AnalogOutput, status, error);
}

int QOR_CALL QOR_DO(int port, int address, int byteA, int byteB, int count, int *status,
                    int *error) {
    return RunStatusCommand(Request{port, address, DO, count, 0.0f, byteA, byteB}, StatusOnly,
                            status, error);
}

int QOR_CALL QOR_SB(int port, int address, int bit, int *status, int *error) {
    return RunStatusCommand(Request{port, address, SB, bit}, StatusOnly, status, error);
}

int QOR_CALL QOR_CB(int port, int address, int bit, int *status, int *error) {
    return RunStatusCommand(Request{port, address, CB, bit}, StatusOnly, status, error);
}

int QOR_CALL QOR_RB(int port, int address, int bit, int *status, int *error) {
    return RunBitQuery(Request{port, address, RB, bit}, ReadBit, status, error);
}

int QOR_CALL QOR_DI(int port, int address, int byteCount, int byteIndex, int bit, int *status,
                    int *error) {
    return RunBitQuery(Request{port, address, DI, bit, 0.0f, 0, 0, byteCount, byteIndex},
                       ReadInputBit, status, error);
}

}  // extern "C"
