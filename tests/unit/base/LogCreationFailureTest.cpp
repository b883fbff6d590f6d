// SPDX-License-Identifier: MIT
#include "TempFolder.h"
#include "base/DebugLog.h"
#include "base/ExecutablePaths.h"
#include "base/StartupEffects.h"

#include <algorithm>
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
    TScopedEnv configured("ZEMB_CONFIG_DIR", config);
    TScopedEnv system("ZEMB_SYSTEM_DIR", temp.File("etc"));
    TScopedEnv data("XDG_DATA_HOME", temp.File("data"));

    std::vector<std::string> lines;
    auto previous = SetDebugOutputSink(
        [&](std::string_view line, std::string_view) { lines.emplace_back(line); });
    RunProgrammingLibraryStartup();
    RunProgrammingLibraryStartup();
    TDebugStringSettings settings = DebugStringSettings();
    settings.Enabled = true;
    settings.WriteToFile = true;
    SetDebugStringSettings(settings);
    ConfDebugString("one");
    ConfDebugString("two");
    SetDebugOutputSink(std::move(previous));
    SetDebugStringSettings({});
    std::error_code ignored; // the folder below a file is no folder to give back
    fs::permissions(config, fs::perms::owner_all, ignored);

    for (const std::string& path :
         {PerUserLogFolder(), settings.LogDirectory + settings.LogFileName}) {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Cannot create " + path + ": " + reason),
                  1)
            << path;
    }
    // The lines themselves are still shown.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "one"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "two"), 1);
    EXPECT_EQ(lines.size(), 4u);
}
