// SPDX-License-Identifier: MIT
// The automation runtime and the client library on a private session bus, against the
// stand-in server process.
#include "RecordingSinks.h"
#include "TestProcess.h"
#include "ZEMBStandIn.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <utility>
#include <vector>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

using namespace std::chrono_literals;
using ZEMB::TInterface;

namespace {

constexpr auto Bound = 10s;

struct TRawBus {
    sd_bus* Bus = nullptr;
    TRawBus() { sd_bus_open_user(&Bus); }
    ~TRawBus() { sd_bus_flush_close_unref(Bus); }
};

// A plain D-Bus call, as a client in any language would make it. Returns the reply or the
// error name.
struct TRawReply {
    sd_bus_message* Reply = nullptr;
    std::string Error;
    ~TRawReply() { sd_bus_message_unref(Reply); }
};

class ZEMBDBus : public ::testing::Test {
protected:
    void StartServer(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {ZEMB_STANDIN_SERVER};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(Server.Start(argv));
        ASSERT_TRUE(Server.WaitForLine("ready", Bound));
    }
    void SetUp() override { StartServer(); }

    std::unique_ptr<ZEMB::TZEMBClient> Connect() {
        std::string error;
        auto client = ZEMB::TZEMBClient::Connect(&error);
        EXPECT_TRUE(client) << error;
        return client;
    }

    void RawCall(sd_bus* bus, TRawReply& out, const std::string& path, const char* interface,
                 const char* member, const std::function<void(sd_bus_message*)>& append) {
        sd_bus_message* call = nullptr;
        ASSERT_GE(sd_bus_message_new_method_call(bus, &call, "org.zemb.ZEMB", path.c_str(),
                                                 interface, member),
                  0);
        if (append)
            append(call);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        if (sd_bus_call(bus, call, 10'000'000, &error, &out.Reply) < 0)
            out.Error = error.name ? error.name : "?";
        sd_bus_error_free(&error);
        sd_bus_message_unref(call);
    }

    TProcess Server;
};

using TExerciseList = std::vector<std::pair<const char*, std::function<bool(IZEMBServer4&)>>>;

TExerciseList ServerMethods() {
    return {ZEMB_IZEMBSERVER_METHODS(STANDIN_EXERCISE) ZEMB_IZEMBSERVER2_METHODS(STANDIN_EXERCISE)
                ZEMB_IZEMBSERVER3_METHODS(STANDIN_EXERCISE)
                    ZEMB_IZEMBSERVER4_METHODS(STANDIN_EXERCISE)};
}

} // namespace

TEST_F(ZEMBDBus, EveryServerMethodRoundTripsThroughProxyAndStub) {
    auto client = Connect();
    HRESULT status = E_FAIL;
    auto server = client->CreateInstance(CLASS_ZEMBServer4, &status);
    ASSERT_TRUE(server);
    EXPECT_EQ(status, S_OK);
    auto methods = ServerMethods();
    EXPECT_EQ(methods.size(), 27u);
    for (auto& [name, exercise] : methods)
        EXPECT_TRUE(exercise(*server)) << name;
}

TEST_F(ZEMBDBus, EveryCallbackMethodRoundTripsFromServerToClient) {
    auto client = Connect();
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(server);
    bool result = false;
    // -100 makes the stand-in call every IZEMBHost method, then every IZEMBEvent method, with
    // the agreed values, back on the references just passed.
    ASSERT_EQ(server->SetZEMBHost2(-100, StandIn::HostRecorder(), result), S_OK);
    EXPECT_TRUE(result);
    result = false;
    std::int32_t connectId = 0;
    ASSERT_EQ(server->ConnectDevice(-100, 0, 0, StandIn::EventRecorder(), connectId, result), S_OK);
    EXPECT_TRUE(result);
}

