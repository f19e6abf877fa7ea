// Windows side of the platform layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "library_state.h"
#include "platform.h"

namespace qor {

namespace {

// Statically initialised: the lock exists before any code of the library
// runs, needs no heap and nothing to tear down at unload.
SRWLOCK transaction_lock = SRWLOCK_INIT;

}  // namespace

void ShowMessageBox(const char *text) {
    // Modal and owned by no window: the calling thread waits for the OK,
    // which is what makes the echo a step-by-step trace. The last error
    // value belongs to the host, so it is left as it was.
    DWORD saved_error = GetLastError();
    MessageBoxA(nullptr, text, "qor_dll debug echo", MB_OK);
    SetLastError(saved_error);
}

void LockTransaction() {
    AcquireSRWLockExclusive(&transaction_lock);
}

void UnlockTransaction() {
    ReleaseSRWLockExclusive(&transaction_lock);
}

}  // namespace qor

// Runs under the loader lock: only the settings are given their values, no
// other library is called and nothing is allocated.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        qor::AttachLibrary();
    }
    return TRUE;
}
