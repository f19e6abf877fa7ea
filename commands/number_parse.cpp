#include "number_parse.h"

#include <cstdint>

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

// Powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kLargestExactPower = 22;
constexpr std::uint64_t kLargestExactMantissa = std::uint64_t{1} << 53;
constexpr int kMantissaDigits = 19;  // fit an unsigned 64-bit integer
constexpr int kExponentLimit = 100000;

// mantissa * 10^exponent. With a mantissa and a power that a double holds
// exactly, one multiplication or division rounds once and so gives the
// nearest double; otherwise the scaling runs in the widest type at hand.
double Scale(std::uint64_t mantissa, int exponent) {
    if (mantissa == 0) {
        return 0.0;
    }
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

}  // namespace

double ParseDecimal(const char *text) {
    bool negative = false;
    const char *p = SkipBlanksAndSign(text, &negative);

    std::uint64_t mantissa = 0;
    int significant = 0;
    int exponent = 0;
    bool any_digit = false;
    auto take_digit = [&](char digit, bool in_fraction) {
        any_digit = true;
        if (mantissa == 0 && digit == '0') {
            exponent -= in_fraction ? 1 : 0;  // leading zeros carry no digits
            return;
        }
        if (significant < kMantissaDigits) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(digit - '0');
            ++significant;
            exponent -= in_fraction ? 1 : 0;
        } else if (!in_fraction) {
            ++exponent;  // digits beyond what the mantissa holds still count
        }
    };
    for (; IsDigit(*p); ++p) {
        take_digit(*p, false);
    }
    if (*p == '.') {
        for (++p; IsDigit(*p); ++p) {
            take_digit(*p, true);
        }
    }
    if (!any_digit) {
        return 0.0;
    }
    if (*p == 'e' || *p == 'E') {
        bool exponent_negative = false;
        const char *q = p + 1;
        if (*q == '+' || *q == '-') {
            exponent_negative = (*q == '-');
            ++q;
        }
        if (IsDigit(*q)) {
            int written = 0;
            for (; IsDigit(*q); ++q) {
                if (written < kExponentLimit) {
                    written = written * 10 + (*q - '0');
                }
            }
            exponent += exponent_negative ? -written : written;
        }
    }
    double magnitude = Scale(mantissa, exponent);
    return negative ? -magnitude : magnitude;
}

std::int32_t ParseInteger(const char *text) {
    bool negative = false;
    const char *p = SkipBlanksAndSign(text, &negative);
    std::int64_t magnitude = 0;
    constexpr std::int64_t kLimit = std::int64_t{1} << 31;
    for (; IsDigit(*p); ++p) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    if (negative) {
        return magnitude >= kLimit ? INT32_MIN : static_cast<std::int32_t>(-magnitude);
    }
    return magnitude >= kLimit ? INT32_MAX : static_cast<std::int32_t>(magnitude);
}

}  // namespace qor
