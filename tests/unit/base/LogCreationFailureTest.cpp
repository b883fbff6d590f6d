// SPDX-License-Identifier: MIT
#include "Captures.h"
#include "TempFolder.h"
#include "base/ExecutablePaths.h"
#include "base/StartupEffects.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

// A configuration folder the server cannot write to: the per-user log folder and the debug
// log file are each said to be missing, once, with the path and the system's reason; the
// lines meant for the file are still shown.
TEST(LogCreationFailureTest, EachLogThatCannotBeCreatedIsSaidOnce) {
    namespace fs = std::filesystem;
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
    // The lines meant for the file are still shown.
    EXPECT_EQ(log.Lines,
              (std::vector<std::string>{
                  "Cannot create " + PerUserLogFolder() + ": " + reason, "one",
                  "Cannot create " + settings.LogDirectory + settings.LogFileName + ": " + reason,
                  "two"}));
}
