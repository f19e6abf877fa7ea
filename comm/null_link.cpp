// A byte link that is not connected to anything: every write fails and
// every read reports that no character came.
#include "qor_comm.h"

extern "C" {
int QOR_WriteByte(int, int) { return 0; }
int QOR_ReadByte(int) { return -1; }
int QOR_OpenPort(int, const char *) { return 0; }
void QOR_ClosePort(int) {}
}
