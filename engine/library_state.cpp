#include "engine/library_state.h"

#include "qor_dll.h"

namespace qor {

std::atomic<unsigned char> CmdChecksum;
std::atomic<unsigned char> DebugEcho;
std::atomic<unsigned char> AddressWidth;
std::atomic<unsigned char> ReplyForm;

// A switch is one byte on its own, nothing orders other memory around it.
static_assert(std::atomic<unsigned char>::is_always_lock_free,
              "the settings must be readable from any thread without a lock");

// Kept in the binary so that the file says what it is; nothing returns it.
[[gnu::used]] extern const char kIdentificationText[] =
    "QOR Dynamic-Link Library Protocol Handler, 1.01";
[[gnu::used]] extern const char kVersionText[] = QOR_VERSION;  // project(VERSION) in CMake

void AttachLibrary() {
    CmdChecksum.store(0, std::memory_order_relaxed);
    AddressWidth.store(1, std::memory_order_relaxed);
    ReplyForm.store(1, std::memory_order_relaxed);
    DebugEcho.store(0, std::memory_order_relaxed);
}

void BeginTransaction(Transaction &tx) {
    tx.CmdChecksum = CmdChecksum.load(std::memory_order_relaxed);
    tx.DebugEcho = DebugEcho.load(std::memory_order_relaxed);
    tx.AddressWidth = AddressWidth.load(std::memory_order_relaxed);
    tx.ReplyForm = ReplyForm.load(std::memory_order_relaxed);
    tx.FrameBuffer[0] = tx.ReplyBuffer[0] = tx.FieldBuffer[0] = '\0';
    tx.FrameLength = tx.ReplyLength = tx.FieldLength = 0;
    ClearResults(tx);
}

void ClearResults(Transaction &tx) {
    tx.FloatResult = 0.0f;
    tx.BitResult = 0;
    tx.CounterResult = 0;
    tx.Status = kStatusOk;
    tx.Error = 0;
}

void SetOutcome(Transaction &tx, std::int32_t status, std::int32_t error) {
    tx.Status = status;
    tx.Error = error;
}

}  // namespace qor

extern "C" {

// The switches take no transaction lock: a call in progress keeps the value
// it began with.
void QOR_CALL QOR_EnableDebug(unsigned char flag) {
    qor::DebugEcho.store(flag, std::memory_order_relaxed);
}

void QOR_CALL QOR_EnableCmdChecksum(unsigned char flag) {
    qor::CmdChecksum.store(flag, std::memory_order_relaxed);
}

}  // extern "C"
