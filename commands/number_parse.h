// Numbers in reply fields, read the same whatever locale the host has set.
#ifndef QOR_COMMANDS_NUMBER_PARSE_H
#define QOR_COMMANDS_NUMBER_PARSE_H

#include <cstdint>

namespace qor {

// Leading blanks, an optional sign, digits with an optional fraction and an
// optional exponent; parsing stops at the first character that does not fit.
// No number gives 0.
double ParseDecimal(const char *text);

// Leading blanks, an optional sign, digits up to the first other character.
// No digits give 0; values beyond 32 bits are held at the nearest limit.
std::int32_t ParseInteger(const char *text);

}  // namespace qor

#endif  // QOR_COMMANDS_NUMBER_PARSE_H
