// SPDX-License-Identifier: MIT
#include "base/ProcessList.h"

#include <gtest/gtest.h>
#include <map>

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
