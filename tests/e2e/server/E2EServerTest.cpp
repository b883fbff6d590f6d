// SPDX-License-Identifier: MIT
// zemb-server as a user starts it, as the bus activates it and as zemb-cli drives it, each test
// on a session bus of its own; servers on other buses (other tests, the user's own) do not count
// as copies of it.
#include "PrivateBus.h"
#include "SimServer.h"
#include "TempFolder.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

namespace {

using ::testing::AllOf, ::testing::HasSubstr, ::testing::Not;

const std::string BusName = "org.zemb.ZEMB", Server = ZEMB_SERVER;

// The number after "Key: " in a command's output; -1 when absent.
int NumberAfter(const std::string& output, const std::string& key) {
    std::smatch match;
    return std::regex_search(output, match, std::regex("(^|\n)" + key + ": (-?[0-9]+)"))
               ? std::stoi(match[2])
               : -1;
}

class ServerE2E : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* folder : {"config", "etc", "data/dbus-1/services"})
            std::filesystem::create_directories(Temp.File(folder));
        // Headless whatever the machine running the tests has.
        // clang-format off
        Env = {{"XDG_DATA_HOME", Temp.File("data")}, {"ZEMB_CONFIG_DIR", Temp.File("config") + "/"},
               {"ZEMB_SYSTEM_DIR", Temp.File("etc") + "/"}, {"XDG_RUNTIME_DIR", Temp.Path()},
               {"HOME", Temp.Path()}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""},
               {"DBUS_SESSION_BUS_ADDRESS", ""}};
        // clang-format on
        Bus = std::make_unique<TPrivateBus>(Temp.File("data/dbus-1/services"),
                                            Temp.File("bus.conf"), Env);
        ASSERT_TRUE(Bus->Started());
        Env["DBUS_SESSION_BUS_ADDRESS"] = Bus->Address();
    }

    // Starts a copy without a window (in automation mode: -Embedding) and waits until it owns
    // its name on `bus` (the test's own bus when none is given).
    void StartServer(TProcess& process, bool automation = false, TPrivateBus* bus = nullptr) {
        bus = bus ? bus : Bus.get();
        auto env = Env;
        env["DBUS_SESSION_BUS_ADDRESS"] = bus->Address();
        std::vector<std::string> argv{Server, "--no-window"};
        if (automation)
            argv.insert(argv.begin() + 1, "-Embedding");
        ASSERT_TRUE(process.Start(argv, env));
        ASSERT_TRUE(WaitUntil([&] { return bus->OwnerPid(BusName) == process.Pid(); }, StartBound))
            << process.Output();
    }

    // The server on the simulated devices of the demo device file.
    void StartServerOnSim() {
        std::string why;
        ASSERT_TRUE(
            StartSimulatedServer(Sim, {ZEMB_DEMO_DEVICES, Control(), {Server, "--no-window"}, Env},
                                 Bus->Connection(), why))
            << why;
    }

    std::string Control() const { return Temp.File("sim.sock"); }

    TRunResult Cli(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), ZEMB_CLI);
        return RunProgram(args, Env, input);
    }
    // Runs zemb-cli, which must succeed, and gives the number after `key` in what it says.
    int CliNumber(const std::vector<std::string>& args, const std::string& key) {
        const TRunResult run = Cli(args);
        EXPECT_EQ(run.Status, 0) << run.Output;
        return NumberAfter(run.Output, key);
    }
    int SimCtl(const std::string& verb, const std::string& name) {
        return RunProgram({ZEMB_SIM, "ctl", "--control", Control(), verb, name}, Env).Status;
    }

    TTempFolder Temp;
    std::map<std::string, std::string> Env;
    std::unique_ptr<TPrivateBus> Bus;
    TProcess Sim; // zemb-sim with the server, ended before the bus
};

const auto Clean = AllOf(Not(HasSubstr("AddressSanitizer")), Not(HasSubstr("LeakSanitizer")),
                         Not(HasSubstr("runtime error")));

