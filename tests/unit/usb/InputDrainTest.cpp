// SPDX-License-Identifier: MIT
// The drain of unread input before each link command, over the in-process transport.
#include "FakeLinkDevice.h"

#include <gtest/gtest.h>

namespace {

// The fake transport with input nobody read: the first `pendingReads` drain reads find a byte.
class TChattyDevice : public TFakeLinkDevice {
public:
    int pendingReads = 0;
    int drainReads = 0;

protected:
    std::uint32_t DrainRead(std::uint8_t* Buffer, std::uint32_t Count) override {
        ++drainReads;
        if (pendingReads == 0 || Count == 0)
            return 0;
        --pendingReads;
        Buffer[0] = 0x21;
        return 1;
    }
};

} // namespace

// Reads go on up to the first empty one, and stop after DrainMaxReads on a device that keeps
// sending; the command goes out and reads its reply either way.
TEST(InputDrain, ReadsUntilNothingComesAndNoLongerThanItsBound) {
    struct TRow {
        int pending;
        int reads;
    };
    for (const TRow row : {TRow{0, 1}, TRow{2, 3}, TRow{1000, DrainMaxReads}}) {
        SCOPED_TRACE(row.pending);
        TChattyDevice device;
        ASSERT_TRUE(device.OpenDevice());
        device.pendingReads = row.pending;
        device.Reply({RX_RAM_TOTAL_MSG, 0x00, 0x09});
        EXPECT_TRUE(device.GetRAMTotal());
        EXPECT_EQ(device.drainReads, row.reads);
        EXPECT_EQ(device.written.size(), 1u);
    }
}
