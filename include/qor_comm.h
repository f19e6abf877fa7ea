/*
 * qor_comm: the byte link under qor_dll (serial devices and raw TCP).
 * Installed next to qor_dll.h in <prefix>/include/qor/; link with
 * -lqor_comm (pkg-config --cflags --libs qor_comm, or the CMake target
 * qor::qor_comm). The manual page qor_dll(3) describes both libraries.
 *
 * qor_dll writes every frame one character at a time with QOR_WriteByte and
 * reads every reply one character at a time with QOR_ReadByte. Both are
 * resolved when qor_dll is loaded, through the dynamic linker's normal
 * symbol search: a host that loads its own implementation first (LD_PRELOAD,
 * or dlopen with RTLD_GLOBAL before qor_dll) replaces this library.
 *
 * A port is an integer chosen by the host; qor_dll passes it through
 * unchanged. Up to 64 different port numbers can be in use at once (open,
 * or remembered with a target); a port closed with QOR_ClosePort frees its
 * place.
 *
 * A port nobody opened with QOR_OpenPort is opened on its first use from
 * the environment variable QOR_COMM_PORT<n> (n the port number, e.g.
 * QOR_COMM_PORT1=socket://device-server:4001), read at that moment, or else
 * on the serial device /dev/ttyS<n-1> (on Windows COMn, opened as \\.\COMn)
 * with the defaults below.
 *
 * Time-outs: every wait is bounded. QOR_ReadByte waits at most the port's
 * per-character time-out (default 200 ms); a write fails when the link
 * takes nothing for that long; a TCP connect waits five time-outs, at least
 * one second (name resolution aside).
 *
 * Threads: calls on different ports run in parallel; calls on the same port
 * are serialised by that port's lock. No call changes process-wide state
 * (signals, environment, locale); descriptors are opened close-on-exec, and
 * a serial device is opened exclusively where the driver allows it.
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

/* Writes one character (its low 8 bits) to the port, opening the port
 * first when needed. The characters of a frame are collected and sent in
 * one piece when its CR is written (or before the next QOR_ReadByte), after
 * any unread input has been discarded. Returns 1 when the character was
 * written (or queued as part of a frame that was then sent), 0 when it was
 * not (port cannot be opened, link failed, time-out). */
QOR_COMM_API int QOR_WriteByte(int port, int character);

/* Returns the next received character (0 to 255), or -1 when none arrives
 * within the port's time-out or the port cannot be used. A TCP connection
 * the server closed is reopened by the next frame. */
QOR_COMM_API int QOR_ReadByte(int port);

/* Opens (or reopens) a port on a target:
 *   "/dev/ttyUSB0"                 a serial device, raw mode, 8N1, no flow control
 *   "socket://HOST:PORT"           a raw TCP connection (serial device servers);
 *                                  HOST a name, an IPv4 address or [IPv6]
 * either followed by options "?baud=N&timeout_ms=M" (baud for serial only,
 * a standard rate 50 to 4000000; timeout_ms 1 to 60000).
 * Defaults: 9600 baud, 200 ms time-out for each character.
 * Returns 1 on success, 0 on failure (bad target, device missing, refused).
 * A malformed target changes nothing. A well-formed one that fails to open
 * is still remembered: later calls on the port retry it, never a default.
 * target must not be NULL (a NULL target is refused with 0). */
QOR_COMM_API int QOR_OpenPort(int port, const char *target);

/* Closes the port and forgets its target; a later QOR_WriteByte or
 * QOR_ReadByte on it opens it again from the environment (QOR_COMM_PORT<n>)
 * or the default device. Closing a port that is not open does nothing. */
QOR_COMM_API void QOR_ClosePort(int port);

#ifdef __cplusplus
}
#endif

#endif /* QOR_COMM_H */
