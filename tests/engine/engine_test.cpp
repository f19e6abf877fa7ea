// The protocol engine over the scripted link: frames, replies, outcomes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "engine/library_state.h"
#include "engine/protocol.h"
#include "qor_dll.h"
#include "tests/engine/scripted_link.h"

using namespace qor;
namespace script = qor::test;  // the scripted byte link (scripted_link.h)

namespace {

const std::string kCr = "\r";

// Each test works on a transaction context of its own; Begin() starts it
// with the settings as they stand.
class Engine : public ::testing::Test {
  protected:
    void SetUp() override {
        script::Reset();
        AttachLibrary();
        Begin();
    }
    void TearDown() override { AttachLibrary(); }
    void Begin() { BeginTransaction(tx); }

  public:
    Transaction tx;
};

struct FrameCase {
    const char *name;
    std::int32_t code;
    std::int32_t param;
    float value;
    std::int32_t byteA;
    std::int32_t byteB;
    unsigned char checksum;
    std::string frame;
};

class FrameFormat : public Engine, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FrameFormat, IsBuiltAndWrittenCharacterByCharacter) {
    const FrameCase &c = GetParam();
    CmdChecksum = c.checksum;
    Begin();
    ASSERT_TRUE(SendCommand(tx, 7, '1', c.code, c.param, c.value, c.byteA, c.byteB));
    EXPECT_EQ(script::Written(), c.frame);
    EXPECT_EQ(script::WriteCalls(), static_cast<int>(c.frame.size()));
    EXPECT_EQ(script::LastPort(), 7);
    EXPECT_STREQ(tx.FrameBuffer, c.frame.c_str());
    EXPECT_EQ(tx.FrameLength, static_cast<std::int32_t>(c.frame.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FrameFormat,
    ::testing::Values(
        FrameCase{"Read", RD, 0, 0, 0, 0, 0, "$1RD" + kCr},
        FrameCase{"ReadWithChecksum", RD, 0, 0, 0, 0, 1, "$1RDEB" + kCr},
        FrameCase{"WriteEnableWithChecksum", WE, 0, 0, 0, 0, 1, "$1WEF1" + kCr},
        FrameCase{"Acknowledge", ACK, 0, 0, 0, 0, 0, "$1ACK" + kCr},
        FrameCase{"UnknownCodeFramesAsRead", 99, 0, 0, 0, 0, 0, "$1RD" + kCr},
        FrameCase{"NegativeCodeFramesAsRead", -1, 0, 0, 0, 0, 0, "$1RD" + kCr},
        FrameCase{"EveryPlainCode", ND, 0, 0, 0, 0, 0, "$1ND" + kCr},
        FrameCase{"OutputsTwoBytes", DO, 2, 0, 0x0F, 0xA5, 0, "$1DO0FA5" + kCr},
        FrameCase{"OutputsOneByte", DO, 1, 0, 0x0F, 0xA5, 0, "$1DOA5" + kCr},
        FrameCase{"OutputsMaskedToEightBits", DO, 0, 0, 0x10F, -1, 0, "$1DO0FFF" + kCr},
        FrameCase{"BitFive", RB, 5, 0, 0, 0, 0, "$1RB05" + kCr},
        FrameCase{"BitForty", SB, 40, 0, 0, 0, 0, "$1SB28" + kCr},
        FrameCase{"BitMaskedToSixBits", CB, 70, 0, 0, 0, 0, "$1CB06" + kCr},
        FrameCase{"LatchingLimit", HI, 1, 100.0f, 0, 0, 0, "$1HI+00100.00L" + kCr},
        FrameCase{"LatchingLimitWithChecksum", HI, 1, 100.0f, 0, 0, 1, "$1HI+00100.00LDC" + kCr},
        FrameCase{"MomentaryLimit", LO, 0, 100.0f, 0, 0, 0, "$1LO+00100.00M" + kCr},
        FrameCase{"LimitWithoutMode", HI, 2, 100.0f, 0, 0, 0, "$1HI+00100.00" + kCr},
        FrameCase{"Value", AO, 0, 72.1f, 0, 0, 0, "$1AO+00072.10" + kCr},
        FrameCase{"NegativeValueRounded", SP, 0, -3.456f, 0, 0, 0, "$1SP-00003.46" + kCr},
        FrameCase{"SmallValue", TS, 0, 0.05f, 0, 0, 0, "$1TS+00000.05" + kCr},
        FrameCase{"LargestDigits", TZ, 0, 12345.678f, 0, 0, 0, "$1TZ+12345.68" + kCr},
        FrameCase{"FullField", AO, 0, 99999.99f, 0, 0, 0, "$1AO+99999.99" + kCr},
        FrameCase{"Zero", AO, 0, 0.0f, 0, 0, 0, "$1AO+00000.00" + kCr},
        FrameCase{"SignBeforeRounding", AO, 0, -0.001f, 0, 0, 0, "$1AO-00000.00" + kCr},
        FrameCase{"HalfRoundsAwayFromZero", AO, 0, -0.125f, 0, 0, 0, "$1AO-00000.13" + kCr},
        // 0.145f is 0.144999995...: rounded from its exact value, not from
        // a product that float arithmetic rounded up to 14.5.
        FrameCase{"JustBelowAHalfRoundsDown", AO, 0, 0.145f, 0, 0, 0, "$1AO+00000.14" + kCr},
        FrameCase{"JustBelowAHalfNegative", SP, 0, -1.005f, 0, 0, 0, "$1SP-00001.00" + kCr}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, PromptFollowsAddressWidthAndReplyForm) {
    struct {
        unsigned char width, form;
        std::string frame;
    } cases[] = {{1, 1, "$1RD\r"}, {1, 0, "#1RD\r"}, {0, 1, "{A1RD\r"}, {0, 0, "}A1RD\r"}};
    for (const auto &c : cases) {
        script::Reset();
        AddressWidth = c.width;
        ReplyForm = c.form;
        Begin();
        ASSERT_TRUE(SendCommand(tx, 1, ('A' << 8) | '1', RD, 0, 0, 0, 0));
        EXPECT_EQ(script::Written(), c.frame);
    }
}

TEST_F(Engine, AddressIsMaskedToSevenBits) {
    ASSERT_TRUE(SendCommand(tx, 1, 0x100 | 0x80 | '2', RD, 0, 0, 0, 0));
    EXPECT_EQ(script::Written(), "$2RD\r");
}

TEST_F(Engine, ArgumentsThatNoFrameCanCarryAreRecognised) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct {
        std::int32_t address, code;
        float value;
        bool fits;
    } cases[] = {
        {'1', AO, 99999.99f, true},
        {'1', AO, -99999.99f, true},
        {'1', AO, 99999.994f, true},
        {'1', AO, 100000.0f, false},
        {'1', SP, -100000.0f, false},
        {'1', HI, 1e7f, false},
        {'1', LO, inf, false},
        {'1', TS, -inf, false},
        {'1', TZ, nan, false},
        {'1', RD, nan, true},  // the value is not part of an "RD" frame
        {0, RD, 0, false},
        {0x180, RD, 0, false},
        {0x131, RD, 0, true},
        // A frame's own characters: "$" would start another frame, CR end
        // this one; masked to seven bits they still would. The other
        // characters stay addresses, the reply markers included.
        {'$', RD, 0, false},
        {'\r', RD, 0, false},
        {0x80 | '$', RD, 0, false},
        {0x80 | '\r', AO, 0, false},
        {'#', RD, 0, true},
        {'*', RD, 0, true},
        {'?', RD, 0, true},
        {'\n', RD, 0, true},
        {'~', RD, 0, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(FrameArgumentsFit(tx, c.address, c.code, c.value), c.fits)
            << "address " << c.address << " code " << c.code << " value " << c.value;
    }
    // Two address characters: neither may be 0, "$" or CR.
    AddressWidth = 0;
    Begin();
    EXPECT_TRUE(FrameArgumentsFit(tx, 0x3132, RD, 0));
    EXPECT_FALSE(FrameArgumentsFit(tx, 0x0032, RD, 0));
    EXPECT_FALSE(FrameArgumentsFit(tx, 0x8032, RD, 0));
    EXPECT_FALSE(FrameArgumentsFit(tx, 0x3100, RD, 0));
    EXPECT_FALSE(FrameArgumentsFit(tx, ('$' << 8) | '2', RD, 0));
    EXPECT_FALSE(FrameArgumentsFit(tx, ('\r' << 8) | '2', RD, 0));
    EXPECT_FALSE(FrameArgumentsFit(tx, ('1' << 8) | '$', RD, 0));
    EXPECT_FALSE(FrameArgumentsFit(tx, ('1' << 8) | '\r', RD, 0));
    EXPECT_TRUE(FrameArgumentsFit(tx, ('#' << 8) | '*', RD, 0));
}

TEST_F(Engine, FrameStopsAtTheFirstRefusedCharacter) {
    script::AcceptOnly(2);
    EXPECT_FALSE(SendCommand(tx, 1, '1', RD, 0, 0, 0, 0));
    EXPECT_EQ(script::WriteCalls(), 3);
    EXPECT_EQ(script::Written(), "$1R");
}

struct ReplyCase {
    const char *name;
    std::string delivered;  // '~' stands for a -1 from the link
    bool complete;
    std::string captured;
};

class ReplyCapture : public Engine, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyCapture, KeepsOnlyTheReplyAndKnowsWhetherItEnded) {
    const ReplyCase &c = GetParam();
    for (char ch : c.delivered) {
        if (ch == '~') {
            script::DeliverSilence();
        } else {
            script::Deliver(std::string(1, ch));
        }
    }
    EXPECT_EQ(ReadReply(tx, 1), c.complete);
    EXPECT_EQ(std::string(tx.ReplyBuffer), c.captured);
    EXPECT_EQ(tx.ReplyLength, static_cast<std::int32_t>(c.captured.size()));
}

const std::string kLongData(60, '7');

INSTANTIATE_TEST_SUITE_P(
    Links, ReplyCapture,
    ::testing::Values(ReplyCase{"Plain", "*+00072.10\r", true, "*+00072.10\r"},
                      ReplyCase{"EchoAndNoiseDropped", "$1RD\r*+00072.10\r", true, "*+00072.10\r"},
                      ReplyCase{"ErrorReply", "x?1 BAD\r", true, "?1 BAD\r"},
                      ReplyCase{"MarkersInAnErrorReplyAreText", "?1 WHAT?*\r", true, "?1 WHAT?*\r"},
                      ReplyCase{"CutReplyGivesWayToTheNextOne", "*+000*+00072.10\r", true,
                                "*+00072.10\r"},
                      ReplyCase{"CutReplyGivesWayToAnErrorReply", "*+0?1 BAD\r", true, "?1 BAD\r"},
                      ReplyCase{"OverlongCutReplyGivesWayToTheNextOne",
                                "*" + kLongData + "*+00072.10\r", true, "*+00072.10\r"},
                      ReplyCase{"Silent", "~", false, ""},
                      ReplyCase{"CutBeforeItsCarriageReturn", "*+0007~2.10\r", false, "*+0007"},
                      ReplyCase{"OnlyNoise", "abc\r\r~", false, ""},
                      ReplyCase{"FillsTheBufferExactly", "*" + std::string(49, '5') + "\r", true,
                                "*" + std::string(49, '5') + "\r"},
                      ReplyCase{"TooLongForTheBuffer", "*" + kLongData + "\r", false,
                                ("*" + kLongData).substr(0, 51)}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, TooLongReplyIsReadUpToItsEndSoTheNextOneIsClean) {
    script::Deliver("*" + kLongData + "\r*+00001.00\r");
    EXPECT_FALSE(ReadReply(tx, 1));
    EXPECT_TRUE(ReadReply(tx, 1));
    EXPECT_STREQ(tx.ReplyBuffer, "*+00001.00\r");
}

TEST_F(Engine, ChatteringLinkEndsTheReadAfterAFixedNumberOfCharacters) {
    script::Deliver(std::string(1000, 'z'));
    EXPECT_FALSE(ReadReply(tx, 1));
    EXPECT_EQ(script::ReadCalls(), 256);
    script::Reset();
    script::Deliver("*" + std::string(1000, '9'));
    EXPECT_FALSE(ReadReply(tx, 1));
    EXPECT_EQ(script::ReadCalls(), 256);
}

struct OutcomeCase {
    const char *name;
    unsigned char reply_form;
    int accepted_writes;  // -1: all
    std::string reply;
    OutcomeRules rules;
    bool accepted;
    std::int32_t status, error;
};

class OutcomeRulesTest : public Engine, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(OutcomeRulesTest, DecideEachStep) {
    const OutcomeCase &c = GetParam();
    ReplyForm = c.reply_form;
    Begin();
    script::AcceptOnly(c.accepted_writes);
    script::Deliver(c.reply);
    EXPECT_EQ(TransactionStep(tx, 1, '1', RD, 0, 0, 0, 0, c.rules), c.accepted);
    EXPECT_EQ(tx.Status, c.status);
    EXPECT_EQ(tx.Error, c.error);
    if (c.accepted_writes >= 0) {
        EXPECT_EQ(script::ReadCalls(), 0) << "a reply was read after a failed frame";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, OutcomeRulesTest,
    ::testing::Values(
        OutcomeCase{"Accepted", 1, -1, "*+00072.10\r", OutcomeRules::kAllRules, true, 0, 0},
        OutcomeCase{"NotWritten", 1, 0, "*\r", OutcomeRules::kAllRules, false, 200, 1},
        OutcomeCase{"PartlyWritten", 1, 4, "*\r", OutcomeRules::kAllRules, false, 200, 1},
        OutcomeCase{"NoReply", 1, -1, "", OutcomeRules::kAllRules, false, 100, 1},
        OutcomeCase{"PartialReplyIsNoReply", 1, -1, "*+0007", OutcomeRules::kAllRules, false, 100,
                    1},
        OutcomeCase{"PartialErrorReplyIsNoReply", 1, -1, "?1 BA", OutcomeRules::kAllRules, false,
                    100, 1},
        OutcomeCase{"ErrorReply", 1, -1, "?1 BAD\r", OutcomeRules::kAllRules, false, 100, 'B'},
        OutcomeCase{"ShortErrorReply", 1, -1, "?1\r", OutcomeRules::kAllRules, false, 100, 0},
        OutcomeCase{"ErrorCodeIsASignedByte", 1, -1, "?1 \xC8\r", OutcomeRules::kAllRules, false,
                    100, -56},
        OutcomeCase{"LongReplyChecksumPasses", 0, -1, "*1RD+00072.10A4\r", OutcomeRules::kAllRules,
                    true, 0, 0},
        OutcomeCase{"LongReplyChecksumSumsToZero", 0, -1, "*1DIFFFF00\r", OutcomeRules::kAllRules,
                    true, 0, 0},
        OutcomeCase{"LongReplyChecksumFails", 0, -1, "*1RD+00072.10A5\r", OutcomeRules::kAllRules,
                    false, 100, 2},
        // Checksum right, but module 2's: no module at address 1 sent it.
        OutcomeCase{"LongReplyFromAnotherAddress", 0, -1, "*2RD+00072.10A5\r",
                    OutcomeRules::kAllRules, false, 100, 3},
        OutcomeCase{"LongReplyFromAnotherAddressWithoutChecksumRule", 0, -1, "*2RD\r",
                    OutcomeRules::kRulesWithoutSum, false, 100, 3},
        OutcomeCase{"LowerCaseChecksumFails", 0, -1, "*1RD+00072.10a4\r", OutcomeRules::kAllRules,
                    false, 100, 2},
        OutcomeCase{"ShortestPassingLongReply", 0, -1, "*2A\r", OutcomeRules::kAllRules, true, 0,
                    0},
        OutcomeCase{"TooShortForAChecksum", 0, -1, "*A\r", OutcomeRules::kAllRules, false, 100, 2},
        OutcomeCase{"ChecksumNotTestedWhenTheRulesSaySo", 0, -1, "*\r",
                    OutcomeRules::kRulesWithoutSum, true, 0, 0},
        OutcomeCase{"ShortRepliesCarryNoChecksum", 1, -1, "*\r", OutcomeRules::kAllRules, true, 0,
                    0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, ErrorCodeNeverComesFromAnEarlierReply) {
    script::Deliver("?1 BAD\r");
    TransactionStep(tx, 1, '1', RD, 0, 0, 0, 0, OutcomeRules::kAllRules);
    ASSERT_EQ(tx.Error, 'B');
    ClearResults(tx);
    script::Deliver("?1\r");
    TransactionStep(tx, 1, '1', RD, 0, 0, 0, 0, OutcomeRules::kAllRules);
    EXPECT_EQ(tx.Error, 0);
}

TEST_F(Engine, UnframableArgumentsSendNothing) {
    EXPECT_FALSE(TransactionStep(tx, 1, '1', AO, 0, 1e6f, 0, 0, OutcomeRules::kAllRules));
    EXPECT_EQ(tx.Status, 200);
    EXPECT_EQ(tx.Error, 3);
    EXPECT_FALSE(TransactionStep(tx, 1, 0, RD, 0, 0, 0, 0, OutcomeRules::kAllRules));
    EXPECT_EQ(tx.Error, 3);
    for (std::int32_t address : {std::int32_t{'$'}, std::int32_t{'\r'}, 0x80 | '$'}) {
        ClearResults(tx);
        EXPECT_FALSE(TransactionStep(tx, 1, address, RD, 0, 0, 0, 0, OutcomeRules::kAllRules));
        EXPECT_EQ(tx.Status, 200);
        EXPECT_EQ(tx.Error, 3);
    }
    EXPECT_EQ(script::WriteCalls(), 0);
    EXPECT_EQ(script::ReadCalls(), 0);
}

TEST_F(Engine, ExtractFieldCutsInclusiveRangesWithinTheReply) {
    script::Deliver("*+00072.10\r");
    ASSERT_TRUE(ReadReply(tx, 1));
    ExtractField(tx, 1, 9);
    EXPECT_STREQ(tx.FieldBuffer, "+00072.10");
    ExtractField(tx, 5, 4);
    EXPECT_STREQ(tx.FieldBuffer, "");
    ExtractField(tx, -1, 4);
    EXPECT_STREQ(tx.FieldBuffer, "");
    ExtractField(tx, 8, 40);
    EXPECT_STREQ(tx.FieldBuffer, "10\r");
    EXPECT_EQ(tx.FieldLength, 3);

    // A shorter reply leaves nothing of the longer one readable.
    script::Deliver("*5\r");
    ASSERT_TRUE(ReadReply(tx, 1));
    ExtractField(tx, 4, 9);
    EXPECT_STREQ(tx.FieldBuffer, "");
    EXPECT_EQ(ReplyChar(tx, 5), '\0');
}

// A reply in form is its layout around the field, every character of the
// field in its class, and nothing more or less.
TEST_F(Engine, ReplyFormsAreHeldCharacterByCharacter) {
    struct {
        std::string reply;
        bool long_layout;
        const char *form;
        bool in_form;
    } cases[] = {
        {"*+00072.10\r", false, "s99999.99", true},
        {"*-99999.99\r", false, "s99999.99", true},
        {"*0000003\r", false, "s99999.99", false},    // a count
        {"* 00072.10\r", false, "s99999.99", false},  // a blank for the sign
        {"*+00072,10\r", false, "s99999.99", false},
        {"*+00072.1\r", false, "s99999.99", false},    // one short
        {"*+00072.100\r", false, "s99999.99", false},  // one too many
        {"*+00072.10L\r", false, "s99999.99m", true},
        {"*+00072.10M\r", false, "s99999.99m", true},
        {"*+00072.10X\r", false, "s99999.99m", false},
        {"*+00072.10\r", false, "s99999.99m", false},  // no mode letter
        {"*0000123\r", false, "9999999", true},
        {"*000012a\r", false, "9999999", false},
        {"*0\r", false, "b", true},
        {"*2\r", false, "b", false},
        {"*09AF\r", false, "hhhh", true},
        {"*09af\r", false, "hhhh", false},
        {"*09AG\r", false, "hhhh", false},
        {"*1RB051C0\r", true, "hhb", true},  // "*", address, letters, field, checksum
        {"*1RB051\r", true, "hhb", false},   // no checksum
        {"*1RD+00072.10A4\r", true, "s99999.99", true},
        {"*+00072.10\r", true, "s99999.99", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply + " as " + c.form);
        script::Reset();
        script::Deliver(c.reply);
        Begin();
        ASSERT_TRUE(ReadReply(tx, 1));
        EXPECT_EQ(ReplyInForm(tx, LayoutOf(tx, c.long_layout), c.form), c.in_form);
    }
    // Two address characters in the long layout.
    AddressWidth = 0;
    script::Reset();
    script::Deliver("*12RD+00072.10XX\r");
    Begin();
    ASSERT_TRUE(ReadReply(tx, 1));
    EXPECT_TRUE(ReplyInForm(tx, LayoutOf(tx, true), "s99999.99"));
}

TEST_F(Engine, ClearResultsZeroesEveryResult) {
    tx.Status = 100;
    tx.Error = 5;
    tx.FloatResult = 1.5f;
    tx.CounterResult = 3;
    tx.BitResult = 1;
    ClearResults(tx);
    EXPECT_EQ(tx.Status, 0);
    EXPECT_EQ(tx.Error, 0);
    EXPECT_EQ(tx.FloatResult, 0.0f);
    EXPECT_EQ(tx.CounterResult, 0);
    EXPECT_EQ(tx.BitResult, 0);
}

TEST_F(Engine, AttachGivesOneCharacterAddressesShortRepliesNoChecksumNoEcho) {
    CmdChecksum = DebugEcho = 9;
    AddressWidth = ReplyForm = 0;
    AttachLibrary();
    EXPECT_EQ(CmdChecksum.load(), 0);
    EXPECT_EQ(DebugEcho.load(), 0);
    EXPECT_EQ(AddressWidth.load(), 1);
    EXPECT_EQ(ReplyForm.load(), 1);
}

TEST_F(Engine, SwitchesTakeEffectOnTheNextTransaction) {
    QOR_EnableCmdChecksum(1);
    Begin();
    SendCommand(tx, 1, '1', RD, 0, 0, 0, 0);
    // A transaction keeps the settings it began with.
    QOR_EnableCmdChecksum(0);
    SendCommand(tx, 1, '1', RD, 0, 0, 0, 0);
    Begin();
    SendCommand(tx, 1, '1', RD, 0, 0, 0, 0);
    EXPECT_EQ(script::Frames(), (std::vector<std::string>{"$1RDEB\r", "$1RDEB\r", "$1RD\r"}));
}

// On Windows the echo is a modal message box, which a test cannot click.
#ifndef _WIN32
TEST_F(Engine, DebugEchoShowsEachFrameAndReplyAsItStands) {
    QOR_EnableDebug(1);
    Begin();
    script::Deliver("junk*+00072.10\r");
    ::testing::internal::CaptureStderr();
    TransactionStep(tx, 1, '1', RD, 0, 0, 0, 0, OutcomeRules::kAllRules);
    std::string shown = ::testing::internal::GetCapturedStderr();
    QOR_EnableDebug(0);
    Begin();
    EXPECT_EQ(shown, "$1RD\r\n*+00072.10\r\n");

    ::testing::internal::CaptureStderr();
    script::Deliver("*\r");
    TransactionStep(tx, 1, '1', RD, 0, 0, 0, 0, OutcomeRules::kAllRules);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}
#endif

}  // namespace
