// What a call does with its port once it holds the port's lock: open the
// link, start a frame, send it, read the reply, report failures and trace.
#ifndef QOR_COMM_PORT_IO_H
#define QOR_COMM_PORT_IO_H

#include "comm/port_table.h"

namespace qor::comm {

// Opens `target` on the call's port, recording a failure when it does not
// open. `text` names the target in the trace.
bool OpenLink(PortCall &call, const Target &target, const char *text);

// Closes the link, if any, and forgets all buffered bytes; `traced` emits
// a close event (the host closed it, rather than a failure).
void CloseLink(PortCall &call, bool traced);

// Notes a failure of the call's port, for QOR_PortError and QOR_OpenPort.
void NoteFailure(PortCall &call, const char *text, int code);

// The first character of a frame: makes sure the link is open, discards
// stale input and, after a failed exchange, waits for a quiet line.
bool StartFrame(PortCall &call);

// Sends the characters collected so far.
bool FlushOutput(PortCall &call);

// The next received character, or -1 (time-out, link unusable).
int NextByte(PortCall &call);

// QOR_ReplyOutOfForm: on a line that has just failed, the reply just read
// is refused as the guard refuses one (traced, counted, the quiet period
// raised, the next frame after a quiet line); true then. False, changing
// nothing, on a calm line or without a link.
bool RefuseReplyOutOfForm(PortCall &call);

}  // namespace qor::comm

#endif  // QOR_COMM_PORT_IO_H
