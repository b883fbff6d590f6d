// SPDX-License-Identifier: MIT
// zemb-sim as a user runs it: a command on the devices of a file, the control socket and
// `zemb-sim ctl`, exit status, errors and clean-up.
#include "TempFolder.h"
#include "TestProcess.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
using namespace std::chrono_literals;
const std::string kSim = ZEMB_SIM_EXE;
const std::string kProbe = ZEMB_SIM_PROBE_EXE;
const std::string kData = ZEMB_SIM_DATA_DIR;

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0; // a socket or a dangling link counts
}

// Standard output and error apart: errors must go to standard error alone.
const TProcess::TOptions kApart{{}, nullptr, true};

class ZembSimToolTest : public ::testing::Test {
protected:
    TRunResult Ctl(std::vector<std::string> request) {
        std::vector<std::string> args{kSim, "ctl", "--control", socket_};
        args.insert(args.end(), request.begin(), request.end());
        return RunProgram(args, kApart);
    }
    TTempFolder temp_;
    const std::string dir_ = temp_.Dir(), socket_ = temp_.File("control.sock");
};

// The command gets the testbed, its exit status is kept, and the testbed reaches every process
// it starts: the probe says the same in each. What discovery and identification make of each
// kind of device: DeviceLayerTest.
TEST_F(ZembSimToolTest, ProbeListsTheDemoDevicesInEveryProcessAndTheStatusIsKept) {
    const TRunResult r = RunProgram(
        {kSim, "--devices", kData + "/demo.ini", "--control", socket_, "--", "/bin/sh", "-c",
         "echo \"$UMOCKDEV_DIR\"; echo \"$LD_PRELOAD\"; echo \"$ZEMB_SIM_CONTROL\"; "
         "test -S \"$ZEMB_SIM_CONTROL\" || exit 9; p=$(\"$0\") || exit 1; for i in $(seq 24); "
         "do test \"$(\"$0\")\" = \"$p\" || exit 1; done; echo \"$p\"; exit 3",
         kProbe},
        kApart);
    ASSERT_EQ(r.Status, 3) << r.Errors;
    const std::string testbed = r.Output.substr(0, r.Output.find('\n'));
    EXPECT_FALSE(testbed.empty());
    for (const std::string& says :
         {std::string("libumockdev-preload.so"), socket_,
          std::string("dtFenwy ddWinUSB_ST usb#vid_0483&pid_a7f1#FWY000042007#"
                      "{0CEAFF08-B1FD-4D12-B748-353077277F7E} \"Fenwy Link (simulated)\" "
                      "serial=20401234 firmware=02.04 buffer=2048 hw=3 fpga=258\n"),
          // Identified over the pipe files: the device answered every command.
          std::string("\"Unrecognised box (simulated)\" serial=7 firmware=02.04 buffer=256"),
          std::string("\n4 devices\n")})
        EXPECT_NE(r.Output.find(says), std::string::npos) << says << "\n" << r.Output;
    // Nothing is left behind.
    EXPECT_FALSE(Exists(testbed) || Exists(socket_));
}

