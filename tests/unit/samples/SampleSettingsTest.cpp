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
    SampleSettingsTest() : env_("ZEMB_CONFIG_DIR", ZEMB_SAMPLES_DIR) {}
    ~SampleSettingsTest() override {
        ResetSettings();
        SetDebugStringSettings({});
        DestroyNabtoSim();
    }
    TScopedEnv env_;
};
} // namespace

TEST_F(SampleSettingsTest, SettingsAreAllOff) {
    LoadSettings();
    EXPECT_FALSE(ZEMBSettings().EnableEEPWrite);
    EXPECT_FALSE(ZEMBSettings().ShowDeviceListLog);
    EXPECT_FALSE(ZEMBSettings().EnableSharedAccess);
}

TEST_F(SampleSettingsTest, DiagnosticsShowGroupsAndHideTraffic) {
    LoadDebugStringSettings();
    const TDebugStringSettings& settings = DebugStringSettings();
    EXPECT_TRUE(settings.Enabled);
    EXPECT_TRUE(settings.ShowOnDebugOutput);
    EXPECT_TRUE(settings.ShowAssociatedGroup);
    EXPECT_FALSE(settings.WriteToFile);
    EXPECT_EQ(settings.IncludedGroups, "All");
    EXPECT_EQ(settings.ExcludedGroups, "RUVAzerCommTraffic");
}

TEST_F(SampleSettingsTest, LatencySampleLoadsButIsNotInForce) {
    CreateNabtoSim();
    ASSERT_NE(NabtoSim(), nullptr);
    EXPECT_TRUE(NabtoSim()->Intervals.empty());
    EXPECT_TRUE(NabtoSim()->Load("Slow"));
    EXPECT_EQ(NabtoSim()->Intervals.size(), 2u);
    EXPECT_GT(NabtoSim()->IntervalDelay(64), 0);
}
