/*
 * qor_dll: drives addressable I/O modules that share one byte link and speak
 * a line-oriented ASCII protocol ("$1RD" CR out, "*+00072.10" CR back).
 * The manual page qor_dll(3) says the same at more length.
 *
 * Building against an installed qor
 *   The headers are installed in <prefix>/include/qor/; put that directory
 *   on the include path and write #include <qor_dll.h>. Link with
 *   -lqor_dll -lqor_comm. Both come ready-made from
 *     pkg-config --cflags --libs qor
 *     find_package(qor 1.0 REQUIRED) and the targets qor::qor_dll and
 *     qor::qor_comm (the latter when the host calls qor_comm.h itself).
 *
 * Every command function runs one transaction: it builds the command frame,
 * writes it through QOR_WriteByte of the byte-link library (qor_comm.h),
 * reads the module's one-line reply through QOR_ReadByte, checks it and
 * returns the value it carries. Functions marked "after WE" first send a
 * "WE" (write enable) frame and send their own frame only when "WE" was
 * accepted; their status is that of the first step that failed.
 *
 * Common arguments
 *   port     the link port number, passed unchanged to the byte link (which
 *            opens it on first use, see qor_comm.h).
 *   address  the module's address character in the low 7 bits (pass '1' for
 *            module "1"); higher bits are ignored. An address that would
 *            break its own frame after masking is refused with 200/3: 0
 *            (the frame text would end), CR (the frame's end on the line)
 *            and "$" (every frame's first character: "$$RD" would reach the
 *            modules as a frame for module "R"). Every other character is
 *            sent as it is.
 *   status, error
 *            out-parameters, written on every path, status first. Either may
 *            be NULL: the library then skips that write (the value is only
 *            lost, never an error). The same holds for the mode pointer of
 *            QOR_RH and QOR_RL.
 *
 * Status and error pairs (*status, *error)
 *   0   0     success: every frame was written and every reply accepted.
 *   100 1     a frame was written but no complete reply (one starting with
 *             "*" or "?" and ending with CR) came back within the byte
 *             link's time-out, or the reply was longer than 50 characters
 *             plus CR, or the byte link refused a reply it could not pair
 *             with the frame ("Late replies" in qor_comm.h), among them a
 *             query's reply out of its command's form on a line that has
 *             just failed (QOR_ReplyOutOfForm: below).
 *   100 2     the reply began with "*" but its checksum did not match. Only
 *             long replies carry a checksum; the library always works with
 *             short replies, so this pair is reserved and does not occur.
 *   100 3     an accepting reply that echoes an address (long replies, and
 *             the "EC", "RB" and "DI" replies with checksums on) named
 *             another module than the frame did: the answer to some other
 *             frame, which no module at this address could have sent.
 *   100 other the module answered with an error reply ("?..."): error is the
 *             character code at index 3 of that reply (a signed byte), or 0
 *             when the reply has no character there; "?1 BAD" gives 'B'.
 *   200 1     a frame was not completely written to the byte link (port
 *             cannot be opened, device gone, connection refused or closed).
 *   200 2     the reply's field does not hold what the command reads: a
 *             "DI" reply without exactly the number of hex digits requested
 *             where its layout puts them, or an accepted reply to a value
 *             query (RD, ND, RZ, RH, RL) or a count (RE, EC) whose field
 *             holds no digit at all ("*" alone, "*abc", "*-"), which is no
 *             reading of 0. Otherwise a field is read leniently: leading
 *             blanks are skipped and reading stops at the first character
 *             that does not fit. Leniently on a calm line, that is: while
 *             the byte link is wary after a failure, or its quiet period
 *             raised, a query's reply that these rules take must also be
 *             in its command's own form (a reading: sign, five digits,
 *             point, two digits; RH and RL: that and "L" or "M"; a count:
 *             seven digits; RB: "0" or "1"; DI: upper-case hex digits; in
 *             the long layout behind the echoed address and letters), or
 *             the call reports 100/1: short replies carry no address, and
 *             such a reply is most likely another command's, come late
 *             ("*0000003", a count, would read as 3.0).
 *   200 3     the call's arguments cannot be put into a frame (a value whose
 *             magnitude rounds to 100000.00 or more, NaN or infinity; an
 *             address of 0, CR or "$"; QOR_DI counts out of range); nothing
 *             was sent.
 * The macros below name these numbers. Every function can report 0/0,
 * 100/1, 100/other, 200/1 and 200/3 (for an address of 0, CR or "$");
 * 100/2 belongs to long replies (see above), 100/3 to replies that echo the
 * address; 200/2 comes from QOR_DI, the value queries and the counts.
 * Whenever status is not 0 the returned value is 0 (or 0.0), and the mode
 * of QOR_RH and QOR_RL is -1. Functions that "return the status" return the
 * same number as *status.
 *
 * Threads
 *   Calls on different ports run at the same time, each on its caller's
 *   thread; calls on the same port wait for each other, and each holds the
 *   port for its whole transaction (both steps of an "after WE" call), so
 *   frames on one port never interleave and a "WE" is always directly
 *   followed by its own command. The per-port locks form a fixed table of
 *   64: port numbers that differ by a multiple of 64 share a lock and wait
 *   for each other, but no two calls ever deadlock. A transaction lasts as
 *   long as the byte link takes (its per-character time-out, 200 ms by
 *   default, bounds a silent module; one reply takes at most 256 characters
 *   from the link; with qor_comm a frame and its reply take at most 4 x
 *   recovery_ms + reply_timeout_ms, 2.8 s by default, on a line that keeps
 *   dripping: "Time-outs" in qor_comm.h). The switches below take no lock:
 *   they are process-wide, and a call in progress keeps the settings it
 *   began with.
 *
 *   A host that substitutes its own byte link (see qor_comm.h) must accept
 *   that QOR_WriteByte and QOR_ReadByte are now called for different ports
 *   at the same time, from the host's own threads; for any one port (or two
 *   port numbers 64 apart), never from two threads at once. The library
 *   also calls QOR_ReplyOutOfForm about a query's reply out of form; a
 *   host's link may define it, else qor_comm's answers 0 for the host's
 *   ports and every reply is read leniently.
 *
 * Debug echo
 *   With QOR_EnableDebug(1) every frame before it is sent and every reply
 *   after it is read is shown: on POSIX written to standard error followed
 *   by a newline; on Windows in a message box with an OK button.
 */
