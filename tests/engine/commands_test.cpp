// The 24 command functions over the scripted link: frames sent, value
// returned, status and error, family by family.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engine/library_state.h"
#include "qor_dll.h"
#include "tests/engine/scripted_link.h"

namespace script = qor::test;  // the scripted byte link (scripted_link.h)
using Frames = std::vector<std::string>;

namespace {

// One exported call: returns its value as a double, writes status and error.
using Call = std::function<double(int *status, int *error)>;

struct CommandCase {
    const char *name;
    Call call;
    std::string replies;  // everything the link delivers, in order
    Frames frames;        // every frame written, in order
    double value;
    int status, error;
    unsigned char checksum = 0;
    int accepted_writes = -1;  // -1: the link takes every character
    bool line_failed = false;  // the link refuses a reply out of form
};

class Command : public ::testing::TestWithParam<CommandCase> {
  protected:
    void SetUp() override {
        script::Reset();
        qor::AttachLibrary();
    }
    void TearDown() override { qor::AttachLibrary(); }
};

TEST_P(Command, SendsItsFramesAndReportsItsOutcome) {
    const CommandCase &c = GetParam();
    QOR_EnableCmdChecksum(c.checksum);
    script::AcceptOnly(c.accepted_writes);
    script::LineJustFailed(c.line_failed);
    script::Deliver(c.replies);
    int status = -7;
    int error = -7;
    double value = c.call(&status, &error);
    EXPECT_EQ(script::Frames(), c.frames);
    EXPECT_FLOAT_EQ(static_cast<float>(value), static_cast<float>(c.value));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(error, c.error);
}

void PrintTo(const CommandCase &c, std::ostream *os) {
    *os << c.name;
}

std::string Name(const ::testing::TestParamInfo<CommandCase> &info) {
    return info.param.name;
}

const int kA = '1';  // the module address character used throughout

Call rd = [](int *s, int *e) { return QOR_RD(1, kA, s, e); };
Call nd = [](int *s, int *e) { return QOR_ND(1, kA, s, e); };
Call rz = [](int *s, int *e) { return QOR_RZ(1, kA, s, e); };
Call re = [](int *s, int *e) { return QOR_RE(1, kA, s, e); };
Call ec = [](int *s, int *e) { return QOR_EC(1, kA, s, e); };
Call rh = [](int *s, int *e) {
    int mode = -7;
    return QOR_RH(1, kA, &mode, s, e);
};
Call rl = [](int *s, int *e) {
    int mode = -7;
    return QOR_RL(1, kA, &mode, s, e);
};

INSTANTIATE_TEST_SUITE_P(
    ValueQueries, Command,
    ::testing::Values(
        CommandCase{"Reading", rd, "*+00072.10\r", {"$1RD\r"}, 72.1, 0, 0},
        CommandCase{"NegativeReading", rd, "*-00003.46\r", {"$1RD\r"}, -3.46, 0, 0},
        CommandCase{"NewReading", nd, "*+00001.50\r", {"$1ND\r"}, 1.5, 0, 0},
        CommandCase{"ZeroReading", rz, "*-00000.25\r", {"$1RZ\r"}, -0.25, 0, 0},
        CommandCase{"ReadingWithExponent", rd, "* 1.5E2xyz\r", {"$1RD\r"}, 150.0, 0, 0},
        // A field without a single digit is no reading of 0.
        CommandCase{"AcceptedReplyWithoutNumber", rd, "*\r", {"$1RD\r"}, 0.0, 200, 2},
        CommandCase{"NewReadingOfLetters", nd, "*abc\r", {"$1ND\r"}, 0.0, 200, 2},
        CommandCase{"ZeroReadingOfASignAlone", rz, "*-\r", {"$1RZ\r"}, 0.0, 200, 2},
        CommandCase{"HighLimitWithoutNumber", rh, "*\r", {"$1RH\r"}, 0.0, 200, 2},
        CommandCase{"LowLimitOfBlanksAndAMode", rl, "*         M\r", {"$1RL\r"}, 0.0, 200, 2},
        CommandCase{"ReadingOfAPointAndExponent", rd, "*.e5\r", {"$1RD\r"}, 0.0, 200, 2},
        CommandCase{"ReadingThatStopsAfterItsDigits", rd, "*  7xyz\r", {"$1RD\r"}, 7.0, 0, 0},
        CommandCase{"LinkRefusesTheFrame", rd, "*+00072.10\r", {"$"}, 0.0, 200, 1, 0, 0},
        CommandCase{"ModuleErrorReply", rd, "?1 BAD\r", {"$1RD\r"}, 0.0, 100, 'B'},
        CommandCase{"SilentModule", rd, "", {"$1RD\r"}, 0.0, 100, 1},
        CommandCase{"CutOffReading", rd, "*+0007", {"$1RD\r"}, 0.0, 100, 1},
        CommandCase{"ReadingWithFrameChecksum", rd, "*+00072.10\r", {"$1RDEB\r"}, 72.1, 0, 0, 1},
        CommandCase{"EventCount", re, "*0000123\r", {"$1RE\r"}, 123, 0, 0},
        // On a line that has just failed a reply is held to its command's
        // form: an RE count that came late for RD is no reading of 3; on a
        // calm line it is read leniently, as ever. What the lenient reading
        // refuses itself keeps its own report.
        CommandCase{
            "CountForAReadingOnAFailingLine", rd, "*0000003\r", {"$1RD\r"}, 0, 100, 1, 0, -1, true},
        CommandCase{"CountForAReadingOnACalmLine", rd, "*0000003\r", {"$1RD\r"}, 3.0, 0, 0},
        CommandCase{
            "ReadingOnAFailingLine", rd, "*-00003.46\r", {"$1RD\r"}, -3.46, 0, 0, 0, -1, true},
        CommandCase{
            "BareAcceptForAReadingOnAFailingLine", nd, "*\r", {"$1ND\r"}, 0, 200, 2, 0, -1, true},
        CommandCase{"ReadingWithABlankOnAFailingLine",
                    rz,
                    "*+0072.10 \r",
                    {"$1RZ\r"},
                    0,
                    100,
                    1,
                    0,
                    -1,
                    true},
        CommandCase{"ReadingForALimitOnAFailingLine",
                    rh,
                    "*+00072.10\r",
                    {"$1RH\r"},
                    0,
                    100,
                    1,
                    0,
                    -1,
                    true},
        CommandCase{
            "LimitOnAFailingLine", rl, "*-00010.00M\r", {"$1RL\r"}, -10.0, 0, 0, 0, -1, true},
        CommandCase{"ReadingForACountOnAFailingLine",
                    re,
                    "*+00072.10\r",
                    {"$1RE\r"},
                    0,
                    100,
                    1,
                    0,
                    -1,
                    true},
        CommandCase{"ReadingForACountOnACalmLine", re, "*+00072.10\r", {"$1RE\r"}, 72, 0, 0},
        CommandCase{"CountOnAFailingLine", re, "*0000123\r", {"$1RE\r"}, 123, 0, 0, 0, -1, true},
        CommandCase{"CountAndClearOfAReadingOnAFailingLine",
                    ec,
                    "*\r*+00072.10\r",
                    {"$1WE\r", "$1EC\r"},
                    0,
                    100,
                    1,
                    0,
                    -1,
                    true},
        CommandCase{"CountAndClearLongLayoutOnAFailingLine",
                    ec,
                    "*\r*1EC000007741\r",
                    {"$1WEF1\r", "$1ECDD\r"},
                    77,
                    0,
                    0,
                    1,
                    -1,
                    true},
        CommandCase{
            "EventCountWithFrameChecksumStillShort", re, "*0000123\r", {"$1REEC\r"}, 123, 0, 0, 1},
        CommandCase{"EventCountFails", re, "?1 X\r", {"$1RE\r"}, 0, 100, 'X'},
        CommandCase{"EventCountWithoutNumber", re, "*\r", {"$1RE\r"}, 0, 200, 2},
        CommandCase{"EventCountOfLetters", re, "*abc\r", {"$1RE\r"}, 0, 200, 2},
        CommandCase{"EventCountOfASignAlone", re, "*-\r", {"$1RE\r"}, 0, 200, 2},
        CommandCase{"EventCountStopsAfterItsDigits", re, "* 12ab\r", {"$1RE\r"}, 12, 0, 0},
        CommandCase{"CountAndClearWithoutNumber", ec, "*\r*\r", {"$1WE\r", "$1EC\r"}, 0, 200, 2},
        CommandCase{"CountAndClearOfLetters", ec, "*\r*abc\r", {"$1WE\r", "$1EC\r"}, 0, 200, 2},
        CommandCase{"CountAndClear", ec, "*\r*0000042\r", {"$1WE\r", "$1EC\r"}, 42, 0, 0},
        CommandCase{
            "CountAndClearRefusedWriteEnable", ec, "?1 NO\r*0000042\r", {"$1WE\r"}, 0, 100, 'N'},
        CommandCase{"CountAndClearSecondFrameRefused",
                    ec,
                    "*\r*0000042\r",
                    {"$1WE\r", "$"},
                    0,
                    200,
                    1,
                    0,
                    5},
        CommandCase{"CountAndClearLongLayoutWithChecksum",
                    ec,
                    "*\r*1EC000007741\r",
                    {"$1WEF1\r", "$1ECDD\r"},
                    77,
                    0,
                    0,
                    1},
        // A late reply of module 2 is no count of module 1's.
        CommandCase{"CountAndClearFromAnotherAddress",
                    ec,
                    "*\r*2EC000007742\r",
                    {"$1WEF1\r", "$1ECDD\r"},
                    0,
                    100,
                    3,
                    1},
        // "$$RD" would be a frame for module "R"; a CR would end the frame
        // after its prompt.
        CommandCase{"PromptAsAddressSendsNothing",
                    [](int *s, int *e) { return QOR_RD(1, '$', s, e); },
                    "*+00072.10\r",
                    {},
                    0,
                    200,
                    3},
        CommandCase{"CarriageReturnAsAddressSendsNothing",
                    [](int *s, int *e) { return QOR_RE(1, '\r', s, e); },
                    "*0000123\r",
                    {},
                    0,
                    200,
                    3}),
    Name);

Call hi_latching = [](int *s, int *e) { return QOR_HI(1, kA, 1, 100.0f, s, e); };
Call hi_momentary = [](int *s, int *e) { return QOR_HI(1, kA, 0, 100.0f, s, e); };
Call hi_no_mode = [](int *s, int *e) { return QOR_HI(1, kA, 5, 100.0f, s, e); };
Call lo_latching = [](int *s, int *e) { return QOR_LO(1, kA, 1, -10.0f, s, e); };
Call sp = [](int *s, int *e) { return QOR_SP(1, kA, -3.456f, s, e); };
Call ts = [](int *s, int *e) { return QOR_TS(1, kA, 2.0f, s, e); };
Call tz = [](int *s, int *e) { return QOR_TZ(1, kA, -0.5f, s, e); };
Call cz = [](int *s, int *e) { return QOR_CZ(1, kA, s, e); };
Call sp_too_large = [](int *s, int *e) { return QOR_SP(1, kA, 100000.0f, s, e); };
Call hi_not_a_number = [](int *s, int *e) {
    return QOR_HI(1, kA, 1, std::numeric_limits<float>::quiet_NaN(), s, e);
};
Call ca_no_address = [](int *s, int *e) { return QOR_CA(1, 0, s, e); };
Call ca_prompt_address = [](int *s, int *e) { return QOR_CA(1, '$', s, e); };

INSTANTIATE_TEST_SUITE_P(
    AfterWriteEnable, Command,
    ::testing::Values(
        CommandCase{"Calibrate",
                    [](int *s, int *e) { return QOR_CA(1, kA, s, e); },
                    "*\r*\r",
                    {"$1WE\r", "$1CA\r"},
                    0,
                    0,
                    0},
        CommandCase{"CalibrateOther",
                    [](int *s, int *e) { return QOR_CE(1, kA, s, e); },
                    "*\r*\r",
                    {"$1WE\r", "$1CE\r"},
                    0,
                    0,
                    0},
        CommandCase{"Zero", cz, "*\r*\r", {"$1WE\r", "$1CZ\r"}, 0, 0, 0},
        CommandCase{"DisableAlarms",
                    [](int *s, int *e) { return QOR_DA(1, kA, s, e); },
                    "*\r*\r",
                    {"$1WE\r", "$1DA\r"},
                    0,
                    0,
                    0},
        CommandCase{"EnableAlarms",
                    [](int *s, int *e) { return QOR_EA(1, kA, s, e); },
                    "*\r*\r",
                    {"$1WE\r", "$1EA\r"},
                    0,
                    0,
                    0},
        CommandCase{"Reset",
                    [](int *s, int *e) { return QOR_RR(1, kA, s, e); },
                    "*\r*\r",
                    {"$1WE\r", "$1RR\r"},
                    0,
                    0,
                    0},
        CommandCase{"HighLatching", hi_latching, "*\r*\r", {"$1WE\r", "$1HI+00100.00L\r"}, 0, 0, 0},
        CommandCase{
            "HighMomentary", hi_momentary, "*\r*\r", {"$1WE\r", "$1HI+00100.00M\r"}, 0, 0, 0},
        CommandCase{
            "HighWithoutMode", hi_no_mode, "*\r*\r", {"$1WE\r", "$1HI+00100.00\r"}, 0, 0, 0},
        CommandCase{"LowLatching", lo_latching, "*\r*\r", {"$1WE\r", "$1LO-00010.00L\r"}, 0, 0, 0},
        CommandCase{"Setpoint", sp, "*\r*\r", {"$1WE\r", "$1SP-00003.46\r"}, 0, 0, 0},
        CommandCase{"TrimSpan", ts, "*\r*\r", {"$1WE\r", "$1TS+00002.00\r"}, 0, 0, 0},
        CommandCase{"TrimZero", tz, "*\r*\r", {"$1WE\r", "$1TZ-00000.50\r"}, 0, 0, 0},
        CommandCase{"BothFramesCarryChecksums", cz, "*\r*\r", {"$1WEF1\r", "$1CZF2\r"}, 0, 0, 0, 1},
        CommandCase{"WriteEnableRefused", cz, "?1 BAD\r*\r", {"$1WE\r"}, 100, 100, 'B'},
        CommandCase{"WriteEnableUnanswered", sp, "", {"$1WE\r"}, 100, 100, 1},
        CommandCase{"WriteEnableNotWritten", cz, "*\r*\r", {"$1W"}, 200, 200, 1, 0, 2},
        CommandCase{
            "CommandRefused", cz, "*\r?1 WRITE PROTECTED\r", {"$1WE\r", "$1CZ\r"}, 100, 100, 'W'},
        CommandCase{"CommandNotWritten", cz, "*\r*\r", {"$1WE\r", "$1C"}, 200, 200, 1, 0, 7},
        CommandCase{"ValueTooLargeSendsNothing", sp_too_large, "*\r*\r", {}, 200, 200, 3},
        CommandCase{"ValueNotANumberSendsNothing", hi_not_a_number, "*\r*\r", {}, 200, 200, 3},
        CommandCase{"NoAddressSendsNothing", ca_no_address, "*\r*\r", {}, 200, 200, 3},
        // Not even the "WE": "$$WE" would reach module "W" as its own frame.
        CommandCase{"PromptAsAddressSendsNothing", ca_prompt_address, "*\r*\r", {}, 200, 200, 3}),
    Name);

Call do_two = [](int *s, int *e) { return QOR_DO(1, kA, 0x0F, 0xA5, 2, s, e); };
Call do_one = [](int *s, int *e) { return QOR_DO(1, kA, 0x0F, 0xA5, 1, s, e); };
Call do_zero = [](int *s, int *e) { return QOR_DO(1, kA, 0x0F, 0xA5, 0, s, e); };
Call do_three = [](int *s, int *e) { return QOR_DO(1, kA, 0x0F, 0xA5, 3, s, e); };
Call Di(int count, int index, int bit) {
    return [=](int *s, int *e) { return QOR_DI(1, kA, count, index, bit, s, e); };
}
Call r_b5 = [](int *s, int *e) { return QOR_RB(1, kA, 5, s, e); };
Call s_b40 = [](int *s, int *e) { return QOR_SB(1, kA, 40, s, e); };
Call c_b3 = [](int *s, int *e) { return QOR_CB(1, kA, 3, s, e); };
Call ao = [](int *s, int *e) { return QOR_AO(1, kA, 72.1f, s, e); };
Call ao_too_large = [](int *s, int *e) { return QOR_AO(1, kA, -1e9f, s, e); };

INSTANTIATE_TEST_SUITE_P(
    BitsAndBytes, Command,
    ::testing::Values(
        CommandCase{"OutputsTwoBytes", do_two, "*\r", {"$1DO0FA5\r"}, 0, 0, 0},
        CommandCase{"OutputsOneByte", do_one, "*\r", {"$1DOA5\r"}, 0, 0, 0},
        CommandCase{"OutputsCountZeroSendsTwo", do_zero, "*\r", {"$1DO0FA5\r"}, 0, 0, 0},
        CommandCase{"OutputsCountThreeSendsTwo", do_three, "*\r", {"$1DO0FA5\r"}, 0, 0, 0},
        CommandCase{"OutputsRefused", do_two, "?1 RANGE\r", {"$1DO0FA5\r"}, 100, 100, 'R'},
        CommandCase{"InputLastByteBitOne", Di(2, 1, 1), "*0F5A\r", {"$1DI\r"}, 1, 0, 0},
        CommandCase{"InputLastByteBitZero", Di(2, 1, 0), "*0F5A\r", {"$1DI\r"}, 0, 0, 0},
        CommandCase{"InputFirstByteBitThree", Di(2, 2, 3), "*0F5A\r", {"$1DI\r"}, 1, 0, 0},
        CommandCase{"InputFirstByteBitFour", Di(2, 2, 4), "*0F5A\r", {"$1DI\r"}, 0, 0, 0},
        CommandCase{"InputBitNumberMaskedToThreeBits", Di(2, 1, 9), "*0F5A\r", {"$1DI\r"}, 1, 0, 0},
        CommandCase{"InputTooFewDigits", Di(2, 1, 1), "*5A\r", {"$1DI\r"}, 0, 200, 2},
        CommandCase{
            "InputOneDigitShortNeverReadsTheMarker", Di(2, 1, 1), "*F5A\r", {"$1DI\r"}, 0, 200, 2},
        CommandCase{"InputOneDigitForOneByte", Di(1, 1, 2), "*F\r", {"$1DI\r"}, 0, 200, 2},
        CommandCase{"InputNoDigits", Di(1, 1, 0), "*\r", {"$1DI\r"}, 0, 200, 2},
        CommandCase{
            "InputDigitsOutsideTheCutRange", Di(2, 1, 1), "*0F5A00\r", {"$1DI\r"}, 0, 200, 2},
        CommandCase{"InputOneDigitTooMany", Di(2, 1, 1), "*0F5A0\r", {"$1DI\r"}, 0, 200, 2},
        CommandCase{"InputMostBytes",
                    Di(24, 24, 0),
                    "*01" + std::string(46, '0') + "\r",
                    {"$1DI\r"},
                    1,
                    0,
                    0},
        CommandCase{"InputLongLayoutTooFewDigitsNeverReadsTheChecksum",
                    Di(4, 1, 2),
                    "*1DI0FA5D4\r",
                    {"$1DIE2\r"},
                    0,
                    200,
                    2,
                    1},
        CommandCase{
            "InputLongLayoutOneDigitShort", Di(2, 2, 3), "*1DIF5AD4\r", {"$1DIE2\r"}, 0, 200, 2, 1},
        CommandCase{
            "InputLongLayoutWithChecksum", Di(2, 2, 3), "*1DI0F5AD4\r", {"$1DIE2\r"}, 1, 0, 0, 1},
        CommandCase{"InputLongLayoutFromAnotherAddress",
                    Di(2, 2, 3),
                    "*2DI0F5AD5\r",
                    {"$1DIE2\r"},
                    0,
                    100,
                    3,
                    1},
        CommandCase{"InputHighBitOfLowerCaseIsNotHex", Di(1, 1, 7), "*ff\r", {"$1DI\r"}, 0, 0, 0},
        CommandCase{"InputLowerCaseOnAFailingLine",
                    Di(1, 1, 7),
                    "*ff\r",
                    {"$1DI\r"},
                    0,
                    100,
                    1,
                    0,
                    -1,
                    true},
        CommandCase{"InputOneDigitShortOnAFailingLine",
                    Di(2, 1, 1),
                    "*F5A\r",
                    {"$1DI\r"},
                    0,
                    200,
                    2,
                    0,
                    -1,
                    true},
        CommandCase{
            "InputOnAFailingLine", Di(2, 2, 3), "*0F5A\r", {"$1DI\r"}, 1, 0, 0, 0, -1, true},
        CommandCase{"InputLongLayoutOnAFailingLine",
                    Di(22, 22, 0),
                    "*1DI01" + std::string(42, '0') + "00\r",
                    {"$1DIE2\r"},
                    1,
                    0,
                    0,
                    1,
                    -1,
                    true},
        CommandCase{"InputModuleError", Di(2, 1, 1), "?1 BAD\r", {"$1DI\r"}, 0, 100, 'B'},
        CommandCase{"InputCountZeroSendsNothing", Di(0, 1, 1), "*0F5A\r", {}, 0, 200, 3},
        CommandCase{"InputCountAboveReplySendsNothing", Di(25, 1, 1), "*0F5A\r", {}, 0, 200, 3},
        CommandCase{"InputMostBytesOfTheLongLayout",
                    Di(22, 22, 0),
                    "*1DI01" + std::string(42, '0') + "00\r",
                    {"$1DIE2\r"},
                    1,
                    0,
                    0,
                    1},
        CommandCase{
            "InputCountAboveTheLongLayoutSendsNothing", Di(23, 1, 1), "*\r", {}, 0, 200, 3, 1},
        CommandCase{"InputIndexZeroSendsNothing", Di(2, 0, 1), "*0F5A\r", {}, 0, 200, 3},
        CommandCase{"InputIndexBeyondCountSendsNothing", Di(2, 3, 1), "*0F5A\r", {}, 0, 200, 3},
        CommandCase{"ReadBitSet", r_b5, "*1\r", {"$1RB05\r"}, 1, 0, 0},
        CommandCase{"ReadBitOnAFailingLine", r_b5, "*1\r", {"$1RB05\r"}, 1, 0, 0, 0, -1, true},
        CommandCase{"ReadingForABitOnAFailingLine",
                    r_b5,
                    "*+00072.10\r",
                    {"$1RB05\r"},
                    0,
                    100,
                    1,
                    0,
                    -1,
                    true},
        CommandCase{"ReadingForABitOnACalmLine", r_b5, "*+00072.10\r", {"$1RB05\r"}, 0, 0, 0},
        CommandCase{"ReadBitLongLayoutOnAFailingLine",
                    r_b5,
                    "*1RB05185\r",
                    {"$1RB054E\r"},
                    1,
                    0,
                    0,
                    1,
                    -1,
                    true},
        CommandCase{"ShortBitForTheLongLayoutOnAFailingLine",
                    r_b5,
                    "*1\r",
                    {"$1RB054E\r"},
                    0,
                    100,
                    1,
                    1,
                    -1,
                    true},
        CommandCase{"ReadBitClear", r_b5, "*0\r", {"$1RB05\r"}, 0, 0, 0},
        CommandCase{
            "ReadBitLongLayoutWithChecksum", r_b5, "*1RB05185\r", {"$1RB054E\r"}, 1, 0, 0, 1},
        CommandCase{"ReadBitLongLayoutFromAnotherAddress",
                    r_b5,
                    "*7RB05185\r",
                    {"$1RB054E\r"},
                    0,
                    100,
                    3,
                    1},
        CommandCase{
            "ReadBitShortReplyWithChecksumHasNoState", r_b5, "*1\r", {"$1RB054E\r"}, 0, 0, 0, 1},
        CommandCase{"ReadBitSilent", r_b5, "", {"$1RB05\r"}, 0, 100, 1},
        CommandCase{"SetBit", s_b40, "*\r", {"$1SB28\r"}, 0, 0, 0},
        CommandCase{"SetBitRefused", s_b40, "?1 BAD\r", {"$1SB28\r"}, 100, 100, 'B'},
        CommandCase{"SetBitNotWritten", s_b40, "*\r", {"$"}, 200, 200, 1, 0, 0},
        CommandCase{"ClearBit", c_b3, "*\r", {"$1CB03\r"}, 0, 0, 0},
        CommandCase{"ClearBitNotWritten", c_b3, "*\r", {"$"}, 200, 200, 1, 0, 0},
        CommandCase{"AnalogOutputShortReplyIsSuccess", ao, "*\r", {"$1AO+00072.10\r"}, 0, 0, 0},
        CommandCase{"AnalogOutputUnanswered", ao, "", {"$1AO+00072.10\r"}, 100, 100, 1},
        CommandCase{"AnalogOutputRefused", ao, "?1 RANGE\r", {"$1AO+00072.10\r"}, 100, 100, 'R'},
        CommandCase{"AnalogOutputNotWritten", ao, "*\r", {"$"}, 200, 200, 1, 0, 0},
        CommandCase{"AnalogOutputTooLargeSendsNothing", ao_too_large, "*\r", {}, 200, 200, 3}),
    Name);

// Long replies cannot be chosen through the exports; these cases set the
// library state directly to cover the branches that depend on it.
class LongReplies : public ::testing::Test {
  protected:
    void SetUp() override {
        script::Reset();
        qor::AttachLibrary();
        qor::ReplyForm = 0;
    }
    void TearDown() override { qor::AttachLibrary(); }
};

TEST_F(LongReplies, AnalogOutputIsConfirmedWithAcknowledge) {
    script::Deliver("*2A\r*2A\r");
    int status = -7;
    int error = -7;
    EXPECT_EQ(QOR_AO(1, kA, 72.1f, &status, &error), 0);
    EXPECT_EQ(script::Frames(), (Frames{"#1AO+00072.10\r", "#1ACK\r"}));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(error, 0);
}

TEST_F(LongReplies, AnalogOutputWithBadChecksumIsNotAcknowledged) {
    script::Deliver("*2B\r*2A\r");
    int status;
    int error;
    EXPECT_EQ(QOR_AO(1, kA, 72.1f, &status, &error), 100);
    EXPECT_EQ(script::Frames(), (Frames{"#1AO+00072.10\r"}));
    EXPECT_EQ(error, 2);
}

TEST_F(LongReplies, SetAndClearBitDoNotTestTheReplyChecksum) {
    script::Deliver("*\r*\r*\r");
    int status;
    int error;
    EXPECT_EQ(QOR_SB(1, kA, 1, &status, &error), 0);
    EXPECT_EQ(QOR_CB(1, kA, 1, &status, &error), 0);
    EXPECT_EQ(QOR_DO(1, kA, 0, 1, 1, &status, &error), 100);
    EXPECT_EQ(error, 2);
}

TEST_F(LongReplies, QueriesTakeTheirFieldsAfterTheEchoedAddressAndLetters) {
    script::Deliver("*1RH+00100.00LEB\r");
    int mode = -7;
    int status;
    int error;
    EXPECT_FLOAT_EQ(QOR_RH(1, kA, &mode, &status, &error), 100.0f);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(mode, 1);
    script::Deliver("*1RE000012348\r");
    EXPECT_EQ(QOR_RE(1, kA, &status, &error), 123);
    EXPECT_EQ(status, 0);
}

class AlarmLimitMode : public ::testing::Test {
  protected:
    void SetUp() override {
        script::Reset();
        qor::AttachLibrary();
    }
};

TEST_F(AlarmLimitMode, FollowsTheLetterAfterTheValue) {
    struct {
        std::string reply;
        float value;
        int mode;
    } cases[] = {{"*+00100.00L\r", 100.0f, 1},
                 {"*+00100.00M\r", 100.0f, 0},
                 {"*+00100.00\r", 100.0f, -1},
                 {"*-00005.00X\r", -5.0f, -1}};
    for (const auto &c : cases) {
        script::Deliver(c.reply);
        int mode = -7;
        int status = -7;
        int error = -7;
        EXPECT_FLOAT_EQ(QOR_RH(1, kA, &mode, &status, &error), c.value) << c.reply;
        EXPECT_EQ(mode, c.mode) << c.reply;
        EXPECT_EQ(status, 0);
        script::Deliver(c.reply);
        EXPECT_FLOAT_EQ(QOR_RL(1, kA, &mode, &status, &error), c.value) << c.reply;
        EXPECT_EQ(mode, c.mode) << c.reply;
    }
    EXPECT_EQ(script::Frames(), (Frames{"$1RH\r", "$1RL\r", "$1RH\r", "$1RL\r", "$1RH\r", "$1RL\r",
                                        "$1RH\r", "$1RL\r"}));
}

TEST_F(AlarmLimitMode, IsMinusOneWheneverTheTransactionFailed) {
    script::Deliver("*+00100.00L\r");
    int mode;
    int status;
    int error;
    QOR_RH(1, kA, &mode, &status, &error);
    ASSERT_EQ(mode, 1);
    // The buffer still holds the "L" of the last reply; it must not count.
    QOR_RL(1, 0, &mode, &status, &error);
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(status, 200);
    QOR_RL(1, kA, &mode, &status, &error);  // silent
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(status, 100);
    script::Deliver("?1 BAD LUCK\r");
    QOR_RL(1, kA, &mode, &status, &error);
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(error, 'B');
    // A mode letter where it belongs, but no number before it.
    script::Deliver("*         L\r");
    QOR_RH(1, kA, &mode, &status, &error);
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(error, 2);
    // Cut off after its mode letter: the "L" is there, the reply is not.
    script::Deliver("*+00100.00L");
    QOR_RH(1, kA, &mode, &status, &error);
    EXPECT_EQ(mode, -1);
    EXPECT_EQ(status, 100);
}

// The byte link is asked about a reply only when the reply is out of its
// command's form, and never about error replies, acknowledgements or no
// reply at all: a healthy line never pays for the question.
TEST(ReplyForm, LinkIsAskedOnlyAboutAcceptedRepliesOutOfForm) {
    struct Case {
        const char *name;
        Call call;
        std::string replies;
        int asked;
    };
    const Case cases[] = {
        {"reading", rd, "*+00072.10\r", 0},
        {"count for a reading", rd, "*0000003\r", 1},
        {"limit", [](int *s, int *e) { return QOR_RH(1, kA, nullptr, s, e); }, "*+00100.00L\r", 0},
        {"count", re, "*0000123\r", 0},
        {"count and clear", ec, "*\r*0000123\r", 0},
        {"bit", r_b5, "*1\r", 0},
        {"inputs", Di(2, 1, 1), "*0F5A\r", 0},
        {"error reply", rd, "?1 BAD\r", 0},
        {"no reply", rd, "", 0},
        {"acknowledgement", ao, "*\r", 0},
        {"acknowledgement with data", sp, "*\r*+00072.10\r", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script::Reset();
        qor::AttachLibrary();
        script::Deliver(c.replies);
        int status = -7;
        int error = -7;
        c.call(&status, &error);
        EXPECT_EQ(script::OutOfFormCalls(), c.asked);
    }
    // About the call's own port.
    script::Reset();
    script::Deliver("*0000003\r");
    int status = -7;
    QOR_RD(9, kA, &status, nullptr);
    EXPECT_EQ(script::OutOfFormCalls(), 1);
    EXPECT_EQ(script::LastPort(), 9);
}

TEST(NullOutParameters, AreSkipped) {
    script::Reset();
    script::Deliver("*+00100.00L\r");
    EXPECT_FLOAT_EQ(QOR_RH(1, kA, nullptr, nullptr, nullptr), 100.0f);
    EXPECT_EQ(QOR_CZ(1, kA, nullptr, nullptr), 100);
}

TEST(Concurrency, OverlappingCallsOnOnePortAreSerialised) {
    script::Reset();
    qor::AttachLibrary();
    // Each module answers with its own address as the value: "$3RD" -> 3.00.
    script::Respond([](int, const std::string &frame) {
        if (frame.size() != 5 || frame[0] != '$' || frame.substr(2) != "RD\r") {
            return std::string("?") + "malformed frame";
        }
        return std::string("*+0000") + frame[1] + ".00\r";
    });
    constexpr int kThreads = 4;
    constexpr int kCalls = 300;
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            const int address = '1' + t;
            for (int i = 0; i < kCalls; ++i) {
                int status;
                int error;
                float value = QOR_RD(1, address, &status, &error);
                if (status != 0 || value != static_cast<float>(1 + t)) {
                    ++wrong[t];
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
    }
    EXPECT_EQ(script::Frames().size(), static_cast<std::size_t>(kThreads * kCalls));
}

// Each module answers every frame: "RD" with its port and address as the
// value ("$3RD" on port 2 gives 2.03), "WE" and the commands after it with
// "*".
std::string AnswerByPortAndAddress(int port, const std::string &frame) {
    if (frame.size() < 5 || frame[0] != '$') {
        return "?1 MALFORMED\r";
    }
    if (frame.compare(2, 2, "RD") == 0) {
        char reply[16];
        std::snprintf(reply, sizeof reply, "*+%05d.%02d\r", port & 0xFFF, frame[1] - '0');
        return reply;
    }
    return "*\r";
}

float ExpectedReading(int port, int address) {
    return static_cast<float>(port & 0xFFF) + static_cast<float>(address - '0') / 100.0f;
}

// Every "WE" on a port is directly followed by a frame of the same module
// that is not "WE": no other frame ever lands in between.
int BrokenWritePairs(const Frames &frames) {
    int broken = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].compare(2, 2, "WE") != 0) {
            continue;
        }
        if (i + 1 == frames.size() || frames[i + 1][1] != frames[i][1] ||
            frames[i + 1].compare(2, 2, "WE") == 0) {
            ++broken;
        }
    }
    return broken;
}

