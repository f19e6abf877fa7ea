// Builds command frames in the transaction's FrameBuffer and writes them to
// the byte link.
#include <cmath>
#include <cstdint>

#include "command_table.h"
#include "library_state.h"
#include "platform.h"
#include "protocol.h"
#include "qor_comm.h"

namespace qor {

namespace {

constexpr char kCarriageReturn = 13;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kValueFieldLength = 9;
constexpr int kPointPosition = 6;  // after the sign and five integer digits
// Hundredths that no longer fit five integer digits and two fraction digits.
constexpr std::int64_t kValueFieldLimit = 10000000;

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

void Put(Transaction &tx, char character) {
    tx.FrameBuffer[tx.FrameLength++] = character;
}

void PutHexByte(Transaction &tx, std::int32_t byte) {
    Put(tx, kHexDigits[(byte >> 4) & 0x0F]);
    Put(tx, kHexDigits[byte & 0x0F]);
}

// Sign, five integer digits, point, two fraction digits: "+00072.10". A value
// the field cannot hold is refused before any frame is built
// (FrameArgumentsFit); should one arrive anyway, the field carries zero
// rather than digits of a rounding that failed.
void PutValueField(Transaction &tx, float value) {
    std::int64_t hundredths = 0;
    if (!RoundToHundredths(value, &hundredths)) {
        hundredths = 0;
    }
    int start = tx.FrameLength;
    Put(tx, value < 0.0f ? '-' : '+');
    for (int i = 1; i < kValueFieldLength; ++i) {
        Put(tx, '0');
    }
    // Digits from the last one backwards, skipping the point's position.
    for (int i = kValueFieldLength - 1; i > 0 && hundredths > 0; --i) {
        if (i == kPointPosition) {
            continue;
        }
        tx.FrameBuffer[start + i] = static_cast<char>('0' + hundredths % 10);
        hundredths /= 10;
    }
    tx.FrameBuffer[start + kPointPosition] = '.';
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
            if (param == 0) {
                Put(tx, 'M');
            } else if (param == 1) {
                Put(tx, 'L');
            }
            break;
        case FrameData::kNothing:
            break;
    }
}

char PromptFor(unsigned char address_width, unsigned char reply_form) {
    if (address_width == 1) {
        return reply_form == 1 ? '$' : '#';
    }
    return reply_form == 1 ? '{' : '}';
}

}  // namespace

bool FrameArgumentsFit(const Transaction &tx, std::int32_t address, std::int32_t code,
                       float value) {
    if ((address & 0x7F) == 0) {
        return false;
    }
    if (tx.AddressWidth != 1 && ((address >> 8) & 0x7F) == 0) {
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
