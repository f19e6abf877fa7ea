/*
 * qor_comm: the byte link under qor_dll.
 *
 * qor_dll writes every frame one character at a time with QOR_WriteByte and
 * reads every reply one character at a time with QOR_ReadByte. Both are
 * resolved when qor_dll is loaded, through the dynamic linker's normal
 * symbol search: a host that loads its own implementation first (LD_PRELOAD,
 * or dlopen with RTLD_GLOBAL before qor_dll) replaces this library.
 *
 * A port is an integer chosen by the host; qor_dll passes it through
 * unchanged.
 */
#ifndef QOR_COMM_H
#define QOR_COMM_H

#if defined(_WIN32)
#if defined(QOR_COMM_BUILD)
#define QOR_COMM_API __declspec(dllexport)
#else
#define QOR_COMM_API __declspec(dllimport)
#endif
#else
#define QOR_COMM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Writes one character (its low 8 bits) to the port. Returns 1 when the
 * character was written (or queued as part of a frame that was then sent),
 * 0 when it was not. */
QOR_COMM_API int QOR_WriteByte(int port, int character);

/* Returns the next received character (0 to 255), or -1 when none arrives
 * within the port's time-out or the port cannot be used. */
QOR_COMM_API int QOR_ReadByte(int port);

/* Opens (or reopens) a port on a target:
 *   "/dev/ttyUSB0"                 a serial device, raw mode, 8N1, no flow control
 *   "socket://HOST:PORT"           a raw TCP connection (serial device servers)
 * either followed by options "?baud=N&timeout_ms=M" (baud for serial only).
 * Defaults: 9600 baud, 200 ms time-out for each character.
 * Returns 1 on success, 0 on failure (bad target, device missing, refused).
 * target must not be NULL. */
QOR_COMM_API int QOR_OpenPort(int port, const char *target);

/* Closes the port; a later QOR_WriteByte or QOR_ReadByte on it opens it again
 * from the environment (QOR_COMM_PORT<n>) or the default device. */
QOR_COMM_API void QOR_ClosePort(int port);

#ifdef __cplusplus
}
#endif

#endif /* QOR_COMM_H */
