// Numbers in reply fields, read the same whatever locale the host has set
// and whatever precision it left the x87 unit in.
#ifndef QOR_COMMANDS_NUMBER_PARSE_H
#define QOR_COMMANDS_NUMBER_PARSE_H

#include <cstdint>

namespace qor {

// Leading blanks, an optional sign, digits with an optional fraction and an
// optional exponent; parsing stops at the first character that does not fit.
// *value is the float nearest to the number (ties to even) whenever its
// significant digits (at most 19 are read) times its power of ten fit a
// 64-bit integer and the power is at least 10^-18, which every value field
// the modules send does; beyond that it is within a unit in the last place.
// False, with *value 0, when no digit comes before that first character.
bool ParseDecimal(const char *text, float *value);

// Leading blanks, an optional sign, digits up to the first other character.
// Values beyond 32 bits are held at the nearest limit. False, with *value 0,
// when there is no digit.
bool ParseInteger(const char *text, std::int32_t *value);

}  // namespace qor

#endif  // QOR_COMMANDS_NUMBER_PARSE_H
