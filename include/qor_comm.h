/*
 * qor_comm: the byte link under qor_dll (serial devices, raw TCP, and
 * Telnet with the com port option, RFC 2217).
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
 * Ports. A port is an integer chosen by the host; qor_dll passes it through
 * unchanged. Up to 64 different port numbers can be in use at once (open,
 * or remembered with a target); a port closed with QOR_ClosePort frees its
 * place, and stays closed (see QOR_ClosePort).
 *
 * Targets. QOR_OpenPort and the environment name a port's target as
 *   "/dev/ttyUSB0", "COM3"      a serial device: raw, 8N1 unless told
 *                               otherwise, no flow control, opened
 *                               exclusively where the driver allows
 *   "socket://HOST:PORT"        a raw TCP connection (serial device servers);
 *                               HOST a name, an IPv4 address or [IPv6]
 *   "rfc2217://HOST:PORT"       a serial device server that speaks Telnet
 *                               with the com port option (RFC 2217): the
 *                               open sets the remote line (rate and framing
 *                               below) and fails unless the server confirms
 *                               each setting; data passes with Telnet's IAC
 *                               (0xFF) doubled, so every byte value crosses
 *                               unchanged. Modem lines are left alone.
 * followed by options "?name=value&name=value", each at most once:
 *   baud=N                 serial and rfc2217: a standard rate 50..4000000
 *                          (9600)
 *   bytesize=7|8           serial and rfc2217: data bits (8)
 *   parity=N|E|O           serial and rfc2217: none, even, odd (N)
 *   stopbits=1|2           serial and rfc2217: stop bits (1)
 *   timeout_ms=M           the wait for each character, 1..60000 (200)
 *   reply_timeout_ms=T     the longest one reply may take, from the first
 *                          read after a frame, 1..600000 (default: 10 x
 *                          timeout_ms, or timeout_ms plus the time 256
 *                          characters take at the line's rate when that is
 *                          longer)
 *   recovery_ms=R          after a failed exchange, the quiet time the line
 *                          must keep before the next frame, 0..60000; 0
 *                          turns recovery off (default: timeout_ms)
 *   guard_ms=G             how long a reply must be followed by silence
 *                          before it is taken, while the link is wary (see
 *                          "Late replies"), 0..60000; 0 turns the wait off
 *                          (default: 20, plus four character times where
 *                          the line's rate is known)
 *   connect_timeout_ms=C   socket:// and rfc2217://: the longest an open
 *                          may take, host lookup and (rfc2217) the
 *                          server's confirmations included, 1..60000
 *                          (default: 4000, or five time-outs when longer)
 *   rs485=0|1              serial only: 1 turns on the driver's RS-485
 *                          mode, RTS raised while a frame is sent (Linux:
 *                          TIOCSRS485; Windows: RTS_CONTROL_TOGGLE); 0,
 *                          the default, leaves the driver's setting alone
 *   rs485_delay_before_ms=D, rs485_delay_after_ms=D
 *                          with rs485=1, Linux only: RTS delays before and
 *                          after sending, 0..1000 (0); drivers keep at
 *                          most what they can (Linux's serial core 100)
 *   low_latency=0|1        serial only, Linux: 1 sets the driver's
 *                          low-latency flag (ASYNC_LOW_LATENCY), so that a
 *                          USB adapter hands on each character at once
 *                          instead of after its latency timer
 *   exclusive=0|1          serial only: 1, the default, holds the device
 *                          for this port alone (an flock(2) lock, and on
 *                          POSIX the kernel's exclusive mode, TIOCEXCL): a
 *                          second opener, in this process or another, is
 *                          refused at once with "port busy: /dev/ttyUSB0 is
 *                          held by qor-gateway (PID 812)" (the holder named
 *                          where its lock shows it) and EBUSY /
 *                          ERROR_SHARING_VIOLATION; a live process's UUCP
 *                          lock file (/var/lock/LCK..ttyUSB0) is honoured
 *                          too. 0 shares the device with other openers
 *                          that share it (a shared lock), for the rare bus
 *                          two programs must take turns on; not on Windows,
 *                          where a COM port opens for one program only
 * An option that asks of a driver or server what it cannot do fails the
 * open, with the reason in QOR_PortError: rs485=1 on a driver without
 * RS-485 mode (a pseudo-terminal, many plain UARTs), low_latency=1 on a
 * driver without the flag or on Windows, RS-485 delays the driver cuts
 * short or Windows lacks, a setting a device server refuses or does not
 * confirm within connect_timeout_ms, a server without the com port option.
 * A port never opens with less than was asked for. Like the line settings,
 * RS-485 mode and the low-latency flag stay on the device after it is
 * closed, as its driver keeps them.
 *
 * Default targets. A port nobody opened with QOR_OpenPort is opened on its
 * first use from the environment variable QOR_COMM_PORT<n> (n the port
 * number, e.g. QOR_COMM_PORT1=socket://device-server:4001), read at that
 * moment, or else on the serial device /dev/ttyS<n-1> (on Windows COMn,
 * opened as \\.\COMn) with the defaults above. Ports below 1 have no
 * default device.
 *
 * Late replies. Input that arrived before a frame is written (a reply to an
 * earlier frame, noise) is discarded; over rfc2217:// the server is then
 * also asked to drop what it still holds (PURGE-DATA). After a failed
 * exchange (a read that ended by time-out, or a reply the host stopped
 * reading before its CR) the next frame on the port also waits until the
 * line has been quiet for recovery_ms (the quiet period, raised as below),
 * and discards whatever arrives meanwhile; a line that keeps chattering
 * holds the frame back at most 4 x recovery_ms in all, then the frame goes
 * out anyway. A successful exchange adds no
 * wait and no system call. Hence a reply that begins within timeout_ms +
 * recovery_ms of its frame (twice the time-out by default) is never taken
 * for the reply to a later frame. Later replies carry no sequence number,
 * but the link still notices them, and refuses a pairing it cannot vouch
 * for (the read then ends with -1, as for a time-out, and recovery runs):
 *   - the guard: after a failed exchange, late input or a refused reply,
 *     the link is wary for ten time-outs. While it is,
 *     a complete reply (from its "*" or "?" to its CR) is handed out only
 *     when nothing else arrives within the guard (guard_ms); input right
 *     behind a reply, in the same read, refuses it at any time. A module
 *     answering late is followed by the answer to the frame that took its
 *     reply, so the second reply gives the pairing away. A link that has
 *     stayed calm pays nothing for this;
 *   - plausible timing: on a serial device that is not a pseudo-terminal,
 *     whose rate is known, a reply complete sooner than 90 % of the wire
 *     time of its frame and itself is refused (not over rfc2217://: a
 *     device server may front a device that passes bytes at once);
 *   - adaptive recovery: late input (found when a frame starts, or arriving
 *     during a recovery wait), a refused reply, or a second failed exchange
 *     in a row within fifty time-outs of either, doubles the quiet period,
 *     at most once per frame, from recovery_ms up to four times it; it
 *     returns to recovery_ms once the link has been calm for ten time-outs.
 *     A raised period makes the line's silence count longer, never the
 *     wait longer than its bound: the whole wait before a frame stays
 *     within 4 x recovery_ms (see "Time-outs");
 *   - replies out of form: while the link is wary or its quiet period
 *     raised, a query's reply that qor_dll finds out of its command's form
 *     is refused too (QOR_ReplyOutOfForm).
 * recovery_ms=0 keeps recovery off. QOR_PortCounts counts these events,
 * and the trace reports each refusal (QOR_TRACE_REFUSED) and each change
 * of the quiet period (QOR_TRACE_QUIET_PERIOD). A module that answers more
 * than ten time-outs late on a link that has stayed calm meanwhile can
 * still have its reply taken by the next frame once; the frame after it
 * finds the second reply waiting and the link turns wary.
 *
 * Time-outs: every wait is bounded. QOR_ReadByte waits at most the port's
 * time-out for each character, and the reads of one reply end together at
 * reply_timeout_ms: a reply begins with the first QOR_ReadByte after a
 * frame was written (or after a read that timed out) and lasts until the
 * next frame, so that a line dripping characters (noise, a module gone
 * wrong) ends the call as a time-out, followed by the recovery wait, rather
 * than after 256 characters. The wait for a quiet line before a frame (after
 * a failed exchange, or when late input is found) lasts at most 4 x
 * recovery_ms in all (800 ms by default), however often input starts the
 * quiet period again and however far it was raised; it is one
 * QOR_TRACE_RECOVERY event. A write fails when the link takes nothing for
 * timeout_ms. So one frame and its reply take at most 4 x recovery_ms +
 * reply_timeout_ms (2.8 s by default, on a line that keeps dripping), plus
 * guard_ms after a reply's CR while the link is wary, plus timeout_ms for
 * each write (the frame, and over rfc2217:// the purge) that finds the link
 * taking nothing. A TCP open waits at most connect_timeout_ms in all: host
 * lookup, connect and, for rfc2217://, every write and read of the
 * negotiation; a server that stops taking what is sent fails it as a
 * stalled write ("the server took nothing more within the open's C ms
 * (connect_timeout_ms)"); once open, a stalled answer to the server's
 * negotiation is "the server took nothing for timeout_ms".
 *
 * Failures. QOR_OpenPort sets errno (POSIX) or the thread's last error
 * (Windows) when it fails, and every failure to open or use a port leaves a
 * text for QOR_PortError naming the target and the reason.
 *
 * Threads: every function may be called from any thread. Calls on different
 * ports run in parallel; calls on the same port are serialised by that
 * port's lock. QOR_PortError, QOR_PortTarget, QOR_PortCounts and
 * QOR_ListPorts take no port's lock. No call changes process-wide state (signals, environment,
 * locale); descriptors are opened close-on-exec. A host name is looked up
 * on a helper thread (with all signals blocked) so that the lookup can be
 * bounded; such a thread ends by itself when the system's lookup returns,
 * and the library stays loaded while one may still be running. At most two
 * lookups of one host name are left running like this; while they are,
 * opens of that name fail at once ("host lookup not started"), and names
 * of other hosts are looked up as usual (a place for each of 64 names at a
 * time). "localhost" and address literals are never looked up: they need
 * neither a name server nor a thread.
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
 * any unread input has been discarded (and, after a failed exchange, after
 * the recovery wait). Returns 1 when the character was written (or queued
 * as part of a frame that was then sent), 0 when it was not (port cannot be
 * opened, link failed, time-out); QOR_PortError then says why. */
