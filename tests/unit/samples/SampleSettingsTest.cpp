// SPDX-License-Identifier: MIT
// The settings files installed as samples must read as their comments say.
#include "TempFolder.h"
#include "base/DebugLog.h"
#include "base/Settings.h"
#include "usb/LatencySimulation.h"

#include <gtest/gtest.h>

namespace {
class SampleSettingsTest : public ::testing::Test {
protected:
    ~SampleSettingsTest() override {
        ResetSettings();
        SetDebugStringSettings({});
        DestroyNabtoSim();
    }
    TScopedEnv env_{"ZEMB_CONFIG_DIR", ZEMB_SAMPLES_DIR};
};
} // namespace

// Settings all off; diagnostics show the groups and hide the traffic; the latency sample
// loads but is not in force.
TEST_F(SampleSettingsTest, SamplesReadAsTheirCommentsSay) {
    LoadSettings();
    const auto& z = ZEMBSettings();
    EXPECT_EQ(std::tuple(z.EnableEEPWrite, z.ShowDeviceListLog, z.EnableSharedAccess),
              std::tuple(false, false, false));
    LoadDebugStringSettings();
    const TDebugStringSettings& d = DebugStringSettings();
    EXPECT_EQ(std::tuple(d.Enabled, d.ShowOnDebugOutput, d.ShowAssociatedGroup, d.WriteToFile,
                         d.IncludedGroups, d.ExcludedGroups),
              std::tuple(true, true, true, false, "All", "RUVAzerCommTraffic"));
    CreateNabtoSim();
    ASSERT_NE(NabtoSim(), nullptr);
    EXPECT_TRUE(NabtoSim()->Intervals.empty());
    ASSERT_TRUE(NabtoSim()->Load("Slow"));
    EXPECT_TRUE(NabtoSim()->Intervals.size() == 2 && NabtoSim()->IntervalDelay(64) > 0);
}
