// Frames out, replies in: the routines every command transaction is made of.
#ifndef QOR_ENGINE_PROTOCOL_H
#define QOR_ENGINE_PROTOCOL_H

#include <cstdint>

namespace qor {

// The commands a frame can carry. Any other number (and RD itself) frames
// as "RD".
enum CommandCode : std::int32_t {
    ACK = 0,
    AO = 1,
    CA = 2,
    CB = 3,
    CE = 4,
    CZ = 5,
    DA = 6,
    DI = 7,
    DO = 8,
    EA = 9,
    EC = 10,
    HI = 11,
    LO = 12,
    RB = 13,
    RD = 14,
    RE = 15,
    RH = 16,
    RL = 17,
    RR = 18,
    RZ = 19,
    ND = 20,
    SB = 21,
    SP = 22,
    TS = 23,
    TZ = 24,
    WE = 25,
};

// --- Frames (frame_encoder.cpp) ---

// True when the arguments can be carried by a frame for `code`: the address
// characters are not 0 and a value field holds the value. A command checks
// this before its first frame, so that nothing at all is sent otherwise.
bool FrameArgumentsFit(std::int32_t address, std::int32_t code, float value);

// Builds the frame for `code` in FrameBuffer and sends it. True when every
// character was written.
bool SendCommand(int port, std::int32_t address, std::int32_t code, std::int32_t param, float value,
                 std::int32_t byteA, std::int32_t byteB);

// Appends the two checksum characters of the frame built so far.
void AppendCmdChecksum();

// Writes FrameBuffer up to its NUL, stopping at the first refused character.
bool SendFrame(int port);

// --- Replies (reply_reader.cpp) ---

// Captures one reply into ReplyBuffer. True when a complete reply (one that
// began with "*" or "?" and ended with CR) was captured.
bool ReadReply(int port);

// True when the captured reply passes the checksum test of ReplyForm.
bool VerifyReplyChecksum();

// Copies ReplyBuffer[start..end] into FieldBuffer; never reads beyond the
// captured reply.
void ExtractField(std::int32_t start, std::int32_t end);

// The reply's character at `index`, or 0 when the reply is shorter.
char ReplyChar(std::int32_t index);

// --- Transaction steps (transaction.cpp) ---

enum OutcomeRules {
    kAllRules,         // not written, nothing captured, error reply, bad checksum
    kRulesWithoutSum,  // the same without the reply checksum test
};

// One frame and, when it was written, its reply, judged by the outcome
// rules. Sets Status and Error unless the step is accepted; returns true
// when it is.
bool TransactionStep(int port, std::int32_t address, std::int32_t code, std::int32_t param,
                     float value, std::int32_t byteA, std::int32_t byteB, OutcomeRules rules);

// Reports arguments that cannot be framed: status 200, error 3.
void RefuseArguments();

}  // namespace qor

#endif  // QOR_ENGINE_PROTOCOL_H