QOR_COMM_API int QOR_WriteByte(int port, int character);

/* Returns the next received character (0 to 255), or -1 when none arrives
 * within the port's time-out, when the reply's reply_timeout_ms is used up,
 * or when the port cannot be used. A TCP connection the server closed is
 * reopened by the next frame. */
QOR_COMM_API int QOR_ReadByte(int port);

/* qor_dll's word on a reply it has just read through QOR_ReadByte on the
 * port: though complete and accepting ("*...") and readable, the reply is
 * not in the form its command's modules send (a reading whose field is not
 * a sign, five digits, a point and two digits; a count not seven digits; a
 * limit without its mode letter; a bit state not 0 or 1; input bytes not
 * upper-case hex digits). On a line that has
 * just failed (the link is wary, or its quiet period raised: see "Late
 * replies") such a reply is most likely another frame's, come late while
 * this frame's own was lost, and short replies carry no address to tell:
 * the link refuses it as it refuses a reply the guard catches (counted in
 * QOR_PortCounts' refused, traced as QOR_TRACE_REFUSED, the quiet period
 * raised, the next frame after a quiet line) and returns 1; qor_dll then
 * reports no reply (100/1). On a calm line it changes nothing and returns
 * 0, and qor_dll reads the reply leniently, as modules whose replies
 * differ a little from the form need. It returns 0 too for a port this
 * library does not drive. qor_dll asks only about replies out of form, so
 * a healthy line never pays for it. A host with a byte link of its own may
 * define it for its ports (0 keeps every reply lenient). */
