// SPDX-License-Identifier: MIT
#include "base/ProcessList.h"

#include "TempFolder.h"
#include "TestProcess.h"
#include "base/ExecutablePaths.h"

#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

TEST(ProcessListTest, SnapshotHoldsThisProcessFoundByAnEmptyName) {
    TProcessList list;
    const TProcessItem* self = list.FindProcessID(static_cast<std::uint32_t>(::getpid()));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(std::pair(self->FullPath, self->ExeName),
              std::pair(ExecutablePath(), ExtractFileName(ExecutablePath())));
    EXPECT_FALSE(list.HasProcessID(0));
    // An empty name stands for this program's own file.
    EXPECT_GE(list.FilterByExe("", true), 1u);
    EXPECT_TRUE(list.HasProcessID(static_cast<std::uint32_t>(::getpid())));
}

namespace {
// A running copy of /bin/sleep under a name of our own, ended with the object.
struct TSleeper : TProcess {
    explicit TSleeper(const std::string& path) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::copy_file("/bin/sleep", path);
        Start({path, "30"});
    }
};
} // namespace

// Case and the folder of a file name: over made-up lists in WindowListTest (by file name) and
// ClientRegistryTest (by full path).
TEST(ProcessListTest, CopiesCountedByFileNameAndFoundByFullPath) {
    TTempFolder folder;
    const std::string name = "zemb-copy-" + std::to_string(::getpid());
    TSleeper first(folder.File("a/" + name)), second(folder.File("b/" + name));
    EXPECT_TRUE(WaitUntil([&] { return CountProcessInstances(name) == 2; }, 5s));
    TProcessList list;
    EXPECT_EQ(list.FilterByExe(folder.File("b/" + name), true), 1u);
    EXPECT_TRUE(list.HasProcessID(second.Pid()) && !list.HasProcessID(first.Pid()));
}

// Only the copies on this process's session bus count; a copy whose environment cannot be
// read counts only when another server already holds the name on this bus.
TEST(SessionInstancesTest, OnlyCopiesOnTheSameSessionBusCount) {
    const std::string ours = "unix:path=/run/user/1000/bus";
    const std::string priv = "unix:path=/tmp/dbus-a";
    const auto none = std::nullopt; // an environment that cannot be read
    // The copies' environments; whether another server holds the name; count; bus asked.
    const std::tuple<std::map<std::uint32_t, std::optional<std::string>>, bool, std::uint16_t, int>
        cases[] = {{{{10, ours}}, false, 1, 0},                        // alone
                   {{{10, ours}, {11, ours}}, false, 2, 0},            // a second copy on our bus
                   {{{10, ours}, {11, priv}, {12, ""}}, true, 1, 0},   // copies on private buses
                   {{{10, ours}, {11, none}, {12, none}}, true, 3, 1}, // unreadable, bus served
                   {{{10, ours}, {11, none}}, false, 1, 1}};           // unreadable, bus not served
    for (const auto& [environments, busHasServer, expected, timesAsked] : cases) {
        std::vector<TProcessItem> items;
        for (const auto& [pid, environment] : environments)
            items.push_back({"zemb-server", "/usr/bin/zemb-server", pid});
        int asked = 0;
        const std::uint16_t count = CountSameBusInstances(
            TProcessList(items), ours,
            [&](std::uint32_t pid, const std::string& name) {
                EXPECT_EQ(name, "DBUS_SESSION_BUS_ADDRESS");
                return environments.at(pid);
            },
            [&] {
                ++asked;
                return busHasServer;
            });
        EXPECT_EQ(std::pair(count, asked), std::pair(expected, timesAsked)) << environments.size();
    }
}