// Every spelling of the switches: tests/unit/tlb; the files' text: ZEMBRegistrationTest there,
// and that the bus starts the server from them: the activation test below.
TEST_F(ServerE2E, RegisterSwitchesWriteAndRemoveTheFilesAndEndWithoutServing) {
    // Help and version neither register nor serve.
    // clang-format off
    const std::tuple<const char*, const char*, bool> runs[] = { // switch, says, registered
        {"/regserver", "^", true}, {"-UnregServer", "^", false},
        {"--help", "--no-window", false}, {"--version", "^zemb-server ", false}};
    // clang-format on
    for (const auto& [arg, says, registered] : runs) {
        const TRunResult run = RunProgram({Server, arg}, Env);
        EXPECT_EQ(run.Status, 0) << arg;
        EXPECT_THAT(run.Output,
                    AllOf(::testing::ContainsRegex(says), Not(HasSubstr("already started"))));
        // The service file and the interface file that registration writes.
        EXPECT_EQ(std::pair(Temp.Exists("data/dbus-1/services/org.zemb.ZEMB.service"),
                            Temp.Exists("data/dbus-1/interfaces/org.zemb.ZEMB.xml")),
                  std::pair(registered, registered))
            << arg;
    }
    EXPECT_FALSE(Bus->HasOwner(BusName));
}

TEST_F(ServerE2E, ClientCallActivatesTheServerWhichEndsWithItsLastClient) {
    ASSERT_EQ(RunProgram({Server, "/RegServer"}, Env).Status, 0);
    ASSERT_FALSE(Bus->HasOwner(BusName));
    // Nothing runs: the bus starts the server from the service file the registration wrote.
    EXPECT_GE(CliNumber({"hookup", "--exe", "activation-test"}, "ClientAppID"), 1);
    // Started with -Embedding, it ends once the client's object is gone.
    EXPECT_TRUE(WaitUntil([&] { return !Bus->HasOwner(BusName); }, EndBound));
}

TEST_F(ServerE2E, AutomationModeEndsAfterTheLastRelease) {
    TProcess server;
    StartServer(server, true);
    EXPECT_GE(CliNumber({"hookup"}, "ClientAppID"), 1);
    EXPECT_EQ(server.WaitForExit(EndBound), 0) << server.Output();
    EXPECT_THAT(server.Output(), Clean);
}

// One server per session bus: a copy serving another bus (a test, the simulator's session)
// neither ends nor is ended by the copy here, nor counts against it; a second start on the same
// bus does.
TEST_F(ServerE2E, StandAloneKeepsRunningAndOnlyACopyOnTheSameBusCounts) {
    // Debug output on, for what the copies say to each other.
    std::ofstream(Temp.File("config/QUOREN.INI")) << "[OutputDebugString]\r\nDisableShow=0\r\n";
    TProcess first, other;
    StartServer(first);
    const int client = CliNumber({"hookup", "--exe", "kept-client"}, "ClientAppID");
    TPrivateBus otherBus(Temp.File("data/dbus-1/services"), Temp.File("other.conf"), Env);
    ASSERT_TRUE(otherBus.Started());
    StartServer(other, false, &otherBus);

    // Finding no window of the first copy, the second asks it through the operator interface
    // to show its own; headless, it has none and says so, in its reply and its debug output.
    TRunResult second = RunProgram({Server, "--no-window"}, Env);
    EXPECT_NE(second.Status, 0);
    EXPECT_THAT(second.Output, AllOf(HasSubstr("ZEMB already started2\n"),
                                     HasSubstr("the running copy has no window to show")));
    EXPECT_TRUE(first.WaitForText("ShowWindow: no window to show", StartBound)) << first.Output();
    EXPECT_THAT(first.Output() + other.Output(), Not(HasSubstr("already started")));

    // The hook-up's object is released; the first process still answers and still knows
    // the client.
    EXPECT_EQ(Bus->OwnerPid(BusName), first.Pid());
    TRunResult info = Cli({"--client", std::to_string(client), "clientinfo"});
    EXPECT_EQ(info.Status, 0);
    EXPECT_THAT(info.Output, HasSubstr("ClientAppExeName: kept-client"));
    for (TProcess* copy : {&first, &other}) {
        copy->Signal(SIGTERM);
        EXPECT_EQ(copy->WaitForExit(EndBound), 0) << copy->Output();
    }
}

