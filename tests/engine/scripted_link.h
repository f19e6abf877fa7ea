// A byte link inside the test program: it records every character written
// and hands out scripted replies, with -1 wherever the script says the line
// went quiet.
#ifndef QOR_TESTS_SCRIPTED_LINK_H
#define QOR_TESTS_SCRIPTED_LINK_H

#include <functional>
#include <string>
#include <vector>

namespace qor::test {

constexpr int kSilence = -1;

// Forgets everything written and scripted; every write succeeds again.
void Reset();

// Characters the link will deliver on any port, in order, after those
// already queued.
void Deliver(const std::string &text);
// One -1 at this point of the script.
void DeliverSilence();

// Every character written so far, on every port, in order (the refused one
// included).
const std::string &Written();
// The frames written so far, split after each CR.
std::vector<std::string> Frames();
// The frames written to one port, in order.
std::vector<std::string> FramesOn(int port);

// Refuses every write after the first `accepted` characters.
void AcceptOnly(int accepted);

// Calls to QOR_WriteByte and QOR_ReadByte so far, and the ports they named.
int WriteCalls();
int ReadCalls();
int LastPort();

// Instead of a script: computes each reply from the frame once its CR is
// written to a port; the reply is then delivered to that port's next reads.
void Respond(std::function<std::string(int port, const std::string &frame)> responder);

// Whether the line has just failed, as QOR_ReplyOutOfForm answers (a calm
// line after Reset()), and how often the library asked since.
void LineJustFailed(bool failed);
int OutOfFormCalls();

// A port whose reads wait until it is released: a link that hangs. Reads on
// other ports go on meanwhile.
void HoldPort(int port);
void ReleasePort(int port);
// True once a read is waiting on a held port.
bool WaitingOnHeldPort();

}  // namespace qor::test

#endif
