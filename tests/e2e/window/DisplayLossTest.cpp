// SPDX-License-Identifier: MIT
// zemb-server with its window when the X server goes away: Qt ends the process from inside its
// loop (exit(1)), and the box driver's watchdog log is written all the same.
#include "PrivateBus.h"
#include "TempFolder.h"
#include "TestProcess.h"
#include "XDisplay.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {
ino_t Inode(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}
} // namespace

TEST(DisplayLossTest, TheWatchdogLogIsWrittenWhenTheXServerEnds) {
    const auto programs = FindPrograms({"Xvfb", "unshare"});
    if (!programs)
        GTEST_SKIP() << "Xvfb or unshare is not installed";
    const std::string &xvfb = (*programs)[0], &unshare = (*programs)[1];
    // The watchdog log's place is fixed (/var/tmp): the server gets a folder of the test's in
    // its place, in a mount namespace of its own, as the same user.
    if (RunProgram({unshare, "--map-root-user", "--mount", "/bin/true"}).Status != 0)
        GTEST_SKIP() << "no user and mount namespaces here";
    TTempFolder temp;
    temp.Write("etc/Zalto.ini", "[MessageProcessing]\nWriteToLog=1\n");
    temp.Write("var/zalto_wd.log", "first line\nsecond line\n");
    const ino_t before = Inode(temp.File("var/zalto_wd.log"));
    std::filesystem::create_directories(temp.File("config"));
    std::filesystem::create_directories(temp.File("data/dbus-1/services"));

    TProcess server;
    ASSERT_TRUE(server.Start({xvfb, "-displayfd", "1", "-nolisten", "tcp"}, {{}, nullptr, true}));
    const auto number = server.ReadLine(StartBound);
    ASSERT_TRUE(number) << server.Errors();
    // clang-format off
    std::map<std::string, std::string> env = {{"XDG_DATA_HOME", temp.File("data")},
        {"ZEMB_CONFIG_DIR", temp.File("config/")}, {"ZEMB_SYSTEM_DIR", temp.File("etc/")},
        {"XDG_RUNTIME_DIR", temp.Path()}, {"HOME", temp.Path()}, {"DISPLAY", ":" + *number},
        {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", "xcb"}, {"DBUS_SESSION_BUS_ADDRESS", ""}};
    // clang-format on
    TPrivateBus bus(temp.File("data/dbus-1/services"), temp.File("bus.conf"), env);
    ASSERT_TRUE(bus.Started());
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.Address();

    // Each step execs the next in the same process, so the pid is the server's.
    std::ostringstream script;
    script << "mount --bind '" << temp.File("var")
           << "' /var/tmp && exec unshare --map-user=" << ::geteuid()
           << " --map-group=" << ::getegid() << " '" << ZEMB_SERVER << "'";
    TProcess zemb;
    ASSERT_TRUE(
        zemb.Start({unshare, "--map-root-user", "--mount", "/bin/sh", "-c", script.str()}, env));
    ASSERT_TRUE(WaitUntil([&] { return bus.OwnerPid("org.zemb.ZEMB") == zemb.Pid(); }, StartBound))
        << zemb.Output();

    server.Signal(SIGTERM);
    ASSERT_EQ(server.WaitForExit(EndBound), 0);
    // Qt's own way out when its display breaks.
    EXPECT_EQ(zemb.WaitForExit(EndBound), 1) << zemb.Output();
    // Written again: a new file in the old one's place, with the lines read at start-up.
    EXPECT_NE(Inode(temp.File("var/zalto_wd.log")), before);
    EXPECT_EQ(temp.Read("var/zalto_wd.log"), "first line\nsecond line\n");
}
