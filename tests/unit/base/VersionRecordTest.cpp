// SPDX-License-Identifier: MIT
#include "base/VersionRecord.h"

#include "TempFolder.h"
#include "base/ExecutablePaths.h"

#include <gtest/gtest.h>
#include <unistd.h>

TEST(BuildStringTest, FlagWordsInTheirOrder) {
    EXPECT_EQ(FormatBuildString({2, 5, 0, 104}, 0), "2.5.0.104");
    EXPECT_EQ(FormatBuildString({1, 2, 0, 17}, 0x0A), "1.2.0.17 PRIVATE PRERELEASE");
    EXPECT_EQ(FormatBuildString({1, 0, 0, 0}, 0x3F), "1.0.0.0 PRIVATE DEBUG PRERELEASE SPECIAL");
    EXPECT_EQ(FormatBuildString({65535, 0, 0, 1}, 0x04 | 0x10 | 0x40), "65535.0.0.1");
}

TEST(VersionInfoTest, EveryExecutableCarriesItsRecord) {
    TVersionWords words{};
    std::string text;
    GetFileVersionString(ExecutablePath(), words, text);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text, GetOwnVersionString());
    EXPECT_EQ(text.rfind(std::to_string(words[0]) + "." + std::to_string(words[1]) + ".", 0), 0u);
#ifndef NDEBUG
    EXPECT_NE(text.find(" DEBUG"), std::string::npos) << text;
#endif
}

TEST(VersionInfoTest, FileWithoutRecordGivesEmptyTextAndKeepsWords) {
    TTempFolder folder;
    folder.Write("plain", "not an executable");
    for (const std::string& file :
         {folder.File("plain"), std::string("/bin/sh"), folder.File("x")}) {
        TVersionWords words{9, 9, 9, 9};
        std::string text = "stale";
        GetFileVersionString(file, words, text);
        EXPECT_EQ(text, "") << file;
        EXPECT_EQ(words, (TVersionWords{9, 9, 9, 9})) << file;
    }
}

TEST(IdentityTest, ComputerAndUserNames) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(GetLocalComputerName(), std::string(host).substr(0, 16));
    EXPECT_FALSE(GetLocalUserName().empty());
}