TEST_F(ZEMBDBus, OlderInterfacesAnswerOnNewerObjectsAndNewerOnesAreRefused) {
    TRawBus raw;
    auto client = Connect();
    auto server4 = client->CreateInstance(CLASS_ZEMBServer4);
    auto server1 = client->CreateInstance(CLASS_ZEMBServer);
    ASSERT_TRUE(server4 && server1);
    EXPECT_EQ(ZEMB::ObjectClassInterface(*server1), TInterface::IZEMBServer);

    // An IZEMBServer-only caller on a ZEMBServer4 object: FirstDevice with the agreed values.
    const std::size_t first = ZEMB::MethodIndex(TInterface::IZEMBServer, "FirstDevice");
    std::uint8_t devType, mode;
    StandIn::Fill(devType, first, 0, 0);
    StandIn::Fill(mode, first, 1, 0);
    TRawReply reply;
    RawCall(raw.Bus, reply, ZEMB::ObjectPath(*server4), "org.zemb.ZEMB.IZEMBServer", "FirstDevice",
            [&](sd_bus_message* m) { sd_bus_message_append(m, "yy", devType, mode); });
    ASSERT_TRUE(reply.Reply) << reply.Error;
    std::int32_t devId = 0;
    int result = 0;
    ASSERT_GE(sd_bus_message_read(reply.Reply, "ib", &devId, &result), 0);
    EXPECT_TRUE(StandIn::Matches(devId, first, 2, 1));
    EXPECT_TRUE(StandIn::Matches(bool(result), first, 3, 1));

    // A ZEMBServer object offers no IZEMBServer4, neither through the proxy nor on the bus.
    bool ok = true;
    EXPECT_EQ(server1->EnumDevices2(1, 0, ok), E_NOINTERFACE);
    TRawReply refused;
    RawCall(raw.Bus, refused, ZEMB::ObjectPath(*server1), "org.zemb.ZEMB.IZEMBServer4",
            "EnumDevices2", [](sd_bus_message* m) { sd_bus_message_append(m, "iy", 1, 0); });
    EXPECT_EQ(refused.Error, SD_BUS_ERROR_UNKNOWN_INTERFACE);
    EXPECT_TRUE(StandIn::Exercise<ZEMB::MethodIndex(TInterface::IZEMBServer, "DevInfo")>(
        *server1, &IZEMBServer::DevInfo));
}

