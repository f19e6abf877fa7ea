// The call each catalogue row makes: the one map from a row to its export
// that qor and qor-gateway share. It links the protocol library, so it is a
// library of its own beside the catalogue's data (qor_catalogue_calls).
#ifndef QOR_CATALOGUE_CALLS_H
#define QOR_CATALOGUE_CALLS_H

#include <cstddef>

#include "catalogue/catalogue.h"

namespace qor::catalogue {

// What a call takes beyond port and address, in its row's argument order.
struct CallArgs {
    float value = 0.0f;             // ArgKind::kValue
    int mode = QOR_MODE_NO_LETTER;  // ArgKind::kMode: the letter to send, if any
    // The integer arguments in order: bytes (one goes out alone, two as
    // byteA then byteB), a DI's count, index and bit, a bit number.
    int ints[kMaxArgs] = {};
    std::size_t int_count = 0;
};

// What the export returned, by the row's result kind.
struct CallResult {
    int status = 0;
    int error = 0;
    double value = 0.0;  // kValue, kLimit: the float the library returned
    int mode = -1;       // kLimit: QOR_MODE_LATCHING, QOR_MODE_MOMENTARY, -1 none
    long count = 0;      // kCount, kBit
};

// Runs the row's export on the port. False, with nothing called, for a row
// this build has no call for (the tests check that every row has one).
bool Call(const Command &row, int port, int address, const CallArgs &args, CallResult &out);
bool HasCall(const Command &row);

}  // namespace qor::catalogue

#endif  // QOR_CATALOGUE_CALLS_H
