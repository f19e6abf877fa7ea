#include "comm/port_list.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace qor::comm {

namespace {

// The letters compared as text, the number after them as a number.
bool ComesBefore(const QOR_PortInfo &a, const QOR_PortInfo &b) {
    std::string_view a_name(a.device);
    std::string_view b_name(b.device);
    std::string_view a_stem = a_name.substr(0, a_name.find_first_of("0123456789"));
    std::string_view b_stem = b_name.substr(0, b_name.find_first_of("0123456789"));
    if (a_stem != b_stem) {
        return a_stem < b_stem;
    }
    return std::atol(a.device + a_stem.size()) < std::atol(b.device + b_stem.size());
}

}  // namespace

int HandOutPorts(std::vector<QOR_PortInfo> &found, QOR_PortInfo *ports, int capacity) {
    std::sort(found.begin(), found.end(), ComesBefore);
    for (int i = 0; i < capacity && ports != nullptr && i < static_cast<int>(found.size()); ++i) {
        ports[i] = found[static_cast<std::size_t>(i)];
    }
    return static_cast<int>(found.size());
}

}  // namespace qor::comm