QOR_COMM_API int QOR_ReplyOutOfForm(int port);

/* Opens (or reopens) a port on a target (see "Targets" above).
 * Returns 1 on success, 0 on failure; then errno (POSIX) or GetLastError()
 * (Windows) holds the system's code (EINVAL / ERROR_INVALID_PARAMETER for a
 * malformed target, EMFILE / ERROR_TOO_MANY_OPEN_FILES when 64 other ports
 * are in use, ETIMEDOUT / WSAETIMEDOUT for a connect or lookup that timed
 * out or a device server that did not confirm a setting in time,
 * EHOSTUNREACH / WSAHOST_NOT_FOUND for an unknown host, ENOTTY /
 * ERROR_NOT_SUPPORTED for a driver without RS-485 mode or low-latency flag,
 * ENOTSUP / ERROR_NOT_SUPPORTED for an option this system cannot honour,
 * EPROTONOSUPPORT / WSAEPROTONOSUPPORT for a server without the com port
 * option, EINVAL for a setting a server or driver refused, EBUSY /
 * ERROR_SHARING_VIOLATION for a device another program holds), and
 * QOR_PortError the text. A malformed target changes nothing. A well-formed
 * one that fails to open is still remembered: later calls on the port retry
 * it, never a default. target must not be NULL (a NULL target is refused
 * with 0 and EINVAL). */