TEST_F(ZEMBDBus, InvokeReachesMethodsByDispatchIdentifier) {
    TRawBus raw;
    auto client = Connect();
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    auto server1 = client->CreateInstance(CLASS_ZEMBServer);
    ASSERT_TRUE(server && server1);
    const std::string path = ZEMB::ObjectPath(*server);
    const std::size_t first = ZEMB::MethodIndex(TInterface::IZEMBServer, "FirstDevice");
    const std::size_t enumConnections =
        ZEMB::MethodIndex(TInterface::IZEMBServer, "EnumConnections");
    std::uint8_t devType, mode;
    StandIn::Fill(devType, first, 0, 0);
    StandIn::Fill(mode, first, 1, 0);

    TRawReply ids;
    RawCall(raw.Bus, ids, path, "org.zemb.ZEMB.IDispatch", "GetIDsOfNames",
            [](sd_bus_message* m) { sd_bus_message_append(m, "s", "firstDEVICE"); });
    std::int32_t dispId = 0;
    ASSERT_TRUE(ids.Reply) << ids.Error;
    sd_bus_message_read(ids.Reply, "i", &dispId);
    EXPECT_EQ(dispId, 214);

    TRawReply invoked;
    RawCall(raw.Bus, invoked, path, "org.zemb.ZEMB.IDispatch", "Invoke", [&](sd_bus_message* m) {
        sd_bus_message_append(m, "iav", 214, 2, "y", devType, "y", mode);
    });
    ASSERT_TRUE(invoked.Reply) << invoked.Error;
    std::int32_t devId = 0;
    int result = 0;
    ASSERT_GE(sd_bus_message_read(invoked.Reply, "av", 2, "i", &devId, "b", &result), 0);
    EXPECT_TRUE(StandIn::Matches(devId, first, 2, 1));
    EXPECT_TRUE(StandIn::Matches(bool(result), first, 3, 1));

    TRawReply connections;
    RawCall(raw.Bus, connections, path, "org.zemb.ZEMB.IDispatch", "Invoke",
            [](sd_bus_message* m) { sd_bus_message_append(m, "iav", 211, 0); });
    ASSERT_TRUE(connections.Reply) << connections.Error;
    ASSERT_GE(sd_bus_message_read(connections.Reply, "av", 1, "b", &result), 0);
    EXPECT_TRUE(StandIn::Matches(bool(result), enumConnections, 0, 1));

    struct TBad {
        std::function<void(sd_bus_message*)> Append;
        const char* Error;
    };
    std::vector<TBad> bad = {
        {[](sd_bus_message* m) { sd_bus_message_append(m, "iav", 999, 0); },
         "org.zemb.ZEMB.Error.MemberNotFound"},
        {[](sd_bus_message* m) { sd_bus_message_append(m, "iav", 214, 2, "s", "x", "y", 0); },
         "org.zemb.ZEMB.Error.TypeMismatch"},
        {[](sd_bus_message* m) { sd_bus_message_append(m, "iav", 214, 1, "y", 0); },
         "org.zemb.ZEMB.Error.BadParamCount"},
        {[](sd_bus_message* m) { sd_bus_message_append(m, "iav", 214, 3, "y", 0, "y", 0, "y", 0); },
         "org.zemb.ZEMB.Error.BadParamCount"},
        {[](sd_bus_message* m) { sd_bus_message_append(m, "i", 214); }, SD_BUS_ERROR_INVALID_ARGS},
    };
    for (const TBad& b : bad) {
        TRawReply refused;
        RawCall(raw.Bus, refused, path, "org.zemb.ZEMB.IDispatch", "Invoke", b.Append);
        EXPECT_EQ(refused.Error, b.Error);
    }
    // FirstDevice2 (301) belongs to IZEMBServer2, which a ZEMBServer object does not have.
    TRawReply older;
    RawCall(raw.Bus, older, ZEMB::ObjectPath(*server1), "org.zemb.ZEMB.IDispatch", "Invoke",
            [](sd_bus_message* m) { sd_bus_message_append(m, "iav", 301, 0); });
    EXPECT_EQ(older.Error, "org.zemb.ZEMB.Error.MemberNotFound");
}