// SIGTERM, from zemb-sim, ends every server of tests/integration/server.
TEST_F(ServerE2E, SignalEndsTheServerInOrderWithADeviceOpen) {
    StartServerOnSim();
    TRunResult shell = Cli({"shell", "--stop-on-error"}, "hookup\nfirst fenwy\nconnect\nopen\n");
    ASSERT_EQ(shell.Status, 0) << shell.Output;
    const pid_t server = Bus->OwnerPid(BusName);
    ASSERT_GT(server, 0);
    ::kill(server, SIGINT);
    // zemb-sim ends with the server's exit status: 0 only when the server ended by itself.
    EXPECT_EQ(Sim.WaitForExit(EndBound), 0) << Sim.Output();
    EXPECT_FALSE(Bus->HasOwner(BusName));
    EXPECT_THAT(Sim.Output(), Clean);
}

using CliE2E = ServerE2E;

TEST_F(CliE2E, ExitStatusSaysWhatWentWrong) {
    // Arguments, what runs (0: no session bus, 1: a bus, 2: a server), exit status, what it says.
    // "open" alone: no ConnectID given and none used yet.
    using ::testing::_, ::testing::Eq;
    using TRun = std::tuple<std::vector<std::string>, int, int, ::testing::Matcher<std::string>>;
    // clang-format off
    const TRun runs[] = {
        {{"devices"}, 0, 3, HasSubstr("zemb-cli: cannot connect to the session bus")},
        {{"devices"}, 1, 3, HasSubstr("zemb-cli: cannot create a ZEMBServer4 object")},
        {{"frobnicate"}, 1, 2, _}, {{"write", "1", "-c", "0"}, 1, 2, _},
        {{"read", "0", "-c", "0"}, 1, 2, _}, {{"open"}, 1, 2, _}, {{"--help"}, 1, 0, _},
        {{"open", "99"}, 2, 1, HasSubstr("zemb-cli: OpenDevice (ConnectID 99): not ok")},
        {{"--json", "open", "99"}, 2, 1,
         Eq("{\"command\":\"open\",\"call\":\"OpenDevice\",\"ConnectID\":99,\"Result\":false,"
            "\"error\":\"OpenDevice (ConnectID 99): not ok\"}\n")}};
    // clang-format on
    TProcess server;
    for (const auto& [args, where, status, says] : runs) {
        Env["DBUS_SESSION_BUS_ADDRESS"] = where == 0 ? "" : Bus->Address();
        if (where == 2 && !server.Running())
            StartServer(server);
        const TRunResult run = Cli(args);
        EXPECT_EQ(run.Status, status) << args[0];
        EXPECT_THAT(run.Output, says);
    }
}

// The output of each command is zemb-cli's own (tests/unit/cli); here the shell keeps one
// client, connection and device across its lines and goes on after a command that failed.
TEST_F(CliE2E, ShellKeepsOneClientAcrossItsCommands) {
    StartServerOnSim();
    TRunResult shell = Cli({"shell"}, "hookup --exe shell-test\n"
                                      "# a comment, then a blank line\n\n"
                                      "first fenwy --mode shared\nconnect --mode shared\nopen\n"
                                      "write 10 20 30\nread 3\nsession end 77\nstats\nconninfo\n"
                                      "--json buffer-size\nunhook\n");
    ASSERT_EQ(shell.Status, 1) << shell.Output;
    const std::string& out = shell.Output;
    const std::string client = std::to_string(NumberAfter(out, "ClientAppID"));
    const std::string device = std::to_string(NumberAfter(out, "DevID"));
    EXPECT_THAT(out, AllOf(HasSubstr("ReadData: 10 20 30\n"),
                           HasSubstr("zemb-cli: EndSession (ConnectID 77): not ok\n"),
                           HasSubstr("TotalWriteCount: 3\nTotalReadCount: 3\n"),
                           HasSubstr("DevID: " + device + "\nClientAppID: " + client +
                                     "\nConnected: True\nActive: True\nMode: cmShared"),
                           HasSubstr("\"DevID\":" + device + ",\"Result\":true,\"Value\":2048}\n"),
                           HasSubstr("UnhookClientApp (ClientAppID " + client + "): ok")));
}