// Requests are checked and listed; plug and unplug reach a udev monitor in the child; a signal
// is passed on to the command, and the testbed and the socket go with it.
TEST_F(ZembSimToolTest, ControlRequestsReachTheChildAndASignalCleansUp) {
    TProcess sim;
    ASSERT_TRUE(sim.Start(
        {kSim, "--devices", kData + "/test-grid.ini", "--control", socket_, "--", "/bin/sh", "-c",
         "echo \"$UMOCKDEV_DIR\"; exec \"$0\" --monitor 4 --timeout 60000", kProbe},
        kApart));
    const auto testbed = sim.ReadLine(20s);
    ASSERT_TRUE(testbed && Exists(*testbed)) << sim.Errors();
    ASSERT_EQ(sim.ReadLine(20s), "ready") << sim.Errors();

    // clang-format off
    const struct { std::vector<std::string> request; int status; const char* message; }
        refused[] = {
        {{"unplug", "nosuch"}, 1, "no device named 'nosuch'"},
        {{"plug", "fenwy-st"}, 1, "fenwy-st is plugged already"},
        {{"fault", "fenwy-st", "sideways"}, 2, "unknown fault 'sideways'"},
    };
    // clang-format on
    for (const auto& c : refused) {
        const TRunResult r = Ctl(c.request);
        EXPECT_EQ(r.Status, c.status) << c.message;
        EXPECT_NE(r.Errors.find(c.message), std::string::npos) << r.Errors;
    }
    EXPECT_EQ(Ctl({"fault", "FENWY-ST", "slow", "250", "3"}).Status, 0);
    EXPECT_EQ(Ctl({"fault", "mirel-pipe", "short"}).Status, 0);
    TRunResult r = Ctl({"list"});
    for (const char* says : {"later winusb_st unplugged ",
                             "fenwy-st winusb_st plugged usb#vid_0483&pid_a7f1#FWY000042007#"
                             "{0CEAFF08-B1FD-4D12-B748-353077277F7E} fault=slow ms=250 count=3\n",
                             "fault=short count=until-cleared\n"})
        EXPECT_NE(r.Output.find(says), std::string::npos) << says << "\n" << r.Output;
    EXPECT_EQ(Ctl({"clear", "mirel-pipe"}).Status, 0);
    r = Ctl({"list"});
    EXPECT_EQ(r.Output.find("fault=short"), std::string::npos) << r.Output;

    for (const auto& [verb, name] :
         {std::pair{"unplug", "fenwy-st"}, {"plug", "later"}, {"unplug", "mirel-pipe"}})
        EXPECT_EQ(Ctl({verb, name}).Status, 0) << name;
    EXPECT_EQ(sim.ReadLine(10s),
              "remove usb#vid_0483&pid_a7f1#FWY000042007#{0CEAFF08-B1FD-4D12-B748-353077277F7E}");
    EXPECT_EQ(sim.ReadLine(10s),
              "add usb#vid_0483&pid_a7f1#LATER0000007#{0CEAFF08-B1FD-4D12-B748-353077277F7E}");
    const auto pipe = sim.ReadLine(10s);
    ASSERT_TRUE(pipe);
    EXPECT_TRUE(pipe->starts_with("remove /") &&
                pipe->ends_with("/usb#vid_10c4&pid_8a5e#ABCDEFGHI008xyz#"
                                "{CE2511FC-12E2-4916-A004-0C43A172D7D6}"))
        << *pipe;

    ::kill(sim.Pid(), SIGTERM);
    EXPECT_EQ(sim.WaitForExit(20s), 128 + SIGTERM);
    EXPECT_FALSE(Exists(*testbed) || Exists(socket_));
}

TEST_F(ZembSimToolTest, ErrorsSayWhatIsWrongAndLeaveNothingBehind) {
    const std::string demo = kData + "/demo.ini";
    // clang-format off
    const auto on = [&](const std::string& file) { // zemb-sim on a device file, running /bin/true
        return std::vector<std::string>{kSim, "--devices", file, "--control", socket_, "--",
                                        "/bin/true"}; };
    const struct { std::vector<std::string> args; int status; std::string message; } cases[] = {
        // The messages of every fault in a device file: SimDeviceFileTest.
        {on(kData + "/bad/bad-product.ini"), 2,
         "device [one], key ProductId: 'zz12' is not four hexadecimal digits"},
        {on(dir_ + "/missing.ini"), 2, "missing.ini: cannot be read"},
        {{kSim, "--devices", demo, "--control", socket_, "/bin/true"}, 2,
         "the command follows '--'"},
        {{kSim, "--devices", demo, "--control", socket_}, 2, "missing '--'"},
        {{kSim, "--control", socket_, "--", "/bin/true"}, 2, "--devices FILE is required"},
        {{kSim, "--devices", demo, "--control", socket_, "--", dir_ + "/nothing"}, 127,
         "command not found"},
        {{kSim, "ctl", "--control", socket_, "list"}, 2, "cannot reach zemb-sim"},
    };
    // clang-format on
    for (const auto& c : cases) {
        const TRunResult r = RunProgram(c.args, kApart);
        // Errors on standard error alone, and no socket left.
        EXPECT_EQ(std::tuple(r.Status, r.Errors.find(c.message) != std::string::npos, r.Output,
                             Exists(socket_)),
                  std::tuple(c.status, true, "", false))
            << c.message << "\n"
            << r.Errors;
    }
    // Help is no error: standard output, status 0.
    const TRunResult help = RunProgram({kSim, "--help"}, kApart);
    EXPECT_EQ(
        std::pair(help.Status, help.Output.find("fault NAME KIND [COUNT]") != std::string::npos),
        std::pair(0, true));
}

} // namespace
