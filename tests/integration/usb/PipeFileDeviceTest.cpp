// SPDX-License-Identifier: MIT
// The pipe-file transport on real FIFOs. The test holds the driver's ends of the pipes itself:
// PIPE01 is read by it, PIPE00 is opened read-write so replies can wait in it beforehand.
#include "usb/PipeFileDevice.h"

#include "TempFolder.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

class PipeFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = root_ + "/usb#vid_1234&pid_5678#ABCDEFGHI007#{CE2511FC-12E2-4916-A004-0C43A172D7D6}";
        ASSERT_EQ(::mkdir(dir_.c_str(), 0700), 0);
        ASSERT_EQ(::mkfifo((dir_ + "/PIPE00").c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo((dir_ + "/PIPE01").c_str(), 0600), 0);
        device.LinkName = dir_;
        SetSilabsTransferTimeoutMs(100);
    }
    void TearDown() override {
        device.CloseDevice();
        SetSilabsTransferTimeoutMs(5000);
    }
    // The driver's side: it takes what the host writes and holds the replies.
    void DriverListens() {
        fromHost = TUniqueFd(::open((dir_ + "/PIPE01").c_str(), O_RDONLY | O_NONBLOCK));
        toHost = TUniqueFd(::open((dir_ + "/PIPE00").c_str(), O_RDWR | O_NONBLOCK));
        ASSERT_TRUE(fromHost.Valid() && toHost.Valid());
    }
    void DriverReplies(const Bytes& bytes) {
        ASSERT_EQ(::write(toHost.Get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    Bytes DriverReceived() {
        Bytes all;
        std::uint8_t chunk[4096];
        ssize_t n;
        while ((n = ::read(fromHost.Get(), chunk, sizeof chunk)) > 0)
            all.insert(all.end(), chunk, chunk + n);
        return all;
    }

    // A transfer: whether it succeeds and the count it reports, or the bytes it reports read.
    std::pair<bool, std::uint32_t> Write(const Bytes& bytes) {
        std::uint32_t moved = 5;
        const bool ok =
            device.WriteBuffer(bytes.data(), static_cast<std::uint32_t>(bytes.size()), moved);
        return {ok, moved};
    }
    std::pair<bool, Bytes> Read(std::uint32_t count) {
        Bytes into(count);
        std::uint32_t moved = 5;
        const bool ok = device.ReadBuffer(into.data(), count, moved);
        into.resize(moved);
        return {ok, into};
    }
    const std::pair<bool, std::uint32_t> Failed{false, 0};
    const std::pair<bool, Bytes> NothingRead{false, {}};

    TUSB_IFDeviceSilabs device;
    TUniqueFd fromHost, toHost;
    TTempFolder temp_;
    const std::string root_ = temp_.Dir();
    std::string dir_;
};

TEST_F(PipeFile, DeviceWithoutItsDriverIsHalfOpen) {
    // Nobody reads PIPE01: the open must not wait for a reader.
    EXPECT_FALSE(device.OpenDevice());
    EXPECT_EQ(std::tuple(device.Active(), device.WritePipeHandle.Valid()), std::tuple(true, false));
    EXPECT_EQ(Write({0x42}), Failed);
    EXPECT_TRUE(device.CloseDevice());
    EXPECT_FALSE(device.Active() || device.ReadPipeHandle.Valid() || device.CloseDevice());

    // A driver that serves PIPE01 but has no PIPE00.
    std::filesystem::remove(dir_ + "/PIPE00");
    fromHost = TUniqueFd(::open((dir_ + "/PIPE01").c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_TRUE(fromHost.Valid());
    EXPECT_FALSE(device.OpenDevice());
    EXPECT_EQ(
        std::tuple(device.Active(), device.WritePipeHandle.Valid(), device.ReadPipeHandle.Valid()),
        std::tuple(true, true, false));
}

TEST_F(PipeFile, TransfersAreLimitedTo65533BytesAndMayBeShort) {
    DriverListens();
    ASSERT_TRUE(device.OpenDevice());
    Bytes big(65533);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(std::pair(Write(Bytes(65534)), Write({})), std::pair(Failed, Failed));
    EXPECT_TRUE(DriverReceived().empty());
    EXPECT_EQ(Write(big), std::pair(true, 65533U));
    EXPECT_EQ(DriverReceived(), big);

    DriverReplies({0x5A});
    EXPECT_EQ(std::pair(Read(65534), Read(0)), std::pair(NothingRead, NothingRead));
    EXPECT_EQ(Read(1), std::pair(true, Bytes{0x5A})); // the byte was left alone
    DriverReplies(big);
    EXPECT_EQ(Read(65533), std::pair(true, big));
    // A short read is the caller's to judge; nothing at all within the time-out fails.
    DriverReplies({0x19, 0x01, 0x02});
    EXPECT_EQ(Read(8), std::pair(true, Bytes{0x19, 0x01, 0x02}));
    EXPECT_EQ(Read(8), NothingRead);
}

TEST_F(PipeFile, ClosedDeviceMovesNothing) {
    DriverListens();
    ASSERT_TRUE(device.OpenDevice());
    EXPECT_TRUE(device.CloseDevice());
    EXPECT_FALSE(device.WritePipeHandle.Valid() || device.ReadPipeHandle.Valid());
    DriverReplies({0x01});
    EXPECT_EQ(std::pair(Write({0x42}), Read(1)), std::pair(Failed, NothingRead));
    EXPECT_FALSE(device.CloseDevice());
    EXPECT_TRUE(DriverReceived().empty());
}

TEST_F(PipeFile, DriverThatWentAwayFailsTheWrite) {
    DriverListens();
    ASSERT_TRUE(device.OpenDevice());
    fromHost.Close(); // no reader left: a write raises SIGPIPE unless it is ignored
    EXPECT_EQ(Write({0x42}), Failed);
    // The writer gone as well: the read sees the end of the pipe and fails at once.
    toHost.Close();
    EXPECT_EQ(Read(1), NothingRead);
}

} // namespace
