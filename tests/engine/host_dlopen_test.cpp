// Loads the built library the way a host program does, after loading a byte
// link of its own with RTLD_GLOBAL: that link, not libqor_comm, must carry
// every frame and reply.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

namespace {

template <typename Function>
Function Find(void *library, const char *name) {
    void *symbol = dlsym(library, name);
    EXPECT_NE(symbol, nullptr) << name << ": " << dlerror();
    return reinterpret_cast<Function>(symbol);
}

class HostLoad : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        link_ = dlopen(RECORDING_LINK_PATH, RTLD_NOW | RTLD_GLOBAL);
        ASSERT_NE(link_, nullptr) << dlerror();
        library_ = dlopen(QOR_DLL_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
    }
    void SetUp() override {
        Find<void (*)()>(link_, "RecordingLinkReset")();
        Find<void (*)(int)>(library_, "QOR_EnableCmdChecksum")(0);
    }
    void Deliver(const char *text) {
        Find<void (*)(const char *)>(link_, "RecordingLinkDeliver")(text);
    }
    std::string Written() { return Find<const char *(*)()>(link_, "RecordingLinkWritten")(); }

    static void *link_;
    static void *library_;
};

void *HostLoad::link_;
void *HostLoad::library_;

TEST_F(HostLoad, TheHostsOwnByteLinkCarriesTheTransaction) {
    auto read = Find<float (*)(int, int, int *, int *)>(library_, "QOR_RD");
    Deliver("*+00072.10\r");
    int status = -1;
    int error = -1;
    EXPECT_FLOAT_EQ(read(3, '1', &status, &error), 72.1f);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Written(), "$1RD\r");
}

TEST_F(HostLoad, SwitchArgumentCountsOnlyItsLowByte) {
    // Hosts often declare the switch with an int argument.
    auto checksum = Find<void (*)(int)>(library_, "QOR_EnableCmdChecksum");
    auto read = Find<float (*)(int, int, int *, int *)>(library_, "QOR_RD");
    int status;
    int error;
    checksum(1);
    read(1, '1', &status, &error);
    checksum(256);
    read(1, '1', &status, &error);
    checksum(0x101);
    read(1, '1', &status, &error);
    EXPECT_EQ(Written(), "$1RDEB\r$1RD\r$1RDEB\r");
}

TEST_F(HostLoad, FailedTransactionStillWritesStatusAndError) {
    auto sp = Find<int (*)(int, int, float, int *, int *)>(library_, "QOR_SP");
    int status = -1;
    int error = -1;
    EXPECT_EQ(sp(1, '1', 5.0f, &status, &error), 100);
    EXPECT_EQ(status, 100);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(Written(), "$1WE\r");
}

}  // namespace
