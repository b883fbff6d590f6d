// SPDX-License-Identifier: MIT
#include "base/Settings.h"

#include "TempFolder.h"
#include "base/ProfileFile.h"

#include <gtest/gtest.h>

namespace {
class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() : env_("ZEMB_CONFIG_DIR", folder_.Path()) {}
    ~SettingsTest() override { ResetSettings(); }
    TTempFolder folder_;
    TScopedEnv env_;
};
} // namespace

TEST_F(SettingsTest, NoFileGivesAllFalse) {
    ZEMBSettings().EnableSharedAccess = true;
    LoadSettings();
    EXPECT_FALSE(ZEMBSettings().EnableEEPWrite);
    EXPECT_FALSE(ZEMBSettings().ShowDeviceListLog);
    EXPECT_FALSE(ZEMBSettings().EnableSharedAccess);
    EXPECT_EQ(SettingsFileName(), folder_.File("FENWY.INI"));
}

TEST_F(SettingsTest, LowerCaseNamesWordsAndNonZeroIntegers) {
    folder_.Write("FENWY.INI", "[general]\r\nenableeepwrite=1\r\nShowDeviceListLog=yes\r\n"
                               "EnableSharedAccess=2\r\n");
    LoadSettings();
    EXPECT_TRUE(ZEMBSettings().EnableEEPWrite);
    EXPECT_FALSE(ZEMBSettings().ShowDeviceListLog);
    EXPECT_TRUE(ZEMBSettings().EnableSharedAccess);

    SaveSettings();
    TProfileFile file(folder_.File("FENWY.INI"));
    EXPECT_EQ(file.ReadString("General", "EnableSharedAccess", ""), "1");
    EXPECT_EQ(file.ReadString("General", "ShowDeviceListLog", ""), "0");
}

TEST_F(SettingsTest, SaveWritesTheThreeKeysInOrder) {
    ZEMBSettings().ShowDeviceListLog = true;
    SaveSettings();
    EXPECT_EQ(folder_.Read("FENWY.INI"),
              "[General]\nEnableEEPWrite=0\nShowDeviceListLog=1\nEnableSharedAccess=0\n");
}

TEST_F(SettingsTest, DeleteThenSaveCreatesTheFileWithValuesInMemory) {
    folder_.Write("FENWY.INI", "[General]\nEnableEEPWrite=1\n");
    LoadSettings();
    DeleteSettings();
    EXPECT_FALSE(folder_.Exists("FENWY.INI"));
    EXPECT_FALSE(ZEMBSettings().EnableEEPWrite);
    DeleteSettings(); // a missing file is no error
    ZEMBSettings().EnableSharedAccess = true;
    SaveSettings();
    LoadSettings();
    EXPECT_TRUE(ZEMBSettings().EnableSharedAccess);
    EXPECT_FALSE(ZEMBSettings().EnableEEPWrite);
}

TEST_F(SettingsTest, UnwritableFileRaisesAndKeepsTheValues) {
    TScopedEnv elsewhere("ZEMB_CONFIG_DIR", folder_.File("missing/folder"));
    ZEMBSettings().EnableEEPWrite = true;
    EXPECT_THROW(SaveSettings(), EProfileFileError);
    EXPECT_TRUE(ZEMBSettings().EnableEEPWrite);
    ResetSettings();
    EXPECT_FALSE(ZEMBSettings().EnableEEPWrite);
}
