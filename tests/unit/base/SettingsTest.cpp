// SPDX-License-Identifier: MIT
#include "base/Settings.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

namespace {
class SettingsTest : public ::testing::Test {
protected:
    ~SettingsTest() override { ResetSettings(); }
    TTempFolder folder_;
    TScopedEnv env_{"ZEMB_CONFIG_DIR", folder_.Path()};
};
} // namespace

// How the keys are read (names without case, words give the default, any other integer is
// true) and a file that cannot be written: ProfileFileTest.
TEST_F(SettingsTest, NoFileGivesAllFalse) {
    ZEMBSettings().EnableSharedAccess = true;
    LoadSettings();
    const TZEMBSettings& s = ZEMBSettings();
    EXPECT_EQ(std::tuple(s.EnableEEPWrite, s.ShowDeviceListLog, s.EnableSharedAccess),
              std::tuple(false, false, false));
}

TEST_F(SettingsTest, LoadDeleteThenSaveWritesTheThreeKeysInOrder) {
    folder_.Write("FENWY.INI", "[general]\nenableeepwrite=2\n");
    LoadSettings();
    EXPECT_TRUE(ZEMBSettings().EnableEEPWrite);
    DeleteSettings();
    EXPECT_EQ(std::pair(folder_.Exists("FENWY.INI"), ZEMBSettings().EnableEEPWrite),
              std::pair(false, false));
    DeleteSettings(); // a missing file is no error
    ZEMBSettings().ShowDeviceListLog = true;
    SaveSettings();
    EXPECT_EQ(folder_.Read("FENWY.INI"),
              "[General]\nEnableEEPWrite=0\nShowDeviceListLog=1\nEnableSharedAccess=0\n");
}
