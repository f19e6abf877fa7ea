#include "commands/number_parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engine/protocol.h"

namespace {

std::uint32_t Bits(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float Parsed(const char *text) {
    float value = -7.0f;
    qor::ParseDecimal(text, &value);
    return value;
}

TEST(ParseDecimal, ReadsReplyFieldsAsDecimalNumbers) {
    const float inf = std::numeric_limits<float>::infinity();
    struct {
        const char *text;
        float value;
        bool number;
    } cases[] = {
        {"+00072.10", 72.1f, true},
        {"-00003.46", -3.46f, true},
        {"00000.00", 0.0f, true},
        {"-00000.00", -0.0f, true},
        {"  \t+5", 5.0f, true},
        {"1.5E2", 150.0f, true},
        {"1.5e-2x", 0.015f, true},
        {"2e", 2.0f, true},
        {"2e+", 2.0f, true},
        {".5", 0.5f, true},
        {"5.", 5.0f, true},
        {"12,5", 12.0f, true},
        {"1.2.3", 1.2f, true},
        {"1.2", 1.2f, true},
        {"99999.99", 99999.99f, true},
        {"+00000.30", 0.3f, true},
        {"-00000.07", -0.07f, true},
        {"16777217", 16777216.0f, true},  // a tie, to the even neighbour
        {"16777219", 16777220.0f, true},
        {"1e-18", 1e-18f, true},
        {"1e400", inf, true},
        {"1e-400", 0.0f, true},
        // No digit before the first character that does not fit: no number.
        {"", 0.0f, false},
        {"+", 0.0f, false},
        {"-", 0.0f, false},
        {".", 0.0f, false},
        {"   ", 0.0f, false},
        {"abc", 0.0f, false},
        {".e5", 0.0f, false},
        {"- 5", 0.0f, false},
        {"0x1A", 0.0f, true},  // the "0" is a number; the "x" ends it
        {"inf", 0.0f, false},
        {"nan", 0.0f, false},
    };
    for (const auto &c : cases) {
        float value = -7.0f;
        EXPECT_EQ(qor::ParseDecimal(c.text, &value), c.number) << '"' << c.text << '"';
        EXPECT_EQ(Bits(value), Bits(c.value)) << '"' << c.text << "\" gave " << value;
    }
    // Beyond 64-bit integers (more digits, or powers of ten far out) the
    // scaling runs in floating point: near, not always the nearest.
    EXPECT_FLOAT_EQ(Parsed("123456789012345678901234"), 1.2345679e23f);
    EXPECT_FLOAT_EQ(Parsed("0.000000000000000000000000001"), 1e-27f);
}

TEST(ParseInteger, ReadsCountFields) {
    struct {
        const char *text;
        std::int32_t value;
        bool number;
    } cases[] = {
        {"0000123", 123, true},
        {"-0000042", -42, true},
        {" +7", 7, true},
        {"12ab", 12, true},
        {"0000000", 0, true},
        {"", 0, false},
        {"x1", 0, false},
        {"-", 0, false},
        {"+ 1", 0, false},
        {"99999999999", INT32_MAX, true},
        {"-99999999999", INT32_MIN, true},
        {"2147483647", INT32_MAX, true},
        {"2147483648", INT32_MAX, true},
        {"-2147483648", INT32_MIN, true},
    };
    for (const auto &c : cases) {
        std::int32_t value = -7;
        EXPECT_EQ(qor::ParseInteger(c.text, &value), c.number) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

// Every value field the protocol carries, "+00000.00" to "+99999.99" and the
// same with "-", checked over a range of hundredths. The parse must be the
// float nearest to the field, bit for bit, as the C library's strtof rounds
// it (the test program never leaves the C locale); the field a frame carries
// for that float must be the same text again.
constexpr std::int32_t kFieldCount = 10000000;
constexpr int kPoint = 6;

struct Findings {
    long failures = 0;
    std::string first;
};

void Note(Findings &f, const std::string &what) {
    if (f.failures++ == 0) {
        f.first = what;
    }
}

// "+ddddd.dd" one hundredth up.
void Increment(char *text) {
    for (int i = 8; i > 0; --i) {
        if (i == kPoint) {
            continue;
        }
        if (text[i] != '9') {
            ++text[i];
            return;
        }
        text[i] = '0';
    }
}

// A second opinion on the reference, in integers: whether a positive float
// is the nearest to n hundredths. With the float as s * 2^-k, it is when
// |100 s - n 2^k| is at most 50 (half a unit in the last place, times 100
// 2^k); no field lies exactly halfway between two floats.
bool IsNearest(float value, std::int32_t n) {
    int exponent = 0;
    const float fraction = std::frexp(value, &exponent);  // exact
    const auto s = static_cast<std::int64_t>(std::ldexp(fraction, 24));
    const int k = 24 - exponent;
    if (k < 0 || k > 32) {
        return n == 0 && value == 0.0f;
    }
    const std::int64_t distance = 100 * s - (static_cast<std::int64_t>(n) << k);
    return distance >= -50 && distance <= 50;
}

void CheckFields(std::int32_t begin, std::int32_t end, Findings &f) {
    char text[16];
    std::snprintf(text, sizeof text, "+%05ld.%02ld", static_cast<long>(begin / 100),
                  static_cast<long>(begin % 100));
    char field[10] = {};
    for (std::int32_t n = begin; n < end; ++n, Increment(text)) {
        // Rounding to nearest is symmetric: the "-" field's float is the
        // "+" field's negated.
        text[0] = '+';
        const float positive = std::strtof(text, nullptr);
        if (!IsNearest(positive, n)) {
            Note(f, std::string("strtof itself is not the nearest float for ") + text);
        }
        for (char sign : {'+', '-'}) {
            text[0] = sign;
            const float nearest = sign == '+' ? positive : -positive;
            float value = -7.0f;
            if (!qor::ParseDecimal(text, &value) || Bits(value) != Bits(nearest)) {
                Note(f, std::string("parse of ") + text);
            }
            // The encoder writes "+" for zero of either sign.
            if (!qor::ValueFieldText(nearest, field) || std::memcmp(field + 1, text + 1, 8) != 0 ||
                field[0] != (n == 0 ? '+' : sign)) {
                Note(f, std::string("field for ") + text + ": " + field);
            }
        }
    }
}

// The hundredths the digits of a field stand for.
std::int32_t HundredthsOf(const char *field) {
    std::int32_t h = 0;
    for (int i = 1; i < 9; ++i) {
        if (i != kPoint) {
            h = h * 10 + (field[i] - '0');
        }
    }
    return h;
}

// The positive float `steps` units in the last place away from `value`.
float Step(float value, int steps) {
    const std::uint32_t bits = Bits(value) + static_cast<std::uint32_t>(steps);
    float result = 0.0f;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

// The floats around each midpoint n.nn5 between two fields: the encoder
// rounds the float's exact value half away from zero. Each is compared with
// the midpoint exactly (a float times 200 is exact in a double). Below
// 655.36 the floats are closer than half a hundredth, so there are some on
// both sides of every midpoint.
void CheckMidpoints(std::int32_t begin, std::int32_t end, Findings &f) {
    const std::int32_t last = std::min(end, kFieldCount - 1);
    char field[10] = {};
    for (std::int32_t n = begin; n < last; ++n) {
        const double twice = 2.0 * n + 1.0;  // the midpoint times 200
        const float near = static_cast<float>(twice / 200.0);
        bool below = false;
        bool above = false;
        for (int step = -2; step <= 2; ++step) {
            const float g = Step(near, step);
            const double times200 = static_cast<double>(g) * 200.0;
            if (times200 <= 2.0 * n || times200 >= 2.0 * n + 2.0) {
                continue;  // not between the two fields
            }
            const bool up = times200 >= twice;
            (up ? above : below) = true;
            const std::int32_t expected = up ? n + 1 : n;
            for (float v : {g, -g}) {
                if (!qor::ValueFieldText(v, field) || HundredthsOf(field) != expected ||
                    field[0] != (v < 0 ? '-' : '+')) {
                    char what[96];
                    std::snprintf(what, sizeof what, "%.9g gave %.9s, not %ld hundredths", v, field,
                                  static_cast<long>(expected));
                    Note(f, what);
                }
            }
        }
        if ((!below || !above) && n < 6553600) {
            Note(f, "no floats on both sides of midpoint " + std::to_string(n) + ".5 hundredths");
        }
    }
}

// Splits the hundredths over the machine's cores.
Findings OverEveryField(void (*check)(std::int32_t, std::int32_t, Findings &)) {
    const unsigned cores = std::max(1U, std::min(8U, std::thread::hardware_concurrency()));
    std::vector<Findings> found(cores);
    std::vector<std::thread> threads;
    const std::int32_t share =
        (kFieldCount + static_cast<std::int32_t>(cores) - 1) / static_cast<std::int32_t>(cores);
    for (unsigned t = 0; t < cores; ++t) {
        const std::int32_t begin = share * static_cast<std::int32_t>(t);
        const std::int32_t end = std::min(kFieldCount, begin + share);
        threads.emplace_back([=, &found] { check(begin, end, found[t]); });
    }
    Findings all;
    for (unsigned t = 0; t < cores; ++t) {
        threads[t].join();
        all.failures += found[t].failures;
        if (all.first.empty()) {
            all.first = found[t].first;
        }
    }
    return all;
}

TEST(ValueFields, EveryFieldParsesToTheNearestFloatAndFramesBackToItsText) {
    const Findings f = OverEveryField(CheckFields);
    EXPECT_EQ(f.failures, 0) << "first: " << f.first;
}

TEST(ValueFields, EveryMidpointBetweenFieldsRoundsHalfAwayFromZero) {
    const Findings f = OverEveryField(CheckMidpoints);
    EXPECT_EQ(f.failures, 0) << "first: " << f.first;
}

TEST(ValueFields, WhatNoFieldCarriesIsRefused) {
    char field[10] = "unchanged";
    const float refused[] = {100000.0f,
                             -100000.0f,
                             1e6f,
                             3.4e38f,
                             std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN()};
    for (float v : refused) {
        EXPECT_FALSE(qor::ValueFieldText(v, field)) << v;
        EXPECT_STREQ(field, "unchanged");
    }
    const struct {
        float value;
        const char *text;
    } carried[] = {
        {99999.99f, "+99999.99"},      {99999.9921875f, "+99999.99"},  // the float below 100000
        {-99999.984375f, "-99999.98"}, {0.004999f, "+00000.00"},
        {0.125f, "+00000.13"},                                 // an exact midpoint: away from zero
        {-0.125f, "-00000.13"},        {1e-40f, "+00000.00"},  // subnormal
        {-1e-40f, "-00000.00"}};
    for (const auto &c : carried) {
        ASSERT_TRUE(qor::ValueFieldText(c.value, field)) << c.value;
        EXPECT_EQ(std::string(field, 9), c.text) << c.value;
    }
}

#if defined(__i386__)
// A host may run the x87 unit at 24, 53 or 64 bits of precision (some
// graphics libraries set 24): the fields must come out the same in each.
// The precision control is bits 8 and 9 of the control word: 00 for 24,
// 10 for 53, 11 for 64 bits.
std::uint16_t X87ControlWord() {
    std::uint16_t word = 0;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    return word;
}

void SetX87ControlWord(std::uint16_t word) {
    __asm__ volatile("fldcw %0" : : "m"(word));
}

std::uint16_t WithPrecision(std::uint16_t word, int bits) {
    const std::uint16_t pc = bits == 24 ? 0x000 : bits == 53 ? 0x200 : 0x300;
    return static_cast<std::uint16_t>((word & ~0x300) | pc);
}

TEST(ValueFields, AreTheSameAtEveryX87Precision) {
    const struct {
        const char *text;
        float value;
    } cases[] = {{"+00072.10", 72.1f},  {"1.2", 1.2f},         {"+99999.99", 99999.99f},
                 {"+00000.30", 0.3f},   {"-00000.07", -0.07f}, {"+12345.67", 12345.67f},
                 {"-00003.46", -3.46f}, {"+00000.01", 0.01f}};
    for (int bits : {24, 53, 64}) {
        const std::uint16_t old = X87ControlWord();
        SetX87ControlWord(WithPrecision(old, bits));
        std::vector<std::uint32_t> parsed;
        std::vector<std::string> framed;
        for (const auto &c : cases) {
            float value = 0.0f;
            qor::ParseDecimal(c.text, &value);
            parsed.push_back(Bits(value));
            char field[10] = {};
            qor::ValueFieldText(c.value, field);
            framed.emplace_back(field, 9);
        }
        SetX87ControlWord(old);
        for (std::size_t i = 0; i < parsed.size(); ++i) {
            EXPECT_EQ(parsed[i], Bits(cases[i].value)) << cases[i].text << " at " << bits;
            float expected = 0.0f;
            qor::ParseDecimal(framed[i].c_str(), &expected);
            EXPECT_EQ(Bits(expected), Bits(cases[i].value)) << framed[i] << " at " << bits;
        }
    }
}
#endif

}  // namespace
