// SPDX-License-Identifier: MIT
#include "TempFolder.h"
#include "base/DebugLog.h"
#include "base/StartupEffects.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

// The watchdog log lies in a folder every user may write to. Another user's link, pipe or file
// under its name, or a link under the name of a left-over temporary file, never makes the
// server read or overwrite anything but a plain log file of its own.
TEST(WatchdogLogTest, AnotherUsersNamesInTheSharedFolderAreNeverFollowed) {
    struct TCase {
        const char* Case;
        std::function<void(const TTempFolder& shared, const std::string& victim)> Plant;
        bool Refused; // a debug line, and the log's name left as it was
    };
    std::vector<TCase> cases = {
        {"log is a link",
         [](const TTempFolder& shared, const std::string& victim) {
             fs::create_symlink(victim, shared.File("zalto_wd.log"));
         },
         true},
        {"log is a pipe",
         [](const TTempFolder& shared, const std::string&) {
             ASSERT_EQ(::mkfifo(shared.File("zalto_wd.log").c_str(), 0600), 0);
         },
         true},
        {"temporary name is a link",
         [](const TTempFolder& shared, const std::string& victim) {
             shared.Write("zalto_wd.log", "ours\n");
             fs::create_symlink(victim, shared.File("zalto_wd.log.tmp"));
         },
         false},
        {"temporary name is taken",
         [](const TTempFolder& shared, const std::string&) {
             shared.Write("zalto_wd.log", "ours\n");
             shared.Write("zalto_wd.log.tmp", "left over\n");
         },
         false},
    };
    // Only root can give a file to another user.
    if (::geteuid() == 0) {
        cases.push_back({"log is another user's",
                         [](const TTempFolder& shared, const std::string&) {
                             shared.Write("zalto_wd.log", "planted\n");
                             ASSERT_EQ(::chown(shared.File("zalto_wd.log").c_str(), 65534, 65534),
                                       0);
                         },
                         true});
    }
    for (const auto& c : cases) {
        TTempFolder shared, etc, config, victims;
        TScopedEnv system("ZEMB_SYSTEM_DIR", etc.Path());
        TScopedEnv configured("ZEMB_CONFIG_DIR", config.Path());
        TScopedEnv data("XDG_DATA_HOME", config.Path() + "data");
        etc.Write("Zalto.ini", "[MessageProcessing]\nWriteToLog=1\n");
        victims.Write("victim", "victim\n");
        c.Plant(shared, victims.File("victim"));
        const auto before = fs::symlink_status(shared.File("zalto_wd.log")).type();
        const std::string plantedText =
            before == fs::file_type::regular ? shared.Read("zalto_wd.log") : "";

        std::vector<std::string> lines;
        auto previous = SetDebugOutputSink(
            [&](std::string_view line, std::string_view) { lines.emplace_back(line); });
        RunProgrammingLibraryStartup(shared.Path());
        FinishProgrammingLibrary();
        SetDebugOutputSink(std::move(previous));
        SetDebugStringSettings({});

        EXPECT_EQ(victims.Read("victim"), "victim\n") << c.Case;
        if (c.Refused) {
            EXPECT_EQ(fs::symlink_status(shared.File("zalto_wd.log")).type(), before) << c.Case;
            EXPECT_EQ(lines.size(), 2u) << c.Case << ": refused at the start and at the end";
            for (const std::string& line : lines) {
                EXPECT_NE(line.find(shared.File("zalto_wd.log")), std::string::npos) << line;
            }
            if (before == fs::file_type::regular) {
                struct stat status {};
                ASSERT_EQ(::stat(shared.File("zalto_wd.log").c_str(), &status), 0);
                EXPECT_EQ(status.st_uid, 65534u) << c.Case;
                EXPECT_EQ(shared.Read("zalto_wd.log"), plantedText) << c.Case;
            }
        } else {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(shared.File("zalto_wd.log"))));
            EXPECT_EQ(shared.Read("zalto_wd.log"), plantedText) << c.Case << ": read and kept";
            EXPECT_TRUE(fs::exists(fs::symlink_status(shared.File("zalto_wd.log.tmp"))))
                << c.Case << ": another's name is left alone";
            EXPECT_TRUE(lines.empty()) << c.Case;
        }
    }
}
