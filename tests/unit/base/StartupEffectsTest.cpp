// SPDX-License-Identifier: MIT
#include "base/StartupEffects.h"

#include "Captures.h"
#include "TempFolder.h"
#include "base/ExecutablePaths.h"
#include "base/VersionRecord.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The watchdog log lies in a folder every user may write to: the server's own plain file is
// written back at the end as it was at the start, or created empty. Another user's link, pipe
// or file under its name, or a link under the name of a left-over temporary file, never makes
// the server read or overwrite anything but a plain log file of its own.
TEST(WatchdogLogTest, WrittenBackAndAnotherUsersNamesInTheSharedFolderAreNeverFollowed) {
    EXPECT_EQ(WatchdogLogFileName(), "/var/tmp/zalto_wd.log");
    // What stands under the log's name: a 'L'ink to the victim, a 'P'ipe, 'O'ur log, another
    // 'U'ser's file, or '-'; under the temporary name: 'L'ink, 'T'aken by a left-over file, or
    // '-'. Refused: a debug line, and the log's name left as it was.
    // clang-format off
    const struct { const char* Case; char Log, Temporary; bool Refused; } cases[] = {
        {"log is a link", 'L', '-', true}, {"log is a pipe", 'P', '-', true},
        {"no log yet", '-', '-', false},
        {"temporary name is a link", 'O', 'L', false}, {"temporary name is taken", 'O', 'T', false},
        {"log is another user's", 'U', '-', true}};
    // clang-format on
    for (const auto& c : cases) {
        if (c.Log == 'U' && ::geteuid() != 0)
            continue; // only root can give a file to another user
        TTempFolder shared, etc, config, victims;
        TScopedEnv system("ZEMB_SYSTEM_DIR", etc.Path()),
            configured("ZEMB_CONFIG_DIR", config.Path()),
            data("XDG_DATA_HOME", config.Path() + "data");
        etc.Write("Zalto.ini", "[MessageProcessing]\nWriteToLog=1\n");
        victims.Write("victim", "victim\n");
        const std::string log = shared.File("zalto_wd.log"), temporary = log + ".tmp";
        if (c.Log == 'L')
            fs::create_symlink(victims.File("victim"), log);
        ASSERT_TRUE(c.Log != 'P' || ::mkfifo(log.c_str(), 0600) == 0);
        if (c.Log == 'O' || c.Log == 'U')
            shared.Write("zalto_wd.log", c.Log == 'O' ? "ours\n" : "planted\n");
        ASSERT_TRUE(c.Log != 'U' || ::chown(log.c_str(), 65534, 65534) == 0);
        if (c.Temporary == 'L')
            fs::create_symlink(victims.File("victim"), temporary);
        if (c.Temporary == 'T')
            shared.Write("zalto_wd.log.tmp", "left over\n");
        const auto before = fs::symlink_status(log).type();
        const std::string planted =
            before == fs::file_type::regular ? shared.Read("zalto_wd.log") : "";

        TCapturedLog debug;
        RunProgrammingLibraryStartup(shared.Path());
        FinishProgrammingLibrary();
        SetDebugStringSettings({});

        SCOPED_TRACE(c.Case);
        EXPECT_EQ(victims.Read("victim"), "victim\n");
        // A plain file read and kept (a pipe is never opened here).
        EXPECT_EQ(before == fs::file_type::regular ? shared.Read("zalto_wd.log") : "", planted);
        if (c.Refused) {
            EXPECT_EQ(fs::symlink_status(log).type(), before);
            EXPECT_EQ(debug.Lines.size(), 2u) << "refused at the start and at the end";
            for (const std::string& line : debug.Lines)
                EXPECT_NE(line.find(log), std::string::npos) << line;
            struct stat status {};
            EXPECT_TRUE(c.Log != 'U' ||
                        (::stat(log.c_str(), &status) == 0 && status.st_uid == 65534u));
        } else {
            EXPECT_EQ(std::pair(fs::is_regular_file(fs::symlink_status(log)), shared.Read(log)),
                      std::pair(true, planted));
            EXPECT_TRUE(c.Temporary == '-' || fs::exists(fs::symlink_status(temporary)))
                << "another's name is left alone";
            EXPECT_TRUE(debug.Lines.empty());
        }
    }
}

// A configuration folder the server cannot write to: the per-user log folder and the debug
// log file are each said to be missing, once, with the path and the system's reason; the
// lines meant for the file are still shown.
TEST(LogCreationFailureTest, EachLogThatCannotBeCreatedIsSaidOnce) {
    TTempFolder temp;
    // Root writes into a read-only folder all the same; nobody makes a folder below a file.
    std::string config = temp.File("config");
    std::string reason = std::strerror(EACCES);
    if (::geteuid() == 0) {
        temp.Write("file", "x");
        config = temp.File("file/sub");
        reason = std::strerror(ENOTDIR);
    } else {
        fs::create_directories(config);
        fs::permissions(config, fs::perms::owner_read | fs::perms::owner_exec);
    }
    TScopedEnv configured("ZEMB_CONFIG_DIR", config), system("ZEMB_SYSTEM_DIR", temp.File("etc")),
        data("XDG_DATA_HOME", temp.File("data"));

    TCapturedLog log;
    RunProgrammingLibraryStartup();
    RunProgrammingLibraryStartup();
    TDebugStringSettings settings = DebugStringSettings();
    settings.Enabled = settings.WriteToFile = true;
    SetDebugStringSettings(settings);
    ConfDebugString("one");
    ConfDebugString("two");
    SetDebugStringSettings({});
    std::error_code ignored; // the folder below a file is no folder to give back
    fs::permissions(config, fs::perms::owner_all, ignored);
    EXPECT_EQ(log.Lines,
              (std::vector<std::string>{
                  "Cannot create " + PerUserLogFolder() + ": " + reason, "one",
                  "Cannot create " + settings.LogDirectory + settings.LogFileName + ": " + reason,
                  "two"}));
}
