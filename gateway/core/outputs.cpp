#include "gateway/core/outputs.h"

#include <algorithm>

namespace qor::gateway {

void Outputs::TellReading(const PollRef &poll, const Reading &reading, bool published,
                          double seconds) {
    plant_.NoteReading(poll, reading, seconds);
    for (Output *output : list_) {
        output->OnReading(poll, reading, published);
    }
}

void Outputs::TellAvailability(const ModuleRef &module, Availability availability) {
    plant_.NoteAvailability(module, availability);
    for (Output *output : list_) {
        output->OnAvailability(module, availability);
    }
}

void Outputs::TellCounters(const ModuleRef &module, const ModuleCounters &counters) {
    for (Output *output : list_) {
        output->OnCounters(module, counters);
    }
}

void Outputs::TellResult(const Command &command, const CommandResult &result) {
    for (Output *output : list_) {
        output->OnResult(command, result);
    }
    if (command.done) {
        command.done(result);
    }
}

std::uint64_t Outputs::LastSeq(const PollRef &poll) const {
    std::uint64_t seq = 0;
    for (const Output *output : list_) {
        seq = std::max(seq, output->LastSeq(poll));
    }
    return seq;
}

std::vector<OutputHealth> Outputs::Health() const {
    std::vector<OutputHealth> all;
    all.reserve(list_.size());
    for (const Output *output : list_) {
        all.push_back(output->Health());
    }
    return all;
}

}  // namespace qor::gateway