#ifndef QOR_DLL_H
#define QOR_DLL_H

#if defined(_WIN32)
#if defined(QOR_DLL_BUILD)
#define QOR_API __declspec(dllexport)
#else
#define QOR_API __declspec(dllimport)
#endif
#define QOR_CALL __stdcall
#else
#define QOR_API __attribute__((visibility("default")))
#define QOR_CALL
#endif

/* Status classes (*status). */
#define QOR_STATUS_OK 0            /* every frame written, every reply accepted */
#define QOR_STATUS_REPLY_FAULT 100 /* no reply, or the module refused the command */
#define QOR_STATUS_LINK_FAULT 200  /* the link or the call's arguments failed */

/* Error details (*error). With QOR_STATUS_REPLY_FAULT, any other error is
 * the module's own error code (the character at index 3 of its reply). */
#define QOR_ERROR_NO_REPLY 1       /* 100: no complete reply */
#define QOR_ERROR_REPLY_CHECKSUM 2 /* 100: reply checksum did not match */
#define QOR_ERROR_OTHER_ADDRESS 3  /* 100: the reply echoes another module's address */
#define QOR_ERROR_NOT_WRITTEN 1    /* 200: frame not completely written */
/* 200: the reply's field does not hold what the command reads (DI digits, a
 * number); QOR_ERROR_DIGIT_COUNT is its earlier name. */
#define QOR_ERROR_REPLY_FIELD 2
#define QOR_ERROR_DIGIT_COUNT QOR_ERROR_REPLY_FIELD
#define QOR_ERROR_ARGUMENTS_REFUSED 3 /* 200: no frame can carry the arguments */

