// Frames out, replies in: the routines every command transaction is made of.
// Each works on the calling transaction's own context.
#ifndef QOR_ENGINE_PROTOCOL_H
#define QOR_ENGINE_PROTOCOL_H

#include <cstdint>

#include "engine/command_table.h"
#include "engine/library_state.h"

namespace qor {

// --- Frames (frame_encoder.cpp) ---

// True when the arguments can be carried by a frame for `code`: no address
// character is 0, CR or "$" (each would break the frame it stands in) and a
// value field holds the value. A command checks this before its first
// frame, so that nothing at all is sent otherwise.
bool FrameArgumentsFit(const Transaction &tx, std::int32_t address, std::int32_t code, float value);

// Writes the nine characters of the value field that carries `value`
// ("+00072.10", no NUL): rounded at the second decimal, half away from zero,
// from the float's exact value. False, with nothing written, when the
// rounded magnitude is 100000.00 or more, or the value is NaN or infinite.
bool ValueFieldText(float value, char *field);

// Builds the frame for `code` in FrameBuffer and sends it. True when every
// character was written.
bool SendCommand(Transaction &tx, int port, std::int32_t address, std::int32_t code,
                 std::int32_t param, float value, std::int32_t byteA, std::int32_t byteB);

// Appends the two checksum characters of the frame built so far.
void AppendCmdChecksum(Transaction &tx);

// Writes FrameBuffer up to its NUL, stopping at the first refused character.
bool SendFrame(Transaction &tx, int port);

// --- Replies (reply_reader.cpp) ---

// Captures one reply into ReplyBuffer. True when a complete reply (one that
// began with "*" or "?" and ended with CR) was captured.
bool ReadReply(Transaction &tx, int port);

// True when the captured reply passes the checksum test of ReplyForm.
bool VerifyReplyChecksum(const Transaction &tx);

// Copies ReplyBuffer[start..end] into FieldBuffer; never reads beyond the
// captured reply.
void ExtractField(Transaction &tx, std::int32_t start, std::int32_t end);

// The reply's character at `index`, or 0 when the reply is shorter.
char ReplyChar(const Transaction &tx, std::int32_t index);

// Where a reply's field stands: behind "*" (the short layout) or behind
// "*", the echoed address and the command letters (the long one), and
// ahead of the CR, or of the checksum and the CR.
struct FieldLayout {
    std::int32_t before;  // characters ahead of the field
    std::int32_t after;   // characters behind it
};

FieldLayout LayoutOf(const Transaction &tx, bool long_layout);

// True when the accepted reply is exactly its layout around a field of the
// form `pattern`, one character class per character of the field: 's' a
// sign, '9' a digit, '.' the point, 'm' a mode letter ("L" or "M"), 'b' a
// bit state ("0" or "1"), 'h' an upper-case hex digit. The form modules
// send: "s99999.99" for a reading.
bool ReplyInForm(const Transaction &tx, FieldLayout layout, const char *pattern);

// --- Transaction steps (transaction.cpp) ---

// One frame and, when it was written, its reply, judged by the outcome
// rules. Sets Status and Error unless the step is accepted; returns true
// when it is.
bool TransactionStep(Transaction &tx, int port, std::int32_t address, std::int32_t code,
                     std::int32_t param, float value, std::int32_t byteA, std::int32_t byteB,
                     OutcomeRules rules);

// Reports arguments that cannot be framed: status 200, error 3.
void RefuseArguments(Transaction &tx);

// A query's accepted reply whose field could be read: true when the reply
// is in its command's own form (ReplyInForm), or when the byte link finds
// the line calm (QOR_ReplyOutOfForm), so that the lenient reading stands.
// False, with status 100 and error 1, when the line has just failed and
// the link refused the reply: another frame's, come late while this one's
// was lost ("*0000003", a count, taken for a reading of 3). The link is
// asked only about a reply out of form; a field the lenient reading
// refuses keeps its own report, and the link is not asked.
bool HoldReplyToForm(Transaction &tx, int port, FieldLayout layout, const char *pattern);

}  // namespace qor

#endif  // QOR_ENGINE_PROTOCOL_H
