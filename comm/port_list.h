// QOR_ListPorts: the machine's serial ports, one implementation per
// platform (port_list_linux.cpp, port_list_win32.cpp).
#ifndef QOR_COMM_PORT_LIST_H
#define QOR_COMM_PORT_LIST_H

#include <vector>

#include "qor_comm.h"

namespace qor::comm {

// QOR_ListPorts (see qor_comm.h), reading the file system below `root`:
// nullptr or "" for the real one. The tests point it at a fixture tree
// shaped like sysfs and /dev (tests/comm/port_list_test.cpp); Windows has
// no such root and ignores it.
int ListPorts(const char *root, QOR_PortInfo *ports, int capacity);

// What both platforms' ListPorts end with: sorts `found` (ttyS2 before
// ttyS10, COM2 before COM10), copies as many as fit into `ports` and
// returns how many there are.
int HandOutPorts(std::vector<QOR_PortInfo> &found, QOR_PortInfo *ports, int capacity);

}  // namespace qor::comm

#endif  // QOR_COMM_PORT_LIST_H