TEST_F(CliE2E, LogFollowsTheCommunicationLogAsItChanges) {
    StartServerOnSim();
    TProcess follow;
    ASSERT_TRUE(follow.Start({ZEMB_CLI, "log", "--follow", "--for", "60000"}, Env));
    ASSERT_TRUE(follow.WaitForText("Following the communication log", StartBound))
        << follow.Output();
    TRunResult shell = Cli({"shell", "--stop-on-error"},
                           "hookup\nfirst brisk\nconnect\nopen\nwrite 10 20\nread 2\n");
    ASSERT_EQ(shell.Status, 0) << shell.Output;
    // Each transfer rewrites the traffic pair in place; following shows the pair again each
    // time it changed (changes that come close together may show once), never the lines above
    // it again.
    ASSERT_TRUE(follow.WaitForText("ReadBuffer 2:2  ok", EndBound)) << follow.Output();
    const std::string& out = follow.Output();
    EXPECT_THAT(out, HasSubstr("TrafficStats (ConnectID 0): W: 2  R: 2\nReadBuffer 2:2  ok\n"));
    for (const std::string once : {"HookupClientApp:  ok", "OpenDevice (ConnectID 0):  ok"})
        EXPECT_EQ(out.find(once), out.rfind(once)) << out;
    EXPECT_EQ(Cli({"log", "--clear"}).Status, 0);
    ASSERT_TRUE(follow.WaitForText("(communication log cleared)", EndBound)) << follow.Output();
    follow.Signal(SIGTERM);
    EXPECT_EQ(follow.WaitForExit(EndBound), 0) << follow.Output();
    EXPECT_EQ(Cli({"--json", "log"}).Output,
              "{\"command\":\"log\",\"call\":\"GetCommunicationLog\",\"from\":0,\"lines\":[]}\n");
}

TEST_F(CliE2E, MonitorShowsADevicePulledAndPluggedBack) {
    StartServerOnSim();
    const std::string devId = std::to_string(CliNumber({"first", "fenwy"}, "DevID"));
    // A command for an earlier client sets a sink on it and ends right after: the monitor,
    // registered later, must still be told, with no sink of an ended process before it.
    const std::string client =
        std::to_string(CliNumber({"hookup", "--exe", "earlier-client"}, "ClientAppID"));
    ASSERT_EQ(Cli({"--client", client, "devices"}).Status, 0);

    TProcess monitor;
    ASSERT_TRUE(monitor.Start({ZEMB_CLI, "monitor", "--connect", "--for", "60000"}, Env));
    ASSERT_TRUE(monitor.WaitForText("Monitoring ClientAppID", StartBound)) << monitor.Output();
    // Each step waits for its last line; the order of them all is checked below.
    ASSERT_EQ(SimCtl("unplug", "fenwy"), 0);
    ASSERT_TRUE(monitor.WaitForText("Disconnected ConnectID", EndBound)) << monitor.Output();
    ASSERT_EQ(SimCtl("plug", "fenwy"), 0);
    ASSERT_TRUE(monitor.WaitForText("DeviceAdded DevID " + devId, EndBound)) << monitor.Output();
    monitor.Signal(SIGINT);
    EXPECT_EQ(monitor.WaitForExit(EndBound), 0) << monitor.Output();

    // The order of the callbacks: removed, then its connection told; the connection told it
    // is back, then added.
    EXPECT_THAT(monitor.Output(),
                ::testing::ContainsRegex("DeviceRemoved DevID " + devId +
                                         ".*Disconnected ConnectID"
                                         ".*Reconnected ConnectID.*DeviceAdded DevID " +
                                         devId));
    // The monitor's own client application is gone with it, and so is its connection: the
    // tree, read without a client of its own, shows the device without one.
    TRunResult tree = Cli({"--json", "tree"});
    EXPECT_EQ(tree.Status, 0);
    EXPECT_THAT(tree.Output, ::testing::HasSubstr("{\"Text\":\"DevID: " + devId +
                                                  "\",\"ImageIndex\":0,\"Image\":\"chip\","
                                                  "\"Depth\":0,\"Expanded\":"));
    EXPECT_EQ(tree.Output.find("ConnectID"), std::string::npos) << tree.Output;
}

} // namespace
