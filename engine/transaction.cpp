// One transaction step: a frame, its reply, and the outcome rules.
#include "library_state.h"
#include "protocol.h"

namespace qor {

void RefuseArguments() {
    SetOutcome(kStatusLinkFault, kErrorNotFramable);
}

bool TransactionStep(int port, std::int32_t address, std::int32_t code, std::int32_t param,
                     float value, std::int32_t byteA, std::int32_t byteB, OutcomeRules rules) {
    if (!FrameArgumentsFit(address, code, value)) {
        RefuseArguments();
        return false;
    }
    if (!SendCommand(port, address, code, param, value, byteA, byteB)) {
        SetOutcome(kStatusLinkFault, kErrorFrameNotWritten);
        return false;
    }
    // A reply cut off by a silent link, or longer than ReplyBuffer, is as
    // good as none: judging its beginning would accept "*+0007" as 7.
    if (!ReadReply(port)) {
        SetOutcome(kStatusReplyFault, kErrorNoReply);
        return false;
    }
    if (ReplyBuffer[0] != '*') {
        // The module's error code stands at index 3 of its error reply.
        std::int32_t code_at_3 = Length > 3 ? static_cast<signed char>(ReplyBuffer[3]) : 0;
        SetOutcome(kStatusReplyFault, code_at_3);
        return false;
    }
    if (rules == kAllRules && !VerifyReplyChecksum()) {
        SetOutcome(kStatusReplyFault, kErrorReplyChecksum);
        return false;
    }
    return true;
}

}  // namespace qor
