// SPDX-License-Identifier: MIT
#include "base/ProcessList.h"

#include <gtest/gtest.h>
#include <map>

// Only the copies on this process's session bus count; a copy whose environment cannot be
// read counts only when another server already holds the name on this bus.
TEST(SessionInstancesTest, OnlyCopiesOnTheSameSessionBusCount) {
    const std::string ours = "unix:path=/run/user/1000/bus";
    const struct {
        const char* Case;
        std::map<std::uint32_t, std::optional<std::string>> Environments; // nothing: unreadable
        bool BusHasServer;
        std::uint16_t Expected;
        int Asked; // how often the bus was asked
    } cases[] = {
        {"alone", {{10, ours}}, false, 1, 0},
        {"second copy on our bus", {{10, ours}, {11, ours}}, false, 2, 0},
        {"copies on private buses",
         {{10, ours}, {11, "unix:path=/tmp/dbus-a"}, {12, ""}},
         true,
         1,
         0},
        {"unreadable copy, bus served by another",
         {{10, ours}, {11, std::nullopt}, {12, std::nullopt}},
         true,
         3,
         1},
        {"unreadable copy, bus not served by another",
         {{10, ours}, {11, std::nullopt}},
         false,
         1,
         1},
    };
    for (const auto& c : cases) {
        std::vector<TProcessItem> items;
        for (const auto& [pid, environment] : c.Environments) {
            items.push_back({"zemb-server", "/usr/bin/zemb-server", pid});
        }
        int asked = 0;
        const std::uint16_t count = CountSameBusInstances(
            TProcessList(items), ours,
            [&](std::uint32_t pid, const std::string& name) {
                EXPECT_EQ(name, "DBUS_SESSION_BUS_ADDRESS");
                return c.Environments.at(pid);
            },
            [&] {
                ++asked;
                return c.BusHasServer;
            });
        EXPECT_EQ(count, c.Expected) << c.Case;
        EXPECT_EQ(asked, c.Asked) << c.Case;
    }
}