// Threads on `ports` (one thread per entry), each alternating a reading and a
// two-frame command; returns the wrong readings and failed commands.
int RunMixedCalls(const std::vector<int> &ports, const std::vector<int> &addresses, int calls) {
    std::vector<int> wrong(ports.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < ports.size(); ++t) {
        threads.emplace_back([t, &ports, &addresses, &wrong, calls] {
            for (int i = 0; i < calls; ++i) {
                int status = -7;
                int error = -7;
                float value = QOR_RD(ports[t], addresses[t], &status, &error);
                float expected = ExpectedReading(ports[t], addresses[t]);
                wrong[t] += status != 0 || std::fabs(value - expected) > 0.001f;
                wrong[t] += QOR_HI(ports[t], addresses[t], 1, 50.0f, &status, &error) != 0;
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    int total = 0;
    for (int w : wrong) {
        total += w;
    }
    return total;
}

TEST(Concurrency, CallsOnSeveralPortsRunSideBySideWithoutMixingFrames) {
    script::Reset();
    qor::AttachLibrary();
    script::Respond(AnswerByPortAndAddress);
    // Ports 1 and 65 share a lock slot, as do 2 and -62: they must wait for
    // each other, never deadlock.
    const std::vector<int> ports = {1, 2, 65, -62};
    constexpr int kCalls = 200;
    EXPECT_EQ(RunMixedCalls(ports, {'1', '2', '3', '4'}, kCalls), 0);
    for (int port : ports) {
        Frames frames = script::FramesOn(port);
        EXPECT_EQ(frames.size(), static_cast<std::size_t>(3 * kCalls)) << "port " << port;
        EXPECT_EQ(BrokenWritePairs(frames), 0) << "port " << port;
    }
}

TEST(Concurrency, ThreadsSharingOnePortKeepEachWriteEnableWithItsCommand) {
    script::Reset();
    qor::AttachLibrary();
    script::Respond(AnswerByPortAndAddress);
    constexpr int kCalls = 200;
    EXPECT_EQ(RunMixedCalls({3, 3, 3, 3}, {'1', '2', '3', '4'}, kCalls), 0);
    Frames frames = script::FramesOn(3);
    EXPECT_EQ(frames.size(), static_cast<std::size_t>(4 * 3 * kCalls));
    EXPECT_EQ(BrokenWritePairs(frames), 0);
}

TEST(Concurrency, AHangingPortDoesNotHoldUpAnotherPort) {
    script::Reset();
    qor::AttachLibrary();
    script::Respond(AnswerByPortAndAddress);
    script::HoldPort(9);
    int held_status = -7;
    int held_error = -7;
    std::thread held([&] { QOR_RD(9, '1', &held_status, &held_error); });
    while (!script::WaitingOnHeldPort()) {
        std::this_thread::yield();
    }
    // Port 9 is in the middle of its transaction; port 1 answers meanwhile.
    // (Should port 1 wait for port 9, the test fails rather than hang.)
    int status = -7;
    int error = -7;
    auto reading = std::async(std::launch::async, [&] { return QOR_RD(1, '2', &status, &error); });
    bool answered = reading.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(answered) << "port 1 waited for the held port 9";
    EXPECT_TRUE(script::WaitingOnHeldPort());
    script::ReleasePort(9);
    EXPECT_FLOAT_EQ(reading.get(), ExpectedReading(1, '2'));
    EXPECT_EQ(status, 0);
    held.join();
    EXPECT_EQ(held_status, 0);
}

}  // namespace
