// The TCP transport against a real listener on 127.0.0.1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "qor_comm.h"
#include "tests/comm/link_support.h"

namespace {

using namespace qor::test;

constexpr int kPort = 7;

class TcpLink : public ::testing::Test {
  protected:
    void TearDown() override {
        QOR_ClosePort(kPort);
        if (server_ >= 0) {
            close(server_);
        }
    }

    void Connect(const std::string &settings = "?timeout_ms=100") {
        ASSERT_EQ(1, QOR_OpenPort(kPort, listener_.Target(settings).c_str()));
        ASSERT_GE(server_ = listener_.Accept(), 0);
    }
    void Transaction(const std::string &reply) const {
        ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
        ASSERT_EQ("$1RD\r", ReadLine(server_));
        WriteAll(server_, reply);
        EXPECT_EQ(reply, ReceiveReply(kPort));
    }
    void ServerGoes() {
        listener_.Close();
        CloseAcknowledged(server_);
        server_ = -1;
    }

    TcpListener listener_;
    int server_ = -1;
};

TEST_F(TcpLink, FrameArrivesAndEveryReplyByteComesBackInOrder) {
    Connect();
    const std::string frame = "$1HI+00100.00L\nDC\r";
    ASSERT_TRUE(SendFrame(kPort, frame));
    EXPECT_EQ(frame, ReadBytes(server_, frame.size()));
    // Every byte value, the CR last: input behind a reply's CR would
    // refuse the reply.
    std::string reply;
    for (int value = 0; value < 256; ++value) {
        reply += static_cast<char>(value == 255 - 13 ? 0 : value == 255 ? 13 : 255 - value);
    }
    WriteAll(server_, reply);
    for (std::size_t index = 0; index < reply.size(); ++index) {
        ASSERT_EQ(static_cast<unsigned char>(reply[index]), QOR_ReadByte(kPort))
            << "at index " << index;
    }
}

TEST_F(TcpLink, LateReplyIsDiscardedWhenTheNextFrameStarts) {
    Connect();
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(server_));
    long long start = NowMs();
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    EXPECT_GE(NowMs() - start, 90);
    EXPECT_LT(NowMs() - start, 2000);
    WriteAll(server_, "*+00001.00\r");
    ASSERT_TRUE(WaitDelivered(server_));
    Transaction("*+00002.00\r");
}

TEST_F(TcpLink, ServerGoneFailsAndAReturningServerIsReconnected) {
    Connect();
    Transaction("*+00001.00\r");
    const unsigned port = listener_.Port();
    ServerGoes();
    long long start = NowMs();
    EXPECT_EQ(0, QOR_WriteByte(kPort, '$'));
    EXPECT_EQ(-1, QOR_ReadByte(kPort));
    EXPECT_FALSE(SendFrame(kPort, "$1RD\r"));
    EXPECT_LT(NowMs() - start, 2000);

    TcpListener back(port);
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    ASSERT_GE(server_ = back.Accept(), 0);
    EXPECT_EQ("$1RD\r", ReadLine(server_));
    WriteAll(server_, "*+00003.00\r");
    EXPECT_EQ("*+00003.00\r", ReceiveReply(kPort));
}

TEST_F(TcpLink, ServerClosingDuringAReadEndsTheReadAtOnce) {
    Connect("?timeout_ms=5000");
    ASSERT_TRUE(SendFrame(kPort, "$1RD\r"));
    ASSERT_EQ("$1RD\r", ReadLine(server_));
    WriteAll(server_, "*+0");
    close(server_);
    server_ = -1;
    long long start = NowMs();
    EXPECT_EQ("*+0", ReceiveReply(kPort));
    EXPECT_LT(NowMs() - start, 2000);
}

// Writing into a connection the server has closed raises SIGPIPE unless the
// library prevents it; the default action would end this test program.
TEST_F(TcpLink, WritingToAClosedServerRaisesNoSignal) {
    Connect();
    ASSERT_EQ(1, QOR_WriteByte(kPort, '$'));  // the frame has begun
    ServerGoes();
    // Frames longer than the buffer, so that several sends meet the dead
    // connection.
    bool refused = false;
    for (int attempt = 0; attempt < 10 && !refused; ++attempt) {
        refused = !SendFrame(kPort, std::string(600, '1') + "\r");
    }
    EXPECT_TRUE(refused);
}

}  // namespace
