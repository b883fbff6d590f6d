// SPDX-License-Identifier: MIT
#include "base/StartupEffects.h"

#include "Captures.h"
#include "TempFolder.h"
#include "base/VersionRecord.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {
std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every folder the start-up touches lies in one temporary tree.
class StartupTest : public ::testing::Test {
protected:
    ~StartupTest() override { SetDebugStringSettings({}); }

    TTempFolder folder_;
    TScopedEnv config_{"ZEMB_CONFIG_DIR", folder_.Path() + "exe"},
        system_{"ZEMB_SYSTEM_DIR", folder_.Path() + "etc"},
        data_{"XDG_DATA_HOME", folder_.Path() + "data"};
    TRecordedMessages messages_;
};
} // namespace

// Every daily log before today's goes, whatever the case of its name; today's (in any case),
// later ones and other files stay.
TEST(PermanentLogCleanupTest, OnlyDailyLogsBeforeTodayGo) {
    // clang-format off
    const struct { std::vector<std::string> Files; int Deleted; std::vector<std::string> Left; }
    cases[] = {
        {{"HA_Log2026-12-01.haj", "HA_Log2026-12-02.haj", "ha_log2026-12-03.HAJ", "notes.txt",
          "HA_Log2026-12-02.hajx"}, 3, {"HA_Log2026-12-02.hajx", "notes.txt"}},
        {{"HA_Log2026-11-30.haj", "HA_Log2026-12-06.haj", "HA_Log2026-12-07.haj"}, 1,
         {"HA_Log2026-12-06.haj", "HA_Log2026-12-07.haj"}},
        {{"HA_LOG2026-12-06.HAJ"}, 0, {"HA_LOG2026-12-06.HAJ"}}};
    // clang-format on
    for (const auto& c : cases) {
        TTempFolder folder;
        for (const std::string& name : c.Files)
            folder.Write(name, "x");
        EXPECT_EQ(CleanPermanentLogFolder(folder.Path(), "HA_Log2026-12-06.haj"), c.Deleted);
        EXPECT_EQ(FilesIn(folder.Path()), c.Left);
    }
}

TEST(PermanentLogCleanupTest, FoldersLinksAndMissingFoldersAreNotTouched) {
    TTempFolder folder, outside;
    outside.Write("HA_Log2000-01-01.haj", "outside");
    fs::create_directories(folder.File("HA_Log2001-01-01.haj"));
    fs::create_symlink(outside.File("HA_Log2000-01-01.haj"), folder.File("HA_Log2000-01-01.haj"));
    EXPECT_EQ(CleanPermanentLogFolder(folder.Path(), "HA_Log2026-12-06.haj"), 0);
    EXPECT_TRUE(outside.Exists("HA_Log2000-01-01.haj"));
    EXPECT_TRUE(fs::is_directory(folder.File("HA_Log2001-01-01.haj")));
    EXPECT_EQ(CleanPermanentLogFolder(folder.File("missing/"), "HA_Log2026-12-06.haj"), 0);
}

// The daily permanent log and the debug log file are named after the time of the start.
TEST(LogFileNameTest, DateAndMinuteOfStart) {
    std::tm start{};
    std::tie(start.tm_year, start.tm_mon, start.tm_mday, start.tm_hour, start.tm_min) =
        std::tuple(126, 11, 5, 6, 37);
    EXPECT_EQ(PermanentLogName(start), "HA_Log2026-12-05.haj");
    EXPECT_EQ(DebugLogFileName(start), "ODS_LogFile_2026-12-05-06-37.ods");
}

TEST_F(StartupTest, DefaultsCreateBothFoldersAndCleanOldLogs) {
    folder_.Write("data/Tavro/Vantor/HA_Log2001-01-01.haj", "old");
    RunProgrammingLibraryStartup();
    EXPECT_EQ(std::pair(PerUserLogFolder(), PermanentLogFolder()),
              std::pair(folder_.Path() + "exe/LOG/" + GetLocalUserName() + "_" +
                            GetLocalComputerName() + "/",
                        folder_.Path() + "data/Tavro/Vantor/"));
    // Both folders made, the old log gone, nothing shown.
    EXPECT_EQ(std::tuple(
                  fs::is_directory(PerUserLogFolder()), fs::is_directory(PermanentLogFolder()),
                  folder_.Exists("data/Tavro/Vantor/HA_Log2001-01-01.haj"), messages_.shown.size()),
              std::tuple(true, true, false, 0u));
    FinishProgrammingLibrary();
}

TEST_F(StartupTest, LoggingOrNoPermanentLoggingSkipsThePermanentFolder) {
    for (const char* section : {"[HAP_IF]\nLogging=1\n", "[HAP_IF]\nPermanentLogging=0\n"}) {
        fs::remove_all(folder_.Path() + "data");
        folder_.Write("exe/QUOREN.INI", section);
        RunProgrammingLibraryStartup();
        EXPECT_TRUE(fs::is_directory(PerUserLogFolder())) << section;
        EXPECT_FALSE(folder_.Exists("data/Tavro")) << section;
    }
}

TEST_F(StartupTest, StartupLoadsTheDebugLogAndShowsTheFastProtocolMessage) {
    folder_.Write("exe/QUOREN.INI", "[OutputDebugString]\nShowAssociatedGroup=1\n");
    folder_.Write("etc/Zalto.ini", "[System]\nFastProtocol=1\n");
    RunProgrammingLibraryStartup();
    EXPECT_TRUE(DebugStringSettings().ShowAssociatedGroup);
    EXPECT_EQ(messages_.shown,
              (std::vector<std::string>{"FastProtocol setting in Zalto.ini ignored"}));
}
