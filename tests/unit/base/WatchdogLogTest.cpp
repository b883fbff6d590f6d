// SPDX-License-Identifier: MIT
#include "Captures.h"
#include "TempFolder.h"
#include "base/StartupEffects.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

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
