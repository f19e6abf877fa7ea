// A byte link that a test loads in place of libqor_comm: it records what is
// written and delivers what the test scripted.
#include <string>

extern "C" {

namespace {
std::string written;
std::string incoming;
std::size_t next_incoming = 0;
}  // namespace

int QOR_WriteByte(int, int character) {
    written += static_cast<char>(character);
    return 1;
}

int QOR_ReadByte(int) {
    if (next_incoming >= incoming.size()) {
        return -1;
    }
    return static_cast<unsigned char>(incoming[next_incoming++]);
}

const char *RecordingLinkWritten() {
    return written.c_str();
}

void RecordingLinkDeliver(const char *text) {
    incoming += text;
}

void RecordingLinkReset() {
    written.clear();
    incoming.clear();
    next_incoming = 0;
}
}
