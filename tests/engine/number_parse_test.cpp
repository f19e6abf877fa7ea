#include "number_parse.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(ParseDecimal, ReadsReplyFieldsAsDecimalNumbers) {
    struct {
        const char *text;
        double value;
    } cases[] = {
        {"+00072.10", 72.1},
        {"-00003.46", -3.46},
        {"00000.00", 0.0},
        {"  \t+5", 5.0},
        {"1.5E2", 150.0},
        {"1.5e-2x", 0.015},
        {"2e", 2.0},
        {"2e+", 2.0},
        {".5", 0.5},
        {"5.", 5.0},
        {"", 0.0},
        {"+", 0.0},
        {".", 0.0},
        {"abc", 0.0},
        {"0x1A", 0.0},
        {"12,5", 12.0},
        {"1.2.3", 1.2},
        {"- 5", 0.0},
        {"99999.99", 99999.99},
        {"+00000.30", 0.3},
        {"-00000.07", -0.07},
        {"1e400", HUGE_VAL},
        {"1e-400", 0.0},
    };
    // Up to 2^53 with a power of ten up to 22 the result is the nearest
    // double, which the compiler gives each literal.
    for (const auto &c : cases) {
        EXPECT_EQ(qor::ParseDecimal(c.text), c.value) << '"' << c.text << '"';
    }
    // Beyond, the scaling runs in long double, which is near but not always
    // the nearest double.
    EXPECT_DOUBLE_EQ(qor::ParseDecimal("123456789012345678901234"), 1.2345678901234568e23);
    EXPECT_DOUBLE_EQ(qor::ParseDecimal("0.000000000000000000000000001"), 1e-27);
}

TEST(ParseInteger, ReadsCountFields) {
    struct {
        const char *text;
        std::int32_t value;
    } cases[] = {
        {"0000123", 123},
        {"-0000042", -42},
        {" +7", 7},
        {"12ab", 12},
        {"", 0},
        {"x1", 0},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(qor::ParseInteger(c.text), c.value) << '"' << c.text << '"';
    }
}

}  // namespace