QOR_COMM_API int QOR_OpenPort(int port, const char *target);

/* Closes the port and forgets its target. The close is final: later
 * QOR_WriteByte and QOR_ReadByte calls on the port fail (qor_dll reports
 * 200/1) and QOR_PortError says the port was closed, until QOR_OpenPort
 * opens it again; it never falls back to the environment's target or the
 * default device, which serve only ports never opened or closed. A call
 * racing the close from another thread completes on the old link or fails.
 * Closing a port that is not open marks it closed all the same. Closed port
 * numbers take no place among the 64; the last 1024 closed are remembered
 * as closed (a number closed longer ago, and not used since, takes the
 * default rule again). */
QOR_COMM_API void QOR_ClosePort(int port);

/* Copies the text of the last failure on the port into text (at most
 * size - 1 characters, always NUL-terminated when size > 0), for example
 *   "cannot open /dev/ttyUSB0: no such device"
 *   "cannot connect to socket://10.0.0.7:4001: connect timed out after 4000 ms"
 *   "cannot open /dev/ttyS1: the driver has no RS-485 mode (rs485=1)"
 *   "port busy: /dev/ttyUSB0 is held by qor-gateway (PID 812)"
 *   "cannot connect to rfc2217://10.0.0.7:4001: the server did not acknowledge
 *    parity=E (SET-PARITY) within 4000 ms"
 *   "cannot open localhost:4001: no such device; did you mean socket://localhost:4001?"
 *   "bad target \"/dev/ttyS0?timeout_ms=0\": timeout_ms=0 is out of range 1..60000"
 *   "link to /dev/ttyUSB0 lost while reading: Input/output error"
 *   "link to rfc2217://10.0.0.7:4001 lost while writing: write timed out: the
 *    server took nothing for 200 ms"
 * A failure is an open that failed (explicit or on first use), a malformed
 * target, no free port, a call on a closed port ("port 3 was closed
 * (QOR_ClosePort); QOR_OpenPort opens it again"), or a link lost or stuck
 * while in use; a read that times out is not one (the trace reports those). The text is kept until
 * the port next opens successfully. Returns the length of the whole text
 * (which may exceed size - 1; call again with a larger buffer), or 0 when
 * no failure is on record, in which case text is set to "". text may be
 * NULL when size is 0. The texts of the 64 most recently failed ports are
 * kept. Safe from any thread, also from inside a trace callback. */
