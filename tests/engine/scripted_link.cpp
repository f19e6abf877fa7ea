#include "scripted_link.h"

#include <deque>
#include <mutex>

#include "qor_comm.h"

namespace qor::test {

namespace {

std::mutex mutex;
std::string written;
std::deque<int> incoming;
int accepted_limit = -1;
int write_calls = 0;
int read_calls = 0;
int last_port = 0;
std::string pending_frame;
std::function<std::string(const std::string &)> responder;

}  // namespace

void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    written.clear();
    incoming.clear();
    accepted_limit = -1;
    write_calls = read_calls = last_port = 0;
    pending_frame.clear();
    responder = nullptr;
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
    std::vector<std::string> frames;
    std::string current;
    for (char c : written) {
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

void Respond(std::function<std::string(const std::string &)> r) {
    std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(r);
}

}  // namespace qor::test

using namespace qor::test;

extern "C" int QOR_WriteByte(int port, int character) {
    std::lock_guard<std::mutex> lock(mutex);
    ++write_calls;
    last_port = port;
    written += static_cast<char>(character);
    if (accepted_limit >= 0 && static_cast<int>(written.size()) > accepted_limit) {
        return 0;
    }
    if (responder) {
        pending_frame += static_cast<char>(character);
        if (character == '\r') {
            for (unsigned char c : responder(pending_frame)) {
                incoming.push_back(c);
            }
            pending_frame.clear();
        }
    }
    return 1;
}

extern "C" int QOR_ReadByte(int port) {
    std::lock_guard<std::mutex> lock(mutex);
    ++read_calls;
    last_port = port;
    if (incoming.empty()) {
        return kSilence;
    }
    int c = incoming.front();
    incoming.pop_front();
    return c;
}