TEST_F(ZEMBDBus, BadInputGetsAClearErrorAndChangesNothing) {
    TRawBus raw;
    auto client = Connect();
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(server);
    const std::string path = ZEMB::ObjectPath(*server);

    HRESULT status = S_OK;
    EXPECT_FALSE(client->CreateInstance("{00000000-0000-0000-0000-000000000000}", &status));
    EXPECT_EQ(status, REGDB_E_CLASSNOTREG);
    // Refused calls, each with its error name.
    using TAppend = std::function<void(sd_bus_message*)>;
    const struct {
        std::string Path;
        const char *Interface, *Member;
        TAppend Append;
        std::string Error;
    } refused[] = {
        {"/org/zemb/ZEMB", "org.zemb.ZEMB.ClassFactory", "CreateInstance",
         [](sd_bus_message* m) {
             sd_bus_message_append(m, "s", "{4620B006-1ABA-41A1-8FB7-F9D50952A48B}");
         },
         "org.zemb.ZEMB.Error.ClassNotRegistered"},
        {"/org/zemb/ZEMB", "org.zemb.ZEMB.ClassFactory", "CreateInstance",
         [](sd_bus_message* m) { sd_bus_message_append(m, "i", 4); }, SD_BUS_ERROR_INVALID_ARGS},
        {"/org/zemb/ZEMB/objects/999999", "org.zemb.ZEMB.IZEMBServer", "OpenDevice",
         [](sd_bus_message* m) { sd_bus_message_append(m, "i", 1); }, SD_BUS_ERROR_UNKNOWN_OBJECT},
        {path, "org.zemb.ZEMB.IZEMBServer", "OpenDevice",
         [](sd_bus_message* m) { sd_bus_message_append(m, "s", "1"); }, SD_BUS_ERROR_INVALID_ARGS},
        {path, "org.zemb.ZEMB.IZEMBServer", "OpenDevices",
         [](sd_bus_message* m) { sd_bus_message_append(m, "i", 1); }, SD_BUS_ERROR_UNKNOWN_METHOD},
    };
    for (const auto& call : refused) {
        TRawReply reply;
        RawCall(raw.Bus, reply, call.Path, call.Interface, call.Member, call.Append);
        EXPECT_EQ(reply.Error, call.Error) << call.Member;
    }
    TRawReply lowerCase;
    RawCall(raw.Bus, lowerCase, "/org/zemb/ZEMB", "org.zemb.ZEMB.ClassFactory", "CreateInstance",
            [](sd_bus_message* m) {
                sd_bus_message_append(m, "s", "{20549748-3037-452c-8f0e-d1196256b182}");
            });
    ASSERT_TRUE(lowerCase.Reply) << lowerCase.Error;
    const char* rawPath = nullptr;
    ASSERT_GT(sd_bus_message_read(lowerCase.Reply, "o", &rawPath), 0);
    TRawReply released;
    RawCall(raw.Bus, released, rawPath, "org.zemb.ZEMB.Object", "Release", nullptr);
    EXPECT_TRUE(released.Reply) << released.Error;

    // A failure that escapes the implementation is E_UNEXPECTED, and the server goes on.
    std::int32_t value = 0;
    bool ok = true;
    EXPECT_EQ(server->TotalBufferSize(-666, value, ok), E_UNEXPECTED);
    TRawReply escaped;
    RawCall(raw.Bus, escaped, path, "org.zemb.ZEMB.IZEMBServer3", "TotalBufferSize",
            [](sd_bus_message* m) { sd_bus_message_append(m, "i", -666); });
    EXPECT_EQ(escaped.Error, "org.zemb.ZEMB.Error.Unexpected");

    // Another connection may not release this client's object; it stays usable.
    TRawReply foreignRelease;
    RawCall(raw.Bus, foreignRelease, path, "org.zemb.ZEMB.Object", "Release", nullptr);
    EXPECT_EQ(foreignRelease.Error, "org.zemb.ZEMB.Error.AccessDenied");
    EXPECT_TRUE(StandIn::Exercise<ZEMB::MethodIndex(TInterface::IZEMBServer, "SetSuperUseMode")>(
        *server, &IZEMBServer::SetSuperUseMode));
    EXPECT_EQ(ZEMB::ReleaseObject(server), S_OK);
    EXPECT_TRUE(Server.WaitForLine("last-release", Bound));
}

