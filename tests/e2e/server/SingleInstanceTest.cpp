// SPDX-License-Identifier: MIT
// One server per session bus: a copy serving a private bus (a test, the simulator's session)
// neither ends nor is ended by the copy on another bus.
#include "PrivateBus.h"
#include "TempFolder.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

TEST(SingleInstanceTest, CopiesOnOtherBusesDoNotCountButOneOnTheSameBusDoes) {
    namespace fs = std::filesystem;
    TTempFolder temp;
    // A name of the test's own, so that copies started by other test runs stay apart.
    const std::string server = temp.File("zemb-server-single-" + std::to_string(::getpid()));
    fs::copy_file(ZEMB_SERVER, server);
    fs::permissions(server, fs::perms::owner_all);
    std::map<std::string, std::string> env = {
        {"XDG_DATA_HOME", temp.File("data")},
        {"ZEMB_CONFIG_DIR", temp.Path()},
        {"ZEMB_SYSTEM_DIR", temp.Path()},
        {"XDG_RUNTIME_DIR", temp.Path()},
        {"HOME", temp.Path()},
        {"DISPLAY", ""},
        {"WAYLAND_DISPLAY", ""},
    };
    fs::create_directories(temp.File("services"));
    // Debug output on, for what the copies say to each other.
    std::ofstream(temp.File("QUOREN.INI")) << "[OutputDebugString]\r\nDisableShow=0\r\n";
    TPrivateBus busA(temp.File("services"), temp.File("a.conf"), env);
    TPrivateBus busB(temp.File("services"), temp.File("b.conf"), env);
    ASSERT_TRUE(busA.Started() && busB.Started());

    auto onBus = [&](const TPrivateBus& bus) {
        auto busEnv = env;
        busEnv["DBUS_SESSION_BUS_ADDRESS"] = bus.Address();
        return busEnv;
    };
    TProcess first, second;
    ASSERT_TRUE(first.Start({server, "--no-window"}, onBus(busA)));
    ASSERT_TRUE(
        WaitUntil([&] { return busA.OwnerPid("org.zemb.ZEMB") == first.Pid(); }, StartBound))
        << first.Output();
    ASSERT_TRUE(second.Start({server, "--no-window"}, onBus(busB)));
    ASSERT_TRUE(
        WaitUntil([&] { return busB.OwnerPid("org.zemb.ZEMB") == second.Pid(); }, StartBound))
        << second.Output();
    EXPECT_TRUE(first.Running()) << first.Output();
    EXPECT_EQ(first.Output().find("already started"), std::string::npos) << first.Output();
    EXPECT_EQ(second.Output().find("already started"), std::string::npos) << second.Output();

    // The copy on bus B is not counted against bus A.
    TRunResult third = RunProgram({server, "--no-window"}, onBus(busA));
    EXPECT_NE(third.Status, 0);
    EXPECT_NE(third.Output.find("ZEMB already started2\n"), std::string::npos) << third.Output;
    EXPECT_EQ(busA.OwnerPid("org.zemb.ZEMB"), first.Pid());
    // Finding no window of the first copy, the third asked it through the operator interface
    // to show its own; headless, it has none and says so, in its reply and its debug output.
    EXPECT_NE(third.Output.find("the running copy has no window to show"), std::string::npos)
        << third.Output;
    EXPECT_TRUE(first.WaitForText("ShowWindow: no window to show", StartBound)) << first.Output();

    for (TProcess* copy : {&first, &second}) {
        copy->Signal(SIGTERM);
        EXPECT_EQ(copy->WaitForExit(EndBound), 0) << copy->Output();
    }
}
