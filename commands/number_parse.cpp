#include "commands/number_parse.h"

#include <cstdint>
#include <cstring>

namespace qor {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

const char *SkipBlanksAndSign(const char *text, bool *negative) {
    while (IsBlank(*text)) {
        ++text;
    }
    *negative = (*text == '-');
    if (*text == '+' || *text == '-') {
        ++text;
    }
    return text;
}

// A decimal number as its significant digits and the power of ten that
// scales them: "+00072.10" is 7210 and -2.
struct Decimal {
    std::uint64_t mantissa = 0;
    int exponent = 0;
    bool any_digit = false;
};

constexpr int kMantissaDigits = 19;  // fit an unsigned 64-bit integer
constexpr int kExponentLimit = 100000;

// Takes the digits at p into d; returns the first character after them.
const char *TakeDigits(const char *p, bool in_fraction, Decimal &d) {
    int significant = 0;
    for (std::uint64_t m = d.mantissa; m != 0; m /= 10) {
        ++significant;
    }
    for (; IsDigit(*p); ++p) {
        d.any_digit = true;
        if (d.mantissa == 0 && *p == '0') {
            d.exponent -= in_fraction ? 1 : 0;  // leading zeros carry no digits
        } else if (significant < kMantissaDigits) {
            d.mantissa = d.mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
            ++significant;
            d.exponent -= in_fraction ? 1 : 0;
        } else if (!in_fraction) {
            ++d.exponent;  // digits beyond what the mantissa holds still count
        }
    }
    return p;
}

// An exponent at p ("e", an optional sign, digits) scales d; an "e" without
// digits is not part of the number.
void TakeExponent(const char *p, Decimal &d) {
    if (*p != 'e' && *p != 'E') {
        return;
    }
    bool negative = false;
    const char *q = p + 1;
    if (*q == '+' || *q == '-') {
        negative = (*q == '-');
        ++q;
    }
    int written = 0;
    for (; IsDigit(*q); ++q) {
        if (written < kExponentLimit) {
            written = written * 10 + (*q - '0');
        }
    }
    d.exponent += negative ? -written : written;
}

std::uint64_t PowerOfTen(int n) {
    std::uint64_t power = 1;
    for (; n > 0; --n) {
        power *= 10;
    }
    return power;
}

constexpr int kLargestPower = 19;
// Twice a remainder below the divisor must fit 64 bits.
constexpr int kLargestDivisorPower = 18;

// The number as an integer over a power of ten, when both fit 64 bits.
bool AsQuotient(const Decimal &d, std::uint64_t *numerator, std::uint64_t *divisor) {
    if (d.exponent < -kLargestDivisorPower || d.exponent > kLargestPower) {
        return false;
    }
    if (d.exponent < 0) {
        *numerator = d.mantissa;
        *divisor = PowerOfTen(-d.exponent);
        return true;
    }
    const std::uint64_t power = PowerOfTen(d.exponent);
    if (d.mantissa > UINT64_MAX / power) {
        return false;
    }
    *numerator = d.mantissa * power;
    *divisor = 1;
    return true;
}

constexpr int kSignificandBits = 24;  // of a float, the leading 1 included
constexpr std::uint64_t kRoundingWidth = std::uint64_t{1} << kSignificandBits;
constexpr int kExponentBias = 127;

// The float nearest to numerator / divisor, ties to even, in integers only:
// the quotient's first 25 bits by long division, a sticky bit for whatever
// follows, one rounding, and the float's bits put together. No step uses
// the floating-point unit, so the result does not depend on the precision
// the x87 unit of a 32-bit host runs at (which made a quotient rounded
// first to 64 and then to 24 bits land one unit off), nor on the rounding
// mode. The quotient lies between 10^-18 and 2^64: always a normal float.
float NearestFloat(std::uint64_t numerator, std::uint64_t divisor) {
    std::uint64_t quotient = numerator / divisor;
    std::uint64_t remainder = numerator % divisor;
    int exponent = 0;  // the number is (quotient + remainder / divisor) * 2^exponent
    bool sticky = false;
    while (quotient >= 2 * kRoundingWidth) {
        sticky = sticky || (quotient & 1U) != 0;
        quotient >>= 1;
        ++exponent;
    }
    while (quotient < kRoundingWidth) {
        remainder *= 2;
        quotient *= 2;
        if (remainder >= divisor) {
            remainder -= divisor;
            ++quotient;
        }
        --exponent;
    }
    sticky = sticky || remainder != 0;
    // 25 bits: the significand and the bit that decides the rounding.
    const bool half = (quotient & 1U) != 0;
    quotient >>= 1;
    ++exponent;
    if (half && (sticky || (quotient & 1U) != 0)) {
        ++quotient;
        if (quotient == kRoundingWidth) {
            quotient >>= 1;
            ++exponent;
        }
    }
    const auto biased =
        static_cast<std::uint32_t>(exponent + (kSignificandBits - 1) + kExponentBias);
    const std::uint32_t bits =
        (biased << (kSignificandBits - 1)) | (static_cast<std::uint32_t>(quotient) & 0x7FFFFFU);
    float result = 0.0f;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

// Powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kLargestExactPower = 22;
constexpr std::uint64_t kLargestExactMantissa = std::uint64_t{1} << 53;

// mantissa * 10^exponent in floating point, for the numbers no value field
// carries (far beyond or below what 64-bit integers hold): near, but not
// always the nearest.
double Scale(std::uint64_t mantissa, int exponent) {
    if (mantissa <= kLargestExactMantissa && exponent >= -kLargestExactPower &&
        exponent <= kLargestExactPower) {
        double m = static_cast<double>(mantissa);
        return exponent >= 0 ? m * kExactPowers[exponent] : m / kExactPowers[-exponent];
    }
    if (exponent > 400) {
        return static_cast<double>(mantissa) * 1e308 * 1e308;  // infinity
    }
    if (exponent < -400) {
        return 0.0;
    }
    long double result = static_cast<long double>(mantissa);
    long double power = 10.0L;
    unsigned remaining = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    long double factor = 1.0L;
    while (remaining != 0) {
        if (remaining & 1U) {
            factor *= power;
        }
        power *= power;
        remaining >>= 1;
    }
    result = exponent < 0 ? result / factor : result * factor;
    return static_cast<double>(result);
}

float Magnitude(const Decimal &d) {
    if (d.mantissa == 0) {
        return 0.0f;
    }
    std::uint64_t numerator = 0;
    std::uint64_t divisor = 1;
    if (AsQuotient(d, &numerator, &divisor)) {
        return NearestFloat(numerator, divisor);
    }
    return static_cast<float>(Scale(d.mantissa, d.exponent));
}

}  // namespace

bool ParseDecimal(const char *text, float *value) {
    bool negative = false;
    Decimal d;
    const char *p = TakeDigits(SkipBlanksAndSign(text, &negative), false, d);
    if (*p == '.') {
        p = TakeDigits(p + 1, true, d);
    }
    if (!d.any_digit) {
        *value = 0.0f;
        return false;
    }
    TakeExponent(p, d);
    const float magnitude = Magnitude(d);
    *value = negative ? -magnitude : magnitude;
    return true;
}

bool ParseInteger(const char *text, std::int32_t *value) {
    bool negative = false;
    const char *p = SkipBlanksAndSign(text, &negative);
    std::int64_t magnitude = 0;
    constexpr std::int64_t kLimit = std::int64_t{1} << 31;
    const bool any_digit = IsDigit(*p);
    for (; IsDigit(*p); ++p) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    if (negative) {
        *value = magnitude >= kLimit ? INT32_MIN : static_cast<std::int32_t>(-magnitude);
    } else {
        *value = magnitude >= kLimit ? INT32_MAX : static_cast<std::int32_t>(magnitude);
    }
    return any_digit;
}

}  // namespace qor
