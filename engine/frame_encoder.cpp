// Builds command frames in the transaction's FrameBuffer and writes them to
// the byte link.
#include <cstdint>
#include <cstring>

#include "engine/command_table.h"
#include "engine/library_state.h"
#include "engine/platform.h"
#include "engine/protocol.h"
#include "qor_comm.h"
#include "qor_dll.h"

namespace qor {

namespace {

constexpr char kCarriageReturn = 13;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kValueFieldLength = 9;
constexpr int kPointPosition = 6;  // after the sign and five integer digits
// Hundredths that no longer fit five integer digits and two fraction digits.
constexpr std::int64_t kValueFieldLimit = 10000000;

constexpr int kFloatFractionBits = 23;
constexpr int kFloatExponentBias = 127;
constexpr std::uint32_t kFloatExponentAll = 0xFF;  // infinity or NaN
constexpr int kHundredthsBits = 7;                 // 100 < 2^7
constexpr int kNegligibleShift = 1 + kFloatFractionBits + 1 + kHundredthsBits;

// The value in hundredths, rounded at the second decimal (half away from
// zero) from the value's exact binary form. False when it cannot be carried.
//
// In integers only, from the float's bits: a float is a 24-bit significand
// times a power of two, so its product with 100 is an integer times that
// power, and one half is added before the shift drops the fraction. Nothing
// depends on the precision or rounding mode of the floating-point unit.
bool RoundToHundredths(float value, std::int64_t *hundredths) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const std::uint32_t biased = (bits >> kFloatFractionBits) & kFloatExponentAll;
    if (biased == kFloatExponentAll) {
        return false;
    }
    std::uint64_t significand = bits & ((1U << kFloatFractionBits) - 1U);
    if (biased != 0) {
        significand |= 1U << kFloatFractionBits;
    }
    // The magnitude is significand * 2^-shift (subnormals share the lowest
    // exponent). From 2^23 up no value fits the field.
    const int shift =
        kFloatExponentBias + kFloatFractionBits - static_cast<int>(biased == 0 ? 1 : biased);
    if (shift <= 0) {
        return false;
    }
    if (shift >= kNegligibleShift) {
        *hundredths = 0;  // less than half a hundredth
        return true;
    }
    const std::uint64_t scaled = significand * 100U;
    const std::uint64_t rounded = (scaled + (std::uint64_t{1} << (shift - 1))) >> shift;
    if (rounded >= static_cast<std::uint64_t>(kValueFieldLimit)) {
        return false;
    }
    *hundredths = static_cast<std::int64_t>(rounded);
    return true;
}

void Put(Transaction &tx, char character) {
    tx.FrameBuffer[tx.FrameLength++] = character;
}

void PutHexByte(Transaction &tx, std::int32_t byte) {
    Put(tx, kHexDigits[(byte >> 4) & 0x0F]);
    Put(tx, kHexDigits[byte & 0x0F]);
}

// Sign, five integer digits, point, two fraction digits: "+00072.10".
void WriteValueField(char *field, bool negative, std::int64_t hundredths) {
    field[0] = negative ? '-' : '+';
    // Digits from the last one backwards, skipping the point's position.
    for (int i = kValueFieldLength - 1; i > 0; --i) {
        if (i == kPointPosition) {
            field[i] = '.';
            continue;
        }
        field[i] = static_cast<char>('0' + hundredths % 10);
        hundredths /= 10;
    }
}

// A value the field cannot hold is refused before any frame is built
// (FrameArgumentsFit); should one arrive anyway, the field carries zero
// rather than digits of a rounding that failed.
void PutValueField(Transaction &tx, float value) {
    if (!ValueFieldText(value, tx.FrameBuffer + tx.FrameLength)) {
        WriteValueField(tx.FrameBuffer + tx.FrameLength, value < 0.0f, 0);
    }
    tx.FrameLength += kValueFieldLength;
}

void PutData(Transaction &tx, FrameData data, std::int32_t param, float value, std::int32_t byteA,
             std::int32_t byteB) {
    switch (data) {
        case FrameData::kBitNumber:
            PutHexByte(tx, param & 0x3F);
            break;
        case FrameData::kOutputBytes:
            if (param != 1) {
                PutHexByte(tx, byteA & 0xFF);
            }
            PutHexByte(tx, byteB & 0xFF);
            break;
        case FrameData::kValue:
            PutValueField(tx, value);
            break;
        case FrameData::kValueAndMode:
            PutValueField(tx, value);
            if (param == QOR_MODE_MOMENTARY) {
                Put(tx, 'M');
            } else if (param == QOR_MODE_LATCHING) {
                Put(tx, 'L');
            }
            break;
        case FrameData::kNothing:
            break;
    }
}

// An address character travels inside its own frame, so it must not be one
// that frames are made of: a 0 would end the frame text after the prompt, a
// CR ends the frame on the line, and a "$" starts a new frame there ("$$RD"
// reaches the modules as a frame for module "R").
bool AddressCharacterFits(std::int32_t character) {
    return character != 0 && character != kCarriageReturn && character != '$';
}

char PromptFor(unsigned char address_width, unsigned char reply_form) {
    if (address_width == 1) {
        return reply_form == 1 ? '$' : '#';
    }
    return reply_form == 1 ? '{' : '}';
}

}  // namespace

