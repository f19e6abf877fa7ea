// The few services that differ per platform.
#ifndef QOR_ENGINE_PLATFORM_H
#define QOR_ENGINE_PLATFORM_H

namespace qor {

// Shows a debug-echo text (a frame or a reply, its CR included). On POSIX it
// is written to standard error, followed by a newline, and returns at once.
void ShowMessageBox(const char *text);

// The process-wide lock that every exported call holds for its whole
// transaction.
void LockTransaction();
void UnlockTransaction();

}  // namespace qor

#endif  // QOR_ENGINE_PLATFORM_H
