// Captures replies from the byte link into the transaction's ReplyBuffer and
// takes them apart.
#include <cstdint>

#include "engine/library_state.h"
#include "engine/platform.h"
#include "engine/protocol.h"
#include "qor_comm.h"

namespace qor {

namespace {

constexpr char kCarriageReturn = 13;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// A link that never stops delivering characters (a chattering line, a
// misconfigured baud rate) must not keep a call forever: one reply takes at
// most this many characters from the link, dropped ones included.
constexpr int kMaxCharactersPerReply = 256;

// The character classes of a form (ReplyInForm), one bit each, and the
// classes each character belongs to: a table, so that every reply in form
// costs a load and a test per character of its field.
constexpr std::uint8_t kSign = 1;
constexpr std::uint8_t kDigit = 2;
constexpr std::uint8_t kPoint = 4;
constexpr std::uint8_t kModeLetter = 8;
constexpr std::uint8_t kBitState = 16;
constexpr std::uint8_t kHexDigit = 32;

constexpr std::uint8_t ClassesOf(int c) {
    std::uint8_t classes = 0;
    classes |= (c == '+' || c == '-') ? kSign : 0;
    classes |= (c >= '0' && c <= '9') ? kDigit | kHexDigit : 0;
    classes |= (c >= 'A' && c <= 'F') ? kHexDigit : 0;
    classes |= c == '.' ? kPoint : 0;
    classes |= (c == 'L' || c == 'M') ? kModeLetter : 0;
    classes |= (c == '0' || c == '1') ? kBitState : 0;
    return classes;
}

// The class a form's letter names: "s", "9", ".", "m", "b", "h"; 0 (no
// character fits) for any other.
constexpr std::uint8_t ClassNamed(int letter) {
    switch (letter) {
        case 's':
            return kSign;
        case '9':
            return kDigit;
        case '.':
            return kPoint;
        case 'm':
            return kModeLetter;
        case 'b':
            return kBitState;
        case 'h':
            return kHexDigit;
        default:
            return 0;
    }
}

struct ClassTable {
    std::uint8_t of[256];
};

constexpr ClassTable MakeTable(std::uint8_t (*classify)(int)) {
    ClassTable table{};
    for (int c = 0; c < 256; ++c) {
        table.of[c] = classify(c);
    }
    return table;
}

constexpr ClassTable kClassesOf = MakeTable(ClassesOf);
constexpr ClassTable kClassNamed = MakeTable(ClassNamed);

}  // namespace

bool ReadReply(Transaction &tx, int port) {
    tx.ReplyLength = 0;
    bool capturing = false;
    bool complete = false;
    bool overflowed = false;
    for (int taken = 0; taken < kMaxCharactersPerReply; ++taken) {
        int received = QOR_ReadByte(port);
        if (received < 0 || received > 255) {
            break;
        }
        char character = static_cast<char>(received);
        bool starts_reply = (character == '*' || character == '?');
        if (!capturing) {
            // Whatever precedes the reply (an echo of the frame, line noise)
            // is dropped, a CR included.
            if (!starts_reply) {
                continue;
            }
            capturing = true;
        } else if (starts_reply && tx.ReplyBuffer[0] == '*') {
            // No accepting reply carries "*" or "?" in its data: this one was
            // cut off and the next begins here. Joined, "*+000" and
            // "*+00072.10" would pass as a reading of 0.
            tx.ReplyLength = 0;
            overflowed = false;
        }
        if (tx.ReplyLength < kReplyCapacity - 1) {
            tx.ReplyBuffer[tx.ReplyLength++] = character;
            if (character == kCarriageReturn) {
                complete = true;
                break;
            }
        } else {
            // Too long for ReplyBuffer: keep reading up to its CR so that the
            // rest of it is not taken for the next reply, but store nothing.
            overflowed = true;
            if (character == kCarriageReturn) {
                break;
            }
        }
    }
    tx.ReplyBuffer[tx.ReplyLength] = '\0';
    if (tx.DebugEcho != 0) {
        ShowMessageBox(tx.ReplyBuffer);
    }
    return complete && !overflowed;
}

bool VerifyReplyChecksum(const Transaction &tx) {
    if (tx.ReplyForm == 1) {
        return true;
    }
    if (tx.ReplyLength < 4) {
        return false;
    }
    unsigned sum = 0;
    for (std::int32_t i = 0; i <= tx.ReplyLength - 4; ++i) {
        sum += static_cast<unsigned char>(tx.ReplyBuffer[i]);
    }
    return tx.ReplyBuffer[tx.ReplyLength - 3] == kHexDigits[(sum >> 4) & 0x0F] &&
           tx.ReplyBuffer[tx.ReplyLength - 2] == kHexDigits[sum & 0x0F];
}

void ExtractField(Transaction &tx, std::int32_t start, std::int32_t end) {
    std::int32_t size = 0;
    if (start >= 0) {
        // The field ends where the reply ends, whatever the range asks for.
        std::int32_t last = end < tx.ReplyLength - 1 ? end : tx.ReplyLength - 1;
        for (std::int32_t i = start; i <= last && size < kFieldCapacity - 1; ++i) {
            tx.FieldBuffer[size++] = tx.ReplyBuffer[i];
        }
    }
    tx.FieldBuffer[size] = '\0';
    tx.FieldLength = size;
}

char ReplyChar(const Transaction &tx, std::int32_t index) {
    return (index >= 0 && index < tx.ReplyLength) ? tx.ReplyBuffer[index] : '\0';
}

FieldLayout LayoutOf(const Transaction &tx, bool long_layout) {
    if (!long_layout) {
        return {1, 1};
    }
    return {1 + (tx.AddressWidth == 1 ? 1 : 2) + 2, 3};
}

bool ReplyInForm(const Transaction &tx, FieldLayout layout, const char *pattern) {
    // The field ends where the layout's tail begins; within it, one
    // character per letter of the form, and the form must end there too.
    const std::int32_t end = tx.ReplyLength - layout.after;
    std::int32_t at = layout.before;
    for (; *pattern != '\0'; ++pattern, ++at) {
        if (at >= end) {
            return false;
        }
        const auto c = static_cast<unsigned char>(tx.ReplyBuffer[at]);
        if ((kClassesOf.of[c] & kClassNamed.of[static_cast<unsigned char>(*pattern)]) == 0) {
            return false;
        }
    }
    return at == end;
}

}  // namespace qor
