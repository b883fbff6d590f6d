// SPDX-License-Identifier: MIT
// The host in a process of its own under zemb-sim, devices plugged and pulled through the
// simulator's control socket (zemb-sim ctl).
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr const char* DeviceFile = R"([fenwy]
Driver=winusb_st
VendorId=0483
ProductId=a7f1
Instance=FWY000042007
FriendlyName=Fenwy
Firmware=2.04
SerialNumber=20401234

[mirel]
Driver=winusb_silabs
VendorId=10c4
ProductId=8a5e
Instance=MRL015001008
Firmware=2.01

[fenwy-update]
Driver=winusb_st
VendorId=0483
ProductId=a7f1
Instance=FWY000042007
FriendlyName=Fenwy
Firmware=2.05
SerialNumber=20401234
Plugged=0
)";

// Waits for a child by its pid, at most `bound`; true when it ended.
bool WaitFor(pid_t pid, std::chrono::milliseconds bound, int& status) {
    const auto deadline = TClock::now() + bound;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return true;
        if (done < 0 || TClock::now() > deadline)
            return false;
        // Bounded wait on the child's end, polled; nothing else to wait on here.
        poll(nullptr, 0, 10);
    }
}

pid_t Spawn(const std::vector<std::string>& args, int stdinFd = -1, int stdoutFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

class HostUnderSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zemb-host-sim-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        socket_ = folder_ + "/control.sock";
        std::ofstream(folder_ + "/devices.ini") << DeviceFile;

        int toProbe[2], fromProbe[2];
        ASSERT_EQ(pipe2(toProbe, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(fromProbe, O_CLOEXEC), 0);
        pid_ = Spawn({ZEMB_SIM, "--devices", folder_ + "/devices.ini", "--control", socket_, "--",
                      ZEMB_HOST_PROBE},
                     toProbe[0], fromProbe[1]);
        close(toProbe[0]);
        close(fromProbe[1]);
        input_ = toProbe[1];
        output_ = fromProbe[0];
        ASSERT_GT(pid_, 0);
        ASSERT_TRUE(ReadUntil("ready")) << ::testing::PrintToString(Lines);
    }
    void TearDown() override {
        if (input_ >= 0)
            close(input_); // the probe ends at the end of its input
        int status = 0;
        if (pid_ > 0 && !WaitFor(pid_, 5000ms, status)) {
            kill(pid_, SIGTERM);
            if (!WaitFor(pid_, 5000ms, status)) {
                kill(pid_, SIGKILL);
                WaitFor(pid_, 5000ms, status);
            }
        }
        if (output_ >= 0)
            close(output_);
        std::remove((folder_ + "/devices.ini").c_str());
        rmdir(folder_.c_str());
    }

    // Reads the probe's lines until one equals `line`; false when it does not come in time.
    bool ReadUntil(const std::string& line) {
        return ReadUntilMatch([&](const std::string& read) { return read == line; });
    }
    template <typename Match> bool ReadUntilMatch(Match&& match) {
        const auto deadline = TClock::now() + 20s;
        for (;;) {
            for (std::size_t end = buffer_.find('\n'); end != std::string::npos;
                 end = buffer_.find('\n')) {
                Lines.push_back(buffer_.substr(0, end));
                buffer_.erase(0, end + 1);
                if (match(Lines.back()))
                    return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
            if (left.count() <= 0)
                return false;
            pollfd fd{output_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char chunk[512];
            const ssize_t got = read(output_, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    // The lines read since the mark, without the debug lines.
    std::vector<std::string> EventsSince(std::size_t mark) const {
        std::vector<std::string> events;
        for (std::size_t i = mark; i < Lines.size(); ++i)
            if (Lines[i].rfind("log ", 0) != 0)
                events.push_back(Lines[i]);
        return events;
    }
    bool Control(const std::string& verb, const std::string& name) {
        const pid_t pid = Spawn({ZEMB_SIM, "ctl", "--control", socket_, verb, name});
        int status = 0;
        return pid > 0 && WaitFor(pid, 10000ms, status) && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }
    void Send(const std::string& request) {
        const std::string line = request + "\n";
        ASSERT_EQ(write(input_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    std::string DevIDOf(const std::string& linkNamePart) const {
        for (const std::string& line : Lines)
            if (line.rfind("device ", 0) == 0 && line.find(linkNamePart) != std::string::npos)
                return line.substr(7, line.find(' ', 7) - 7);
        return "?";
    }
    std::string ConnectIDOf(const std::string& devID) const {
        for (const std::string& line : Lines)
            if (line.rfind("connect ", 0) == 0 && line.substr(line.rfind(' ') + 1) == devID)
                return line.substr(8, line.find(' ', 8) - 8);
        return "?";
    }

    std::vector<std::string> Lines;

private:
    std::string folder_, socket_, buffer_;
    pid_t pid_ = -1;
    int input_ = -1, output_ = -1;
};

TEST_F(HostUnderSimTest, FirstScanThenUnplugAndReplugThroughTheControlSocket) {
    // The first scan: one "Inserted" line per device, in cell order, no client called.
    EXPECT_EQ(Lines[0], "log TUSB_ConnectedDevices: Device (DevID: 0) Inserted");
    EXPECT_EQ(Lines[1], "log TUSB_ConnectedDevices: Device (DevID: 1) Inserted");
    EXPECT_EQ(DevIDOf("pid_8a5e"), "0"); // the ddWinUSB_Silabs column before ddWinUSB_ST
    EXPECT_EQ(DevIDOf("pid_a7f1"), "1");
    const std::string fenwy = DevIDOf("pid_a7f1");
    const std::string connection = ConnectIDOf(fenwy);

    std::size_t mark = Lines.size();
    ASSERT_TRUE(Control("unplug", "fenwy"));
    ASSERT_TRUE(ReadUntil("Disconnected " + connection)) << ::testing::PrintToString(Lines);
    EXPECT_EQ(EventsSince(mark), (std::vector<std::string>{"DeviceRemoved " + fenwy + " @A",
                                                           "DeviceRemoved " + fenwy + " @B",
                                                           "Disconnected " + connection}));

    mark = Lines.size();
    ASSERT_TRUE(Control("plug", "fenwy"));
    ASSERT_TRUE(ReadUntil("DeviceAdded " + fenwy + " @B")) << ::testing::PrintToString(Lines);
    EXPECT_EQ(EventsSince(mark),
              (std::vector<std::string>{"Reconnected " + connection, "DeviceAdded " + fenwy + " @A",
                                        "DeviceAdded " + fenwy + " @B"}));
    EXPECT_NE(std::find(Lines.begin() + static_cast<long>(mark), Lines.end(),
                        "log TUSB_ConnectedDevices: Device (DevID: " + fenwy + ") re-inserted"),
              Lines.end());
}

TEST_F(HostUnderSimTest, TheSameBoxWithNewFirmwareIsANewDevice) {
    const std::string fenwy = DevIDOf("pid_a7f1");
    ASSERT_TRUE(Control("unplug", "fenwy"));
    ASSERT_TRUE(ReadUntil("Disconnected " + ConnectIDOf(fenwy)));
    const std::size_t mark = Lines.size();
    ASSERT_TRUE(Control("plug", "fenwy-update"));
    ASSERT_TRUE(ReadUntil("DeviceAdded 2 @B")) << ::testing::PrintToString(Lines);
    // No Reconnected: the connection stays with the old record of the box.
    EXPECT_EQ(EventsSince(mark),
              (std::vector<std::string>{"DeviceAdded 2 @A", "DeviceAdded 2 @B"}));
}

TEST_F(HostUnderSimTest, ChangeDuringASessionWaitsForEndSession) {
    const std::string mirel = DevIDOf("pid_8a5e");
    const std::string fenwy = DevIDOf("pid_a7f1");
    const std::string session = ConnectIDOf(mirel);
    Send("start " + session);
    ASSERT_TRUE(ReadUntil("session start " + session + " ok"));
    const std::size_t mark = Lines.size();
    ASSERT_TRUE(Control("unplug", "fenwy"));
    // Bounded: ask until the change has arrived and is held back.
    const auto deadline = TClock::now() + 20s;
    bool held = false;
    while (!held && TClock::now() < deadline) {
        Send("pending");
        ASSERT_TRUE(
            ReadUntilMatch([](const std::string& line) { return line.starts_with("pending "); }));
        held = Lines.back() == "pending 1";
    }
    ASSERT_TRUE(held) << ::testing::PrintToString(Lines);
    Send("end " + session);
    ASSERT_TRUE(ReadUntil("session end " + session + " ok"));
    std::vector<std::string> events;
    for (const std::string& line : EventsSince(mark))
        if (line.rfind("pending", 0) != 0)
            events.push_back(line);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "DeviceRemoved " + fenwy + " @A", "DeviceRemoved " + fenwy + " @B",
                          "Disconnected " + ConnectIDOf(fenwy), "session end " + session + " ok"}));
}

} // namespace
