#include "library_state.h"

#include "platform.h"
#include "qor_dll.h"

namespace qor {

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
char ReplyBuffer[kReplyCapacity];
char FieldBuffer[kFieldCapacity];
std::int32_t Length;

// Kept in the binary so that the file says what it is; nothing returns it.
[[gnu::used]] extern const char IdentificationText[] =
    "QOR Dynamic-Link Library Protocol Handler, 1.01";
[[gnu::used]] extern const char VersionText[] = QOR_VERSION;  // project(VERSION) in CMake

void AttachLibrary() {
    CmdChecksum = 0;
    AddressWidth = 1;
    ReplyForm = 1;
    DebugEcho = 0;
}

void ClearResults() {
    FloatResult = 0.0f;
    BitResult = 0;
    CounterResult = 0;
    Status = kStatusOk;
    Error = 0;
}

void SetOutcome(std::int32_t status, std::int32_t error) {
    Status = status;
    Error = error;
}

}  // namespace qor

extern "C" {

void QOR_CALL QOR_EnableDebug(unsigned char flag) {
    qor::LockTransaction();
    qor::DebugEcho = flag;
    qor::UnlockTransaction();
}

void QOR_CALL QOR_EnableCmdChecksum(unsigned char flag) {
    qor::LockTransaction();
    qor::CmdChecksum = flag;
    qor::UnlockTransaction();
}

}  // extern "C"