QOR_COMM_API int QOR_PortError(int port, char *text, int size);

/* Where a port's target comes from (the return value of QOR_PortTarget). */
#define QOR_TARGET_NONE (-1)     /* none: a port below 1 without a variable, or closed */
#define QOR_TARGET_OPENED 0      /* given to QOR_OpenPort */
#define QOR_TARGET_ENVIRONMENT 1 /* the variable QOR_COMM_PORT<n> */
#define QOR_TARGET_DEVICE 2      /* the default device, /dev/ttyS<n-1> or COMn */
/* A buffer of this size holds any target that can be opened. */
#define QOR_TARGET_TEXT_SIZE 512
/* The wait for each character when a target gives no timeout_ms. */
#define QOR_DEFAULT_TIMEOUT_MS 200

/* Tells which target the port uses, or will use on its first use: copies
 * the target text (as given to QOR_OpenPort or found in the environment, or
 * the default device's name) into text (at most size - 1 characters, always
 * NUL-terminated when size > 0; text may be NULL when size is 0) and
 * returns where it comes from, QOR_TARGET_OPENED, QOR_TARGET_ENVIRONMENT or
 * QOR_TARGET_DEVICE (the last two are the default rule), or
 * QOR_TARGET_NONE with text "". A port not yet opened reads the
 * environment now, as its first use would. A malformed variable is
 * reported as it is (its first use will fail). Nothing is opened. Safe
 * from any thread, also from inside a trace callback. */
QOR_COMM_API int QOR_PortTarget(int port, char *text, int size);

/* Whether QOR_OpenPort would accept target as written, judged by the same
 * parser and without opening, looking up or connecting anything: returns 1
 * for a target it would try to open, else 0 with the reason in why (at
 * most size - 1 characters, always NUL-terminated when size > 0; why may be
 * NULL when size is 0), in the words QOR_PortError gives after
 * "bad target \"...\": ", for example "timeout_ms=0 is out of range
 * 1..60000". A 1 promises nothing about the device or the server. Safe from
 * any thread, also from inside a trace callback. */
QOR_COMM_API int QOR_CheckTarget(const char *target, char *why, int size);

/* Trace event kinds. */
#define QOR_TRACE_OPEN 1        /* the port opened; text: the target */
#define QOR_TRACE_OPEN_FAILED 2 /* an open failed; text: the failure */
#define QOR_TRACE_CLOSE 3       /* the link was closed by the host */
#define QOR_TRACE_REOPEN 4      /* reopened after the link was lost; text: the target */
#define QOR_TRACE_WRITE 5       /* bytes: a frame as written */
#define QOR_TRACE_READ 6        /* bytes: reply bytes the host read, up to CR */
/* QOR_TRACE_TIMEOUT: the milliseconds waited are the time-out, or what was
 * left of reply_timeout_ms. QOR_TRACE_RECOVERY: one event for the whole
 * wait before a frame. */
#define QOR_TRACE_TIMEOUT 7       /* nothing came within milliseconds */
#define QOR_TRACE_DISCARD 8       /* bytes: input discarded before a frame */
#define QOR_TRACE_RECOVERY 9      /* the frame waited milliseconds for a quiet line */
#define QOR_TRACE_LINK_LOST 10    /* the link failed and was closed; text: the failure */
#define QOR_TRACE_REFUSED 11      /* a complete reply was not handed out; text: why */
#define QOR_TRACE_QUIET_PERIOD 12 /* the quiet period changed to milliseconds; text: why */

typedef struct QOR_TraceEvent {
    long long time_ns;          /* monotonic clock (never jumps), nanoseconds */
    int port;                   /* the port number */
    int kind;                   /* QOR_TRACE_... */
    const unsigned char *bytes; /* WRITE, READ, DISCARD: the bytes; else NULL */
    int count;                  /* number of bytes */
    int milliseconds;           /* TIMEOUT, RECOVERY: the wait; QUIET_PERIOD: the
                                   new period; else 0 */
    const char *text;           /* OPEN, REOPEN, OPEN_FAILED, LINK_LOST, REFUSED,
                                   QUIET_PERIOD; else NULL */
} QOR_TraceEvent;

