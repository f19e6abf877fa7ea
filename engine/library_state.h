// The library's state: four process-wide settings, and the transaction
// context that each exported call keeps on its own stack.
//
// Settings are atomics, so that a switch flipped by one thread while another
// is in the middle of a call is no data race; a transaction reads them once,
// as it begins, and a change takes effect on the next call. Everything a
// transaction builds, reads and returns lives in its context, so that calls
// on different ports share nothing but the settings.
#ifndef QOR_ENGINE_LIBRARY_STATE_H
#define QOR_ENGINE_LIBRARY_STATE_H

#include <atomic>
#include <cstdint>

#include "qor_dll.h"

namespace qor {

// Settings, one byte each. CmdChecksum and DebugEcho follow the switches
// (QOR_EnableCmdChecksum, QOR_EnableDebug). AddressWidth and ReplyForm are
// set only when the library is attached (to 1 and 1) and no export changes
// them; they stay part of the library's state because the frame and reply
// code keeps both forms, which the engine tests reach by assigning them
// (tests/engine/engine_test.cpp, commands_test.cpp).
extern std::atomic<unsigned char> CmdChecksum;   // nonzero: frames carry a checksum
extern std::atomic<unsigned char> DebugEcho;     // nonzero: frames and replies are echoed
extern std::atomic<unsigned char> AddressWidth;  // 1: one address character; 0: two
extern std::atomic<unsigned char> ReplyForm;     // 1: short replies; 0: long replies

constexpr int kFrameCapacity = 56;
constexpr int kReplyCapacity = 52;
constexpr int kFieldCapacity = 64;

// One call's frames, reply, field and results. The settings are the values
// read as the call began; the buffers hold NUL-terminated text and each
// length counts the characters before the NUL.
struct Transaction {
    unsigned char CmdChecksum;
    unsigned char DebugEcho;
    unsigned char AddressWidth;
    unsigned char ReplyForm;

    std::int32_t Status;
    std::int32_t Error;
    float FloatResult;
    std::int32_t CounterResult;
    std::int32_t BitResult;

    char FrameBuffer[kFrameCapacity];
    std::int32_t FrameLength;
    char ReplyBuffer[kReplyCapacity];
    std::int32_t ReplyLength;
    char FieldBuffer[kFieldCapacity];
    std::int32_t FieldLength;
};

// Status classes and the error details the library reports.
constexpr std::int32_t kStatusOk = QOR_STATUS_OK;
constexpr std::int32_t kStatusReplyFault = QOR_STATUS_REPLY_FAULT;
constexpr std::int32_t kStatusLinkFault = QOR_STATUS_LINK_FAULT;

constexpr std::int32_t kErrorNoReply = QOR_ERROR_NO_REPLY;               // reply fault
constexpr std::int32_t kErrorReplyChecksum = QOR_ERROR_REPLY_CHECKSUM;   // reply fault
constexpr std::int32_t kErrorOtherAddress = QOR_ERROR_OTHER_ADDRESS;     // reply fault
constexpr std::int32_t kErrorFrameNotWritten = QOR_ERROR_NOT_WRITTEN;    // link fault
constexpr std::int32_t kErrorReplyField = QOR_ERROR_REPLY_FIELD;         // link fault
constexpr std::int32_t kErrorNotFramable = QOR_ERROR_ARGUMENTS_REFUSED;  // link fault

// Gives the settings their values on process attach.
void AttachLibrary();

// Starts a transaction: reads the settings once and clears the results and
// the buffers.
void BeginTransaction(Transaction &tx);

// Zeroes the result variables; every transaction starts with it.
void ClearResults(Transaction &tx);

// Sets Status and Error together.
void SetOutcome(Transaction &tx, std::int32_t status, std::int32_t error);

}  // namespace qor

#endif  // QOR_ENGINE_LIBRARY_STATE_H
