// One transaction step: a frame, its reply, and the outcome rules.
#include "engine/library_state.h"
#include "engine/protocol.h"
#include "qor_comm.h"

namespace qor {

namespace {

// Whether an accepting reply echoes the module's address: every long reply
// long enough to hold the address and the letters after it does, and with
// frame checksums on the modules answer "EC", "RB" and "DI" in the long
// layout whatever the reply form. (A bare "*" and checksum has no echo to
// check, and no data either.)
bool EchoesAddress(const Transaction &tx, std::int32_t code) {
    const bool long_layout =
        tx.ReplyForm == 0 || (tx.CmdChecksum != 0 && (code == EC || code == RB || code == DI));
    const std::int32_t echo = 1 + (tx.AddressWidth == 1 ? 1 : 2) + 2;  // "*", address, letters
    return long_layout && tx.ReplyLength > echo;
}

// The echoed address is the one the frame named. A reply from another
// address can only be an answer to some other frame (a module answering
// late): no module at this address sent it.
bool FromAddress(const Transaction &tx, std::int32_t address) {
    const char low = static_cast<char>(address & 0x7F);
    if (tx.AddressWidth == 1) {
        return ReplyChar(tx, 1) == low;
    }
    return ReplyChar(tx, 1) == static_cast<char>((address >> 8) & 0x7F) && ReplyChar(tx, 2) == low;
}

}  // namespace

void RefuseArguments(Transaction &tx) {
    SetOutcome(tx, kStatusLinkFault, kErrorNotFramable);
}

// Short replies carry no address, so a late reply of another command cannot
// be told by its sender, only by its form; and fields are read leniently,
// for modules whose replies differ a little from the form. The two meet
// here: the engine knows the form, the byte link whether the line has just
// failed, and only a reply out of form is put to the link.
bool HoldReplyToForm(Transaction &tx, int port, FieldLayout layout, const char *pattern) {
    if (ReplyInForm(tx, layout, pattern) || QOR_ReplyOutOfForm(port) != 1) {
        return true;
    }
    SetOutcome(tx, kStatusReplyFault, kErrorNoReply);
    return false;
}

bool TransactionStep(Transaction &tx, int port, std::int32_t address, std::int32_t code,
                     std::int32_t param, float value, std::int32_t byteA, std::int32_t byteB,
                     OutcomeRules rules) {
    if (!FrameArgumentsFit(tx, address, code, value)) {
        RefuseArguments(tx);
        return false;
    }
    if (!SendCommand(tx, port, address, code, param, value, byteA, byteB)) {
        SetOutcome(tx, kStatusLinkFault, kErrorFrameNotWritten);
        return false;
    }
    // A reply cut off by a silent link, or longer than ReplyBuffer, is as
    // good as none: judging its beginning would accept "*+0007" as 7.
    if (!ReadReply(tx, port)) {
        SetOutcome(tx, kStatusReplyFault, kErrorNoReply);
        return false;
    }
    if (tx.ReplyBuffer[0] != '*') {
        // The module's error code stands at index 3 of its error reply.
        std::int32_t code_at_3 =
            tx.ReplyLength > 3 ? static_cast<signed char>(tx.ReplyBuffer[3]) : 0;
        SetOutcome(tx, kStatusReplyFault, code_at_3);
        return false;
    }
    if (rules == OutcomeRules::kAllRules && !VerifyReplyChecksum(tx)) {
        SetOutcome(tx, kStatusReplyFault, kErrorReplyChecksum);
        return false;
    }
    if (EchoesAddress(tx, code) && !FromAddress(tx, address)) {
        SetOutcome(tx, kStatusReplyFault, kErrorOtherAddress);
        return false;
    }
    return true;
}

}  // namespace qor