/* event and everything it points to is valid only during the call. */
typedef void (*QOR_TraceFunction)(const QOR_TraceEvent *event, void *user);

/* Registers function to be called with user for every event on every port,
 * or removes the callback when function is NULL. Without a callback the
 * library does no trace work beyond one atomic load per call.
 *
 * Events come in the order they happen on a port. READ carries the bytes
 * QOR_ReadByte handed out, one event per reply: it is emitted when a CR is
 * handed out, when the read times out (the part read so far, followed by
 * TIMEOUT), when the next frame starts, and after 256 bytes without a CR.
 * Bytes the host never read are reported by DISCARD. A frame longer than
 * 256 bytes is reported in pieces of 256.
 *
 * The callback runs on the thread of the call that caused the event, while
 * that port's lock is held. It may call QOR_PortError, QOR_PortTarget,
 * QOR_PortCounts, QOR_ListPorts and QOR_SetTrace, and do its own work; it must not call
 * QOR_WriteByte, QOR_ReadByte, QOR_OpenPort or QOR_ClosePort (on any port),
 * nor any qor_dll function, which would wait on a port's lock.
 *
 * When QOR_SetTrace returns, the previous callback is no longer running and
 * will not be called again (so its user data may be freed), unless
 * QOR_SetTrace was called from inside a callback: it then does not wait.
 * Safe from any thread. */
QOR_COMM_API void QOR_SetTrace(QOR_TraceFunction function, void *user);

/* What a port's link has seen of late replies (see "Late replies"). */
typedef struct QOR_LinkCounts {
    long long late_inputs;  /* input found late: waiting when a frame started,
                               or arriving during a recovery wait */
    long long refused;      /* complete replies refused: input followed within
                               the guard, or the reply came too early */
    long long quiet_raised; /* times the quiet period was raised */
    int quiet_ms;           /* the quiet period in force (0 before the first open) */
    int guard_ms;           /* the guard in force: 0 while the link is calm */
} QOR_LinkCounts;

/* Fills *counts for the port: the counts since the port number was first
 * used (they survive reopening, and start again after QOR_ClosePort once no
 * call uses the port). Returns 1, or 0 with every field 0 when the port is
 * not in use. Takes no port's lock; safe from any thread, also from inside
 * a trace callback. counts must not be NULL. */
QOR_COMM_API int QOR_PortCounts(int port, QOR_LinkCounts *counts);

/* One serial port of the machine, as QOR_ListPorts describes it. Text
 * fields are NUL-terminated and "" where unknown. */
typedef struct QOR_PortInfo {
    char device[256];       /* "/dev/ttyUSB0", "COM3": a target for QOR_OpenPort */
    char stable_name[256];  /* "/dev/serial/by-id/usb-..." when one links here */
    char driver[64];        /* the kernel driver or Windows service: "ftdi_sio" */
    int usb_vendor;         /* USB vendor id, -1 when not a USB device */
    int usb_product;        /* USB product id, -1 when not a USB device */
    char manufacturer[128]; /* as the device reports it */
    char product[128];      /* as the device reports it; on Windows its name */
    char serial_number[128];
} QOR_PortInfo;

/* Lists the machine's serial ports, sorted by device name: fills
 * ports[0..capacity-1] and returns how many ports there are, which may be
 * more than capacity (call again with more room) or 0; -1 when the system's
 * list cannot be read. ports may be NULL when capacity is 0.
 * Linux reads sysfs (/sys/class/tty) and /dev/serial/by-id, and leaves out
 * serial ports the kernel reserves without any hardware behind them;
 * Windows reads the registry's SERIALCOMM map and the Ports device class.
 * Opens no port. Safe from any thread. */
QOR_COMM_API int QOR_ListPorts(QOR_PortInfo *ports, int capacity);

#ifdef __cplusplus
}
#endif

#endif /* QOR_COMM_H */