bool ValueFieldText(float value, char *field) {
    std::int64_t hundredths = 0;
    if (!RoundToHundredths(value, &hundredths)) {
        return false;
    }
    WriteValueField(field, value < 0.0f, hundredths);
    return true;
}

bool FrameArgumentsFit(const Transaction &tx, std::int32_t address, std::int32_t code,
                       float value) {
    if (!AddressCharacterFits(address & 0x7F)) {
        return false;
    }
    if (tx.AddressWidth != 1 && !AddressCharacterFits((address >> 8) & 0x7F)) {
        return false;
    }
    std::int64_t hundredths = 0;
    return !CarriesValue(code) || RoundToHundredths(value, &hundredths);
}

bool SendCommand(Transaction &tx, int port, std::int32_t address, std::int32_t code,
                 std::int32_t param, float value, std::int32_t byteA, std::int32_t byteB) {
    const CommandInfo &command = CommandOf(code);
    tx.FrameLength = 0;
    Put(tx, PromptFor(tx.AddressWidth, tx.ReplyForm));
    if (tx.AddressWidth != 1) {
        Put(tx, static_cast<char>((address >> 8) & 0x7F));
    }
    Put(tx, static_cast<char>(address & 0x7F));
    for (const char *letter = command.letters; *letter != '\0'; ++letter) {
        Put(tx, *letter);
    }
    PutData(tx, command.data, param, value, byteA, byteB);
    if (tx.CmdChecksum != 0) {
        AppendCmdChecksum(tx);
    }
    Put(tx, kCarriageReturn);
    tx.FrameBuffer[tx.FrameLength] = '\0';
    return SendFrame(tx, port);
}

void AppendCmdChecksum(Transaction &tx) {
    unsigned sum = 0;
    for (std::int32_t i = 0; i < tx.FrameLength; ++i) {
        sum += static_cast<unsigned char>(tx.FrameBuffer[i]);
    }
    PutHexByte(tx, static_cast<std::int32_t>(sum & 0xFF));
}

bool SendFrame(Transaction &tx, int port) {
    if (tx.DebugEcho != 0) {
        ShowMessageBox(tx.FrameBuffer);
    }
    int result = 1;
    for (const char *character = tx.FrameBuffer; *character != '\0'; ++character) {
        result = QOR_WriteByte(port, static_cast<unsigned char>(*character));
        if (result != 1) {
            break;
        }
    }
    return result == 1;
}

}  // namespace qor
