#include "tests/engine/scripted_link.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "qor_comm.h"

namespace qor::test {

namespace {

std::mutex mutex;
std::condition_variable released;
std::string written;
std::map<int, std::string> written_on;
std::deque<int> incoming;                  // any port
std::map<int, std::deque<int>> answers;    // computed by the responder, per port
std::map<int, std::string> pending_frame;  // per port
int accepted_limit = -1;
int write_calls = 0;
int read_calls = 0;
int last_port = 0;
int held_port = 0;
bool holding = false;
bool waiting = false;
bool line_failed = false;
int out_of_form_calls = 0;
std::function<std::string(int, const std::string &)> responder;

std::vector<std::string> SplitFrames(const std::string &text) {
    std::vector<std::string> frames;
    std::string current;
    for (char c : text) {
        current += c;
        if (c == '\r') {
            frames.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) {
        frames.push_back(current);
    }
    return frames;
}

}  // namespace

void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    written.clear();
    written_on.clear();
    incoming.clear();
    answers.clear();
    pending_frame.clear();
    accepted_limit = -1;
    write_calls = read_calls = last_port = 0;
    holding = waiting = false;
    responder = nullptr;
    line_failed = false;
    out_of_form_calls = 0;
}

void LineJustFailed(bool failed) {
    std::lock_guard<std::mutex> lock(mutex);
    line_failed = failed;
}

int OutOfFormCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    return out_of_form_calls;
}

void Deliver(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex);
    for (unsigned char c : text) {
        incoming.push_back(c);
    }
}

void DeliverSilence() {
    std::lock_guard<std::mutex> lock(mutex);
    incoming.push_back(kSilence);
}

const std::string &Written() {
    return written;
}

std::vector<std::string> Frames() {
    std::lock_guard<std::mutex> lock(mutex);
    return SplitFrames(written);
}

std::vector<std::string> FramesOn(int port) {
    std::lock_guard<std::mutex> lock(mutex);
    return SplitFrames(written_on[port]);
}

void AcceptOnly(int accepted) {
    accepted_limit = accepted;
}
int WriteCalls() {
    return write_calls;
}
int ReadCalls() {
    return read_calls;
}
int LastPort() {
    return last_port;
}

void Respond(std::function<std::string(int, const std::string &)> r) {
    std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(r);
}

void HoldPort(int port) {
    std::lock_guard<std::mutex> lock(mutex);
    held_port = port;
    holding = true;
}

void ReleasePort(int) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = false;
    }
    released.notify_all();
}

bool WaitingOnHeldPort() {
    std::lock_guard<std::mutex> lock(mutex);
    return waiting;
}

}  // namespace qor::test

using namespace qor::test;

extern "C" int QOR_WriteByte(int port, int character) {
    std::lock_guard<std::mutex> lock(mutex);
    ++write_calls;
    last_port = port;
    written += static_cast<char>(character);
    written_on[port] += static_cast<char>(character);
    if (accepted_limit >= 0 && static_cast<int>(written.size()) > accepted_limit) {
        return 0;
    }
    if (responder) {
        std::string &frame = pending_frame[port];
        frame += static_cast<char>(character);
        if (character == '\r') {
            for (unsigned char c : responder(port, frame)) {
                answers[port].push_back(c);
            }
            frame.clear();
        }
    }
    return 1;
}

extern "C" int QOR_ReadByte(int port) {
    std::unique_lock<std::mutex> lock(mutex);
    ++read_calls;
    last_port = port;
    if (holding && port == held_port) {
        waiting = true;
        released.wait(lock, [] { return !holding; });
        waiting = false;
    }
    std::deque<int> &queue = answers[port].empty() ? incoming : answers[port];
    if (queue.empty()) {
        return kSilence;
    }
    int c = queue.front();
    queue.pop_front();
    return c;
}

extern "C" int QOR_ReplyOutOfForm(int port) {
    std::lock_guard<std::mutex> lock(mutex);
    ++out_of_form_calls;
    last_port = port;
    return line_failed ? 1 : 0;
}
