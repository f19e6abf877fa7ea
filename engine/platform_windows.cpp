// Windows side of the platform layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "engine/library_state.h"
#include "engine/platform.h"

namespace qor {

namespace {

// Statically initialised (SRWLOCK_INIT is all zeros): the locks exist before
// any code of the library runs, and need no heap and nothing to tear down at
// unload.
SRWLOCK port_locks[kPortLockCount] = {};

}  // namespace

void ShowMessageBox(const char *text) {
    // Modal and owned by no window: the calling thread waits for the OK,
    // which is what makes the echo a step-by-step trace. The last error
    // value belongs to the host, so it is left as it was.
    DWORD saved_error = GetLastError();
    MessageBoxA(nullptr, text, "qor_dll debug echo", MB_OK);
    SetLastError(saved_error);
}

void LockPort(unsigned slot) {
    AcquireSRWLockExclusive(&port_locks[slot]);
}

void UnlockPort(unsigned slot) {
    ReleaseSRWLockExclusive(&port_locks[slot]);
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