TEST_F(ZEMBDBus, CallbacksCallBackIntoTheServerWhileTheirCallWaitsAndAWithdrawnSinkFails) {
    auto client = Connect();
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(server);
    bool result = false;
    std::int32_t clientAppId = -1;
    ASSERT_EQ(server->HookupClientApp2(ZEMB::aciBase, 1, "pc", "test", clientAppId, result), S_OK);
    TEventLog calls;
    auto sink = std::make_shared<TRecordingSink>(calls, "c");
    // Inside each EnumDevice: DevInfo of that device, back on the server.
    std::vector<std::string> linkNames;
    sink->DuringCall = [&] {
        bool active = false, found = false;
        std::uint8_t mode = 7, devType = 0, driverType = 0, hw = 0;
        std::string link, friendly, serial, vidPid, guid, user;
        std::int32_t firmware = 0;
        std::uint16_t fpga = 0;
        const std::int32_t devId = std::stoi(calls.back().substr(calls.back().find(' ') + 1));
        EXPECT_EQ(server->DevInfo(devId, active, mode, link, friendly, serial, vidPid, guid, user,
                                  devType, driverType, firmware, hw, fpga, found),
                  S_OK);
        if (found)
            linkNames.push_back(link);
    };
    ASSERT_EQ(server->SetZEMBHost2(clientAppId, sink, result), S_OK);
    ASSERT_TRUE(result);
    // The same sink again is the same object on the server, which the stand-in refuses.
    ASSERT_EQ(server->SetZEMBHost2(clientAppId, sink, result), S_OK);
    EXPECT_FALSE(result);
    ASSERT_EQ(server->EnumDevices2(clientAppId, ZEMB::dtFenwy, result), S_OK);
    EXPECT_TRUE(result);
    ASSERT_EQ(linkNames.size(), 3u);
    EXPECT_EQ(linkNames[2], "usb#vid_10c4&pid_83cc#3#{00000000-0000-0000-0000-000000000000}");
    sink->DuringCall = nullptr;
    // Withdrawn: the server's call gets an error reply, which is a failure status that ends
    // the enumeration.
    client->Revoke(std::static_pointer_cast<IZEMBHost>(sink));
    ASSERT_EQ(server->EnumDevices2(clientAppId, ZEMB::dtFenwy, result), S_OK);
    EXPECT_FALSE(result);
    EXPECT_EQ(calls.size(), 3u);
}

