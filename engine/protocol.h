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

// --- Transaction steps (transaction.cpp) ---

// One frame and, when it was written, its reply, judged by the outcome
// rules. Sets Status and Error unless the step is accepted; returns true
// when it is.
bool TransactionStep(Transaction &tx, int port, std::int32_t address, std::int32_t code,
                     std::int32_t param, float value, std::int32_t byteA, std::int32_t byteB,
                     OutcomeRules rules);

// Reports arguments that cannot be framed: status 200, error 3.
void RefuseArguments(Transaction &tx);

}  // namespace qor

#endif  // QOR_ENGINE_PROTOCOL_H
