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
    std::uint8_t byte = 0x09;
    std::uint32_t moved = 5;
    EXPECT_FALSE(device.WriteBuffer(&byte, 1, moved));
    EXPECT_EQ(moved, 0U);
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
    Bytes buffer(65534);
    std::uint32_t moved = 0;
    EXPECT_FALSE(device.WriteBuffer(buffer.data(), 65534, moved) ||
                 device.WriteBuffer(buffer.data(), 0, moved));
    EXPECT_TRUE(DriverReceived().empty());
    ASSERT_TRUE(device.WriteBuffer(big.data(), 65533, moved));
    EXPECT_EQ(moved, 65533U);
    EXPECT_EQ(DriverReceived(), big);

    DriverReplies({0x5A});
    EXPECT_FALSE(device.ReadBuffer(buffer.data(), 65534, moved) ||
                 device.ReadBuffer(buffer.data(), 0, moved));
    ASSERT_TRUE(device.ReadBuffer(buffer.data(), 1, moved)); // the byte was left alone
    EXPECT_EQ(buffer[0], 0x5A);
    DriverReplies(big);
    ASSERT_TRUE(device.ReadBuffer(buffer.data(), 65533, moved));
    EXPECT_EQ(moved, 65533U);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), buffer.begin()));
    // A short read is the caller's to judge; nothing at all within the time-out fails.
    DriverReplies({0x19, 0x01, 0x02});
    EXPECT_TRUE(device.ReadBuffer(buffer.data(), 8, moved));
    EXPECT_EQ(moved, 3U);
    EXPECT_FALSE(device.ReadBuffer(buffer.data(), 8, moved));
    EXPECT_EQ(moved, 0U);
}

TEST_F(PipeFile, ClosedDeviceMovesNothing) {
    DriverListens();
    ASSERT_TRUE(device.OpenDevice());
    EXPECT_TRUE(device.CloseDevice());
    EXPECT_FALSE(device.WritePipeHandle.Valid() || device.ReadPipeHandle.Valid());
    DriverReplies({0x01});
    std::uint8_t byte = 0x42;
    std::uint32_t moved = 0;
    EXPECT_FALSE(device.WriteBuffer(&byte, 1, moved) || device.ReadBuffer(&byte, 1, moved) ||
                 device.CloseDevice());
    EXPECT_EQ(byte, 0x42);
    EXPECT_TRUE(DriverReceived().empty());
}

TEST_F(PipeFile, DriverThatWentAwayFailsTheWrite) {
    DriverListens();
    ASSERT_TRUE(device.OpenDevice());
    fromHost.Close(); // no reader left: a write raises SIGPIPE unless it is ignored
    std::uint8_t byte = 0x42;
    std::uint32_t moved = 0;
    EXPECT_FALSE(device.WriteBuffer(&byte, 1, moved));
    EXPECT_EQ(moved, 0U);
    // The writer gone as well: the read sees the end of the pipe and fails at once.
    toHost.Close();
    EXPECT_FALSE(device.ReadBuffer(&byte, 1, moved));
}

} // namespace