TEST_F(ZEMBDBus, StalledClientTimesOutWhileOthersAreServed) {
    Server.Signal(SIGKILL);
    StartServer({"--callback-timeout-ms", "3000"});
    auto caller = Connect();
    auto stalled = Connect();
    auto callerServer = caller->CreateInstance(CLASS_ZEMBServer4);
    auto stalledServer = stalled->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(callerServer && stalledServer);
    bool result = false;
    std::int32_t stalledId = -1;
    ASSERT_EQ(stalledServer->HookupClientApp2(1, 2, "pc", "stalled", stalledId, result), S_OK);
    TEventLog calls;
    ASSERT_EQ(stalledServer->SetZEMBHost2(stalledId, std::make_shared<TRecordingSink>(calls, "s"),
                                          result),
              S_OK);

    std::atomic<bool> callerDone = false;
    std::atomic<bool> otherServed = false;
    std::atomic<bool> callerDoneWhenOtherServed = true;
    int stalledFd = stalled->Fd();
    std::thread other([&] {
        // The server is inside its callback once the stalled client has a message waiting.
        pollfd fd{stalledFd, POLLIN, 0};
        if (poll(&fd, 1, 10'000) != 1)
            return;
        auto client = ZEMB::TZEMBClient::Connect();
        if (!client)
            return;
        auto server = client->CreateInstance(CLASS_ZEMBServer4);
        bool ok = false;
        std::int32_t id = -1;
        if (server && server->HookupClientApp2(1, 3, "pc", "other", id, ok) == S_OK && ok) {
            callerDoneWhenOtherServed = callerDone.load();
            otherServed = true;
        }
    });
    // The stalled client never pumps: the server's EnumDevice to it must time out.
    HRESULT status = callerServer->EnumDevices2(stalledId, 0, result);
    callerDone = true;
    other.join();
    EXPECT_EQ(status, S_OK);
    EXPECT_FALSE(result);
    EXPECT_TRUE(otherServed);
    EXPECT_FALSE(callerDoneWhenOtherServed);
}

TEST_F(ZEMBDBus, ReleaseCountsDownAndFiresTheHookWithoutEndingAStandaloneServer) {
    auto client = Connect();
    auto a = client->CreateInstance(CLASS_ZEMBServer4);
    auto b = client->CreateInstance(CLASS_ZEMBServer2);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(Server.WaitForLine("objects 2", Bound));
    EXPECT_EQ(ZEMB::ReleaseObject(a), S_OK);
    EXPECT_TRUE(Server.WaitForLine("objects 1", Bound));
    TRawBus raw;
    TRawReply again;
    RawCall(raw.Bus, again, ZEMB::ObjectPath(*b), "org.zemb.ZEMB.Object", "Release", nullptr);
    EXPECT_EQ(again.Error, "org.zemb.ZEMB.Error.AccessDenied");
    b.reset(); // the last reference releases without waiting
    EXPECT_TRUE(Server.WaitForLine("objects 0", Bound));
    EXPECT_TRUE(Server.WaitForLine("last-release", Bound));
    // Not started for automation: it keeps serving.
    EXPECT_TRUE(client->CreateInstance(CLASS_ZEMBServer3));
}

TEST_F(ZEMBDBus, ObjectsOfAClientThatEndsAreReleasedAndTheServerQuits) {
    Server.Signal(SIGKILL);
    StartServer({"-Embedding"});
    TProcess dying;
    ASSERT_TRUE(dying.Start({ZEMB_DYING_CLIENT}));
    ASSERT_TRUE(dying.WaitForLine("created", Bound));
    EXPECT_EQ(dying.WaitForExit(Bound), 0);
    EXPECT_TRUE(Server.WaitForLine("objects 2", Bound));
    EXPECT_TRUE(Server.WaitForLine("objects 0", Bound));
    EXPECT_TRUE(Server.WaitForLine("last-release", Bound));
    EXPECT_EQ(Server.WaitForExit(Bound), 0);
}

// Every whole line a process has printed so far.
std::vector<std::string> OutputLines(const TProcess& process) {
    std::vector<std::string> lines;
    std::istringstream output(process.Output());
    for (std::string line; std::getline(output, line);)
        lines.push_back(line);
    return lines;
}

TEST_F(ZEMBDBus, CallbacksOfAClientThatEndsAreHandedOverOnceBeforeItsObjectsGo) {
    TProcess dying;
    ASSERT_TRUE(dying.Start({ZEMB_DYING_CLIENT, "--callbacks"}));
    ASSERT_TRUE(dying.WaitForLine("created", Bound));
    EXPECT_EQ(dying.WaitForExit(Bound), 0);
    // One proxy per callback object, however often it was passed; all three references to
    // them are among those handed over.
    EXPECT_TRUE(Server.WaitForLine("vanished-callbacks hosts 1 events 1 held 3", Bound));
    EXPECT_TRUE(Server.WaitForLine("objects 0", Bound));
    const auto lines = OutputLines(Server);
    const auto handed =
        std::ranges::find(lines, std::string("vanished-callbacks hosts 1 events 1 held 3"));
    ASSERT_NE(handed, lines.begin());
    EXPECT_EQ(*(handed - 1), "objects 2"); // both objects were still there
    // A client without callbacks hands over nothing.
    TProcess plain;
    ASSERT_TRUE(plain.Start({ZEMB_DYING_CLIENT}));
    ASSERT_TRUE(plain.WaitForLine("created", Bound));
    EXPECT_EQ(plain.WaitForExit(Bound), 0);
    EXPECT_TRUE(Server.WaitForLine("objects 0", Bound));
    for (const std::string& line : OutputLines(Server))
        EXPECT_EQ(line.rfind("vanished-callbacks", 0) == 0,
                  line == "vanished-callbacks hosts 1 events 1 held 3")
            << line;
}

TEST_F(ZEMBDBus, AServerThatGoesAwayGivesFailuresNotHangs) {
    auto client = Connect();
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(server);
    Server.Signal(SIGKILL);
    bool result = true;
    HRESULT status = server->OpenDevice(1, result);
    EXPECT_TRUE(FAILED(status));
    HRESULT created = S_OK;
    client->SetCallTimeout(5s);
    EXPECT_FALSE(client->CreateInstance(CLASS_ZEMBServer4, &created));
    EXPECT_TRUE(FAILED(created));
}

TEST_F(ZEMBDBus, GdbusIntrospectShowsTheInterfacesWithTheirAnnotations) {
    auto client = Connect();
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(server);
    auto introspect = [](const std::string& path) {
        std::string command =
            "gdbus introspect --session --dest org.zemb.ZEMB --object-path " + path + " 2>&1";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            std::size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
                output.append(buffer, n);
            pclose(pipe);
        }
        return output;
    };
    // The client answers the server's introspection only when pumped; gdbus talks to the
    // server alone, so no pumping is needed here.
    std::string object = introspect(ZEMB::ObjectPath(*server));
    using ::testing::HasSubstr;
    EXPECT_THAT(object, HasSubstr("interface org.zemb.ZEMB.IZEMBServer {"));
    EXPECT_THAT(object, HasSubstr("interface org.zemb.ZEMB.IZEMBServer4 {"));
    EXPECT_THAT(object, HasSubstr("interface org.zemb.ZEMB.IDispatch {"));
    EXPECT_THAT(object, HasSubstr("@org.zemb.ZEMB.DispId(\"214\")"));
    EXPECT_THAT(object, HasSubstr("@org.zemb.ZEMB.Slot(\"22\")"));
    EXPECT_THAT(object, HasSubstr("FirstDevice(in  y DevType,"));
    EXPECT_THAT(object, HasSubstr("EnumConnection2(in  i ClientAppID,"));
    std::string factory = introspect("/org/zemb/ZEMB");
    EXPECT_THAT(factory, HasSubstr("CreateInstance(in  s ClassID,"));
    EXPECT_THAT(factory, HasSubstr("node objects"));
    EXPECT_THAT(introspect("/"), HasSubstr("node org"));

    TRawBus raw;
    TRawReply ping;
    RawCall(raw.Bus, ping, ZEMB::ObjectPath(*server), "org.freedesktop.DBus.Peer", "Ping", nullptr);
    EXPECT_TRUE(ping.Reply) << ping.Error;
}

TEST_F(ZEMBDBus, CallbacksBetweenCallsAreServedFromAForeignPollLoop) {
    auto client = Connect();
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    ASSERT_TRUE(server);
    bool result = false;
    std::int32_t clientAppId = -1;
    ASSERT_EQ(server->HookupClientApp2(1, 1, "pc", "idle", clientAppId, result), S_OK);
    TEventLog calls;
    ASSERT_EQ(
        server->SetZEMBHost2(clientAppId, std::make_shared<TRecordingSink>(calls, "c"), result),
        S_OK);

    // Another client makes the server call this one back while it has no call of its own.
    std::atomic<bool> otherResult = false;
    std::atomic<bool> otherDone = false;
    std::thread other([&] {
        auto client2 = ZEMB::TZEMBClient::Connect();
        auto server2 = client2 ? client2->CreateInstance(CLASS_ZEMBServer4) : nullptr;
        bool ok = false;
        if (server2 && server2->EnumDevices2(clientAppId, 0, ok) == S_OK)
            otherResult = ok;
        otherDone = true;
    });
    auto deadline = std::chrono::steady_clock::now() + Bound;
    while (!otherDone && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{client->Fd(), client->Events(), 0};
        int timeout = client->TimeoutMs();
        poll(&fd, 1, timeout < 0 || timeout > 50 ? 50 : timeout);
        ASSERT_TRUE(client->ProcessEvents());
    }
    other.join();
    EXPECT_TRUE(otherResult);
    EXPECT_THAT(calls,
                ::testing::ElementsAre("EnumDevice 1 @c", "EnumDevice 2 @c", "EnumDevice 3 @c"));
}