#ifdef __cplusplus
extern "C" {
#endif

/* Switches. Only the low 8 bits count (256 switches off). They take effect on
 * the next frame, for every thread, and start off when the library loads. */

/* Nonzero: every frame and reply is echoed (see above). */
QOR_API void QOR_CALL QOR_EnableDebug(unsigned char flag);
/* Nonzero: every frame carries a two-digit checksum before its CR, and the
 * modules answer "EC", "RB" and "DI" in their long layout (address and
 * command letters echoed), which QOR_EC, QOR_RB and QOR_DI then expect. */
QOR_API void QOR_CALL QOR_EnableCmdChecksum(unsigned char flag);

/* Value queries: "RD" reading, "ND" new reading, "RZ" zero reading. Return
 * the value of the reply's nine-character field ("+00072.10" gives 72.1) as
 * the float nearest to it, or 0.0 when status is not 0; 200/2 when the
 * field holds no digit. */
QOR_API float QOR_CALL QOR_RD(int port, int address, int *status, int *error);
QOR_API float QOR_CALL QOR_ND(int port, int address, int *status, int *error);
QOR_API float QOR_CALL QOR_RZ(int port, int address, int *status, int *error);

/* Alarm modes: the mode argument of QOR_HI and QOR_LO, and what QOR_RH and
 * QOR_RL report. */
#define QOR_MODE_MOMENTARY 0 /* "M": the alarm clears when the value returns */
#define QOR_MODE_LATCHING 1  /* "L": the alarm holds until it is reset */
#define QOR_MODE_NO_LETTER 2 /* HI/LO only: no letter is sent, the module keeps its mode */

/* Values (QOR_HI, QOR_LO, QOR_SP, QOR_TS, QOR_TZ, QOR_AO) are sent rounded
 * to two decimals in a field of five digits before the point: a magnitude
 * of QOR_VALUE_LIMIT or more rounds to 100000.00 and is refused (200/3). */
#define QOR_VALUE_LIMIT 99999.995

/* High ("RH") and low ("RL") alarm limits: return the limit, or 0.0 when
 * status is not 0. *mode (skipped when mode is NULL) receives
 * QOR_MODE_LATCHING for an "L" alarm, QOR_MODE_MOMENTARY for an "M" one,
 * and -1 when the reply carries neither or the transaction failed (200/2
 * for a field without a digit included). */
QOR_API float QOR_CALL QOR_RH(int port, int address, int *mode, int *status, int *error);
QOR_API float QOR_CALL QOR_RL(int port, int address, int *mode, int *status, int *error);

/* Event counter: "RE" reads it; "EC" reads it and clears it (after "WE").
 * Return the seven-digit count (0 to 9999999), or 0 when status is not 0;
 * 200/2 when the count field holds no digit. */
QOR_API int QOR_CALL QOR_RE(int port, int address, int *status, int *error);
QOR_API int QOR_CALL QOR_EC(int port, int address, int *status, int *error);

/* Commands sent after a "WE" frame has been accepted; return the status.
 * CA/CE calibrate, CZ zero, DA disable alarms, EA enable alarms, RR reset. */
QOR_API int QOR_CALL QOR_CA(int port, int address, int *status, int *error);
QOR_API int QOR_CALL QOR_CE(int port, int address, int *status, int *error);
QOR_API int QOR_CALL QOR_CZ(int port, int address, int *status, int *error);
QOR_API int QOR_CALL QOR_DA(int port, int address, int *status, int *error);
QOR_API int QOR_CALL QOR_EA(int port, int address, int *status, int *error);
QOR_API int QOR_CALL QOR_RR(int port, int address, int *status, int *error);

/* Alarm limits (after "WE"): value is sent rounded to two decimals, then
 * mode QOR_MODE_MOMENTARY (0) adds "M", QOR_MODE_LATCHING (1) adds "L", and
 * QOR_MODE_NO_LETTER (2, or any other number) adds no letter. Return the
 * status; 200/3 (nothing sent) also for a value that cannot be framed. */
QOR_API int QOR_CALL QOR_HI(int port, int address, int mode, float value, int *status, int *error);
QOR_API int QOR_CALL QOR_LO(int port, int address, int mode, float value, int *status, int *error);

/* Setpoint "SP", trim span "TS", trim zero "TZ" (after "WE"): value is sent
 * rounded to two decimals (-99999.99 to 99999.99; beyond that 200/3, nothing
 * sent). Return the status. */
QOR_API int QOR_CALL QOR_SP(int port, int address, float value, int *status, int *error);
QOR_API int QOR_CALL QOR_TS(int port, int address, float value, int *status, int *error);
QOR_API int QOR_CALL QOR_TZ(int port, int address, float value, int *status, int *error);

/* Analog output "AO" (no "WE"): value as for QOR_SP. Returns the status. */
QOR_API int QOR_CALL QOR_AO(int port, int address, float value, int *status, int *error);

/* Digital outputs "DO" (no "WE"): count 1 sends byteB alone, any other count
 * sends byteA then byteB, each as two upper-case hex digits of its low 8
 * bits. Returns the status. */
QOR_API int QOR_CALL QOR_DO(int port, int address, int byteA, int byteB, int count, int *status,
                            int *error);

/* Digital inputs "DI": the module answers with byteCount bytes in hex (1 to
 * 24, or 1 to 22 with checksums on, whose longer reply leaves less room);
 * byteIndex 1 selects the last byte, byteCount the first; returns bit
 * (bit & 7) of that byte, 0 or 1, or 0 when status is not 0. 200/2 (the
 * reply's field does not hold what the command reads) when
 * the reply does not hold exactly 2 * byteCount hex digits between its "*"
 * and its CR (with checksums on: between the echoed "DI" and the reply's
 * checksum); 200/3 (nothing sent) when byteCount is out of that range
 * or byteIndex not 1..byteCount. */
QOR_API int QOR_CALL QOR_DI(int port, int address, int byteCount, int byteIndex, int bit,
                            int *status, int *error);

/* Bits by number (0 to 63; only the low 6 bits of bit are sent): RB reads
 * one and returns 0 or 1 (0 when status is not 0); SB sets it and CB clears
 * it, returning the status. */
QOR_API int QOR_CALL QOR_RB(int port, int address, int bit, int *status, int *error);
QOR_API int QOR_CALL QOR_SB(int port, int address, int bit, int *status, int *error);
QOR_API int QOR_CALL QOR_CB(int port, int address, int bit, int *status, int *error);

#ifdef __cplusplus
}
#endif

#endif /* QOR_DLL_H */
