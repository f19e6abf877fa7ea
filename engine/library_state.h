// The library's one process-wide state: settings, results, buffers.
//
// Every exported call reads and writes these under the transaction lock
// (platform.h), so the whole process shares one instance.
#ifndef QOR_ENGINE_LIBRARY_STATE_H
#define QOR_ENGINE_LIBRARY_STATE_H

#include <cstdint>

namespace qor {

// Settings, one byte each.
extern unsigned char CmdChecksum;   // nonzero: frames carry a checksum
extern unsigned char DebugEcho;     // nonzero: frames and replies are echoed
extern unsigned char AddressWidth;  // 1: one address character; 0: two
extern unsigned char ReplyForm;     // 1: short replies; 0: long replies

// Results of the last transaction.
extern std::int32_t Status;
extern std::int32_t Error;
extern float FloatResult;
extern std::int32_t CounterResult;
extern std::int32_t BitResult;

constexpr int kFrameCapacity = 56;
constexpr int kReplyCapacity = 52;
constexpr int kFieldCapacity = 64;

extern char FrameBuffer[kFrameCapacity];
extern char ReplyBuffer[kReplyCapacity];
extern char FieldBuffer[kFieldCapacity];
extern std::int32_t Length;

// Status classes and the error details the library reports.
constexpr std::int32_t kStatusOk = 0;
constexpr std::int32_t kStatusReplyFault = 100;
constexpr std::int32_t kStatusLinkFault = 200;

constexpr std::int32_t kErrorNoReply = 1;          // with kStatusReplyFault
constexpr std::int32_t kErrorReplyChecksum = 2;    // with kStatusReplyFault
constexpr std::int32_t kErrorFrameNotWritten = 1;  // with kStatusLinkFault
constexpr std::int32_t kErrorShortDigits = 2;      // with kStatusLinkFault
constexpr std::int32_t kErrorNotFramable = 3;      // with kStatusLinkFault

// Gives the settings their values on process attach.
void AttachLibrary();

// Zeroes the result variables; every transaction starts with it.
void ClearResults();

// Sets Status and Error together.
void SetOutcome(std::int32_t status, std::int32_t error);

}  // namespace qor

#endif  // QOR_ENGINE_LIBRARY_STATE_H
