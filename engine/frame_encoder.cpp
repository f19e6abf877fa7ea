// Builds command frames in FrameBuffer and writes them to the byte link.
#include <cmath>
#include <cstdint>

#include "library_state.h"
#include "platform.h"
#include "protocol.h"
#include "qor_comm.h"

namespace qor {

namespace {

constexpr char kCarriageReturn = 13;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kValueFieldLength = 9;
// Hundredths that no longer fit five integer digits and two fraction digits.
constexpr std::int64_t kValueFieldLimit = 10000000;

// Letters of each CommandCode, by code.
constexpr const char *kLetters[] = {
    "ACK", "AO", "CA", "CB", "CE", "CZ", "DA", "DI", "DO", "EA", "EC", "HI", "LO",
    "RB",  "RD", "RE", "RH", "RL", "RR", "RZ", "ND", "SB", "SP", "TS", "TZ", "WE",
};
constexpr std::int32_t kCodeCount = sizeof kLetters / sizeof kLetters[0];

const char *LettersOf(std::int32_t code) {
    return (code >= 0 && code < kCodeCount) ? kLetters[code] : kLetters[RD];
}

bool CarriesValue(std::int32_t code) {
    return code == AO || code == HI || code == LO || code == SP || code == TS || code == TZ;
}

// The value in hundredths, rounded at the second decimal (half away from
// zero) from the value's exact binary form. False when it cannot be carried.
//
// A float has 24 significant bits, so its product with 100 is exact in a
// double, and adding one half is exact wherever it can change the result.
bool RoundToHundredths(float value, std::int64_t *hundredths) {
    double magnitude = std::fabs(static_cast<double>(value)) * 100.0;
    if (!std::isfinite(magnitude) || magnitude >= kValueFieldLimit - 0.5) {
        return false;
    }
    *hundredths = static_cast<std::int64_t>(std::floor(magnitude + 0.5));
    return true;
}

void Put(char character) {
    FrameBuffer[Length++] = character;
}

void PutHexByte(std::int32_t byte) {
    Put(kHexDigits[(byte >> 4) & 0x0F]);
    Put(kHexDigits[byte & 0x0F]);
}

// Sign, five integer digits, point, two fraction digits: "+00072.10".
void PutValueField(float value) {
    std::int64_t hundredths = 0;
    RoundToHundredths(value, &hundredths);
    int start = Length;
    Put(value < 0.0f ? '-' : '+');
    for (int i = 1; i < kValueFieldLength; ++i) {
        Put('0');
    }
    // Digits from the last one backwards, skipping the point's position.
    for (int i = kValueFieldLength - 1; i > 0 && hundredths > 0; --i) {
        if (i == 6) {
            continue;
        }
        FrameBuffer[start + i] = static_cast<char>('0' + hundredths % 10);
        hundredths /= 10;
    }
    FrameBuffer[start + 6] = '.';
}

char PromptFor(unsigned char address_width, unsigned char reply_form) {
    if (address_width == 1) {
        return reply_form == 1 ? '$' : '#';
    }
    return reply_form == 1 ? '{' : '}';
}

}  // namespace

bool FrameArgumentsFit(std::int32_t address, std::int32_t code, float value) {
    if ((address & 0x7F) == 0) {
        return false;
    }
    if (AddressWidth != 1 && ((address >> 8) & 0x7F) == 0) {
        return false;
    }
    std::int64_t hundredths = 0;
    return !CarriesValue(code) || RoundToHundredths(value, &hundredths);
}

bool SendCommand(int port, std::int32_t address, std::int32_t code, std::int32_t param, float value,
                 std::int32_t byteA, std::int32_t byteB) {
    Length = 0;
    Put(PromptFor(AddressWidth, ReplyForm));
    if (AddressWidth != 1) {
        Put(static_cast<char>((address >> 8) & 0x7F));
    }
    Put(static_cast<char>(address & 0x7F));

    for (const char *letter = LettersOf(code); *letter != '\0'; ++letter) {
        Put(*letter);
    }

    switch (code) {
        case CB:
        case SB:
        case RB:
            PutHexByte(param & 0x3F);
            break;
        case DO:
            if (param != 1) {
                PutHexByte(byteA & 0xFF);
            }
            PutHexByte(byteB & 0xFF);
            break;
        case AO:
        case SP:
        case TS:
        case TZ:
            PutValueField(value);
            break;
        case HI:
        case LO:
            PutValueField(value);
            if (param == 0) {
                Put('M');
            } else if (param == 1) {
                Put('L');
            }
            break;
        default:
            break;
    }

    if (CmdChecksum != 0) {
        AppendCmdChecksum();
    }
    Put(kCarriageReturn);
    FrameBuffer[Length] = '\0';
    return SendFrame(port);
}

void AppendCmdChecksum() {
    unsigned sum = 0;
    for (std::int32_t i = 0; i < Length; ++i) {
        sum += static_cast<unsigned char>(FrameBuffer[i]);
    }
    PutHexByte(static_cast<std::int32_t>(sum & 0xFF));
}

bool SendFrame(int port) {
    if (DebugEcho != 0) {
        ShowMessageBox(FrameBuffer);
    }
    int result = 1;
    for (const char *character = FrameBuffer; *character != '\0'; ++character) {
        result = QOR_WriteByte(port, static_cast<unsigned char>(*character));
        if (result != 1) {
            break;
        }
    }
    return result == 1;
}

}  // namespace qor
