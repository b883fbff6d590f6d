// SPDX-License-Identifier: MIT
// The automation runtime and the client library on a private session bus, against the
// stand-in server process.
#include "RecordingSinks.h"
#include "TestProcess.h"
#include "ZEMBStandIn.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <utility>
#include <vector>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

namespace {

constexpr auto Bound = 10s;
const std::string Factory(FactoryPath);

// A plain D-Bus call, as a client in any language would make it: the reply, or the error name.
struct TRawReply {
    TBusMessage Reply;
    std::string Error;
};
using TAppend = std::function<bool(TBusMessage&)>;

template <typename... T> TAppend Args(T... values) {
    return [=](TBusMessage& m) { return AppendArgs(m, values...); };
}
template <typename... T> TAppend Invoke(std::int32_t dispId, T... values) {
    return [=](TBusMessage& m) { return AppendInvoke(m, dispId, values...); };
}

class ZEMBDBus : public ::testing::Test {
protected:
    void StartServer(const std::vector<std::string>& argv = {ZEMB_STANDIN_SERVER}) {
        ASSERT_TRUE(Server.Start(argv) && Server.WaitForLine("ready", Bound));
    }
    void SetUp() override { StartServer(); }

    std::unique_ptr<TZEMBClient> Connect() {
        std::string error;
        auto client = TZEMBClient::Connect(&error);
        EXPECT_TRUE(client) << error;
        return client;
    }

    // On a connection of its own, not the client library's.
    TRawReply RawCall(const std::string& path, const std::string& interface,
                      const std::string& member, const TAppend& append = {}) {
        TRawReply out;
        if (!Raw && !(Raw = TZEMBBus::OpenSession(out.Error)))
            return out;
        TBusMessage call;
        TBusError busError;
        if (Raw->NewMethodCall(call, "org.zemb.ZEMB", path.c_str(), interface.c_str(),
                               member.c_str()) < 0 ||
            (append && !append(call)))
            out.Error = "the call could not be made";
        else if (Raw->CallBlocking(call, Bound, out.Reply, busError) < 0)
            out.Error = busError.Name();
        return out;
    }

    TProcess Server;
    std::shared_ptr<TZEMBBus> Raw;
};

// The stand-in's objects answer every method with the agreed values of ZEMBStandIn.h.
class ZEMBDBusRecorder : public ZEMBDBus {
protected:
    void SetUp() override { StartServer({ZEMB_STANDIN_SERVER, "--recorder"}); }
};

} // namespace

// Every method round-trips through proxy and stub in both directions: the server's methods from
// the client, and within SetZEMBHost2 and ConnectDevice every IZEMBHost and IZEMBEvent method
// from the server, back on the reference just passed. Then plain calls, as a client in any
// language would make them, and gdbus's introspection.
TEST_F(ZEMBDBusRecorder, EveryMethodRoundTripsAndPlainCallsReachTheirMethodOrGetTheirErrorName) {
    auto client = Connect();
    auto server4 = client->CreateInstance(CLASS_ZEMBServer4);
    auto server1 = client->CreateInstance(CLASS_ZEMBServer);
    ASSERT_TRUE(server4 && server1);
    EXPECT_EQ(StandIn::Failing(*server4), "");
    const std::string path4 = ObjectPath(*server4), path1 = ObjectPath(*server1);
    const char* dispatch = "org.zemb.ZEMB.IDispatch";
    // FirstDevice (dispatch identifier 214) with the agreed values.
    const std::size_t first = MethodIndex(TInterface::IZEMBServer, "FirstDevice");
    const auto devType = StandIn::Agreed<std::uint8_t>(first, 0, 0),
               mode = StandIn::Agreed<std::uint8_t>(first, 1, 0);
    const std::uint8_t y = 0;

    const std::string i1 = "org.zemb.ZEMB.IZEMBServer", cf = "org.zemb.ZEMB.ClassFactory";
    const std::string error = "org.zemb.ZEMB.Error.";
    // clang-format off
    const struct { std::string Path, Interface, Member; TAppend Append; std::string Error; } calls[] = {
        // An older interface answers on a newer object; a newer one is refused on an older one.
        {path4, i1, "FirstDevice", Args(devType, mode), ""},
        {path1, i1 + "4", "EnumDevices2", Args(std::int32_t(1), y), BusErrorName::UnknownInterface},
        {path4, dispatch, "GetIDsOfNames", Args(std::string("firstDEVICE")), ""},
        {path4, dispatch, "Invoke", Invoke(214, devType, mode), ""},
        {path4, dispatch, "Invoke", Invoke(211), ""},
        {path4, dispatch, "Invoke", Invoke(999), error + "MemberNotFound"},
        {path4, dispatch, "Invoke", Invoke(214, std::string("x"), y), error + "TypeMismatch"},
        {path4, dispatch, "Invoke", Invoke(214, y), error + "BadParamCount"},
        {path4, dispatch, "Invoke", Invoke(214, y, y, y), error + "BadParamCount"},
        {path4, dispatch, "Invoke", Args(std::int32_t(214)), BusErrorName::InvalidArgs},
        // FirstDevice2 (301) belongs to IZEMBServer2, which a ZEMBServer object does not have.
        {path1, dispatch, "Invoke", Invoke(301), error + "MemberNotFound"},
        {Factory, cf, "CreateInstance", Args(std::string(CLASS_ZEMBEvent)),
         error + "ClassNotRegistered"},
        {Factory, cf, "CreateInstance", Args(std::int32_t(4)), BusErrorName::InvalidArgs},
        {"/org/zemb/ZEMB/objects/999999", i1, "OpenDevice", Args(std::int32_t(1)),
         BusErrorName::UnknownObject},
        {path4, i1, "OpenDevice", Args(std::string("1")), BusErrorName::InvalidArgs},
        {path4, i1, "OpenDevices", Args(std::int32_t(1)), BusErrorName::UnknownMethod},
        // A failure that escapes the implementation is E_UNEXPECTED, and the server goes on.
        {path4, i1 + "3", "TotalBufferSize", Args(std::int32_t(-666)), error + "Unexpected"},
        // Another connection may not release this client's object.
        {path4, "org.zemb.ZEMB.Object", "Release", {}, error + "AccessDenied"},
        // Class identifiers in any letter case.
        {Factory, cf, "CreateInstance", Args(std::string("{20549748-3037-452c-8f0e-d1196256b182}")),
         ""},
    }; // an empty Error: answered
    // clang-format on
    std::vector<TRawReply> replies;
    for (const auto& call : calls) {
        replies.push_back(RawCall(call.Path, call.Interface, call.Member, call.Append));
        EXPECT_EQ(replies.back().Error, call.Error) << call.Member;
    }
    // FirstDevice's agreed reply by name and through Invoke, the identifier, EnumConnections's.
    // (every agreed Result is true); the class identifier in lower case made an object.
    std::int32_t devId = 0, invokedId = 0, dispId = 0;
    bool result = false, invoked = false, connections = false;
    TObjectPath created;
    ASSERT_TRUE(ReadArgs(replies[0].Reply, devId, result) && ReadArgs(replies[2].Reply, dispId) &&
                ReadVariants(replies[3].Reply, invokedId, invoked) &&
                ReadVariants(replies[4].Reply, connections) &&
                ReadArgs(replies[18].Reply, created));
    const auto agreedId = StandIn::Agreed<std::int32_t>(first, 2, 1);
    EXPECT_EQ(std::tuple(devId, result, invokedId, invoked, dispId, connections),
              std::tuple(agreedId, true, agreedId, true, 214, true));
    // The creator releases its object.
    EXPECT_EQ(RawCall(created.Path, "org.zemb.ZEMB.Object", "Release").Error, "");

    // The introspection XML itself is the contract's; here: it is served at each path and gdbus
    // reads it. gdbus talks to the server alone, so the client need not be pumped.
    // clang-format off
    for (const auto& [path, text] : {std::pair{path4, "interface org.zemb.ZEMB.IZEMBServer4 {"},
             {path4, "interface org.zemb.ZEMB.IDispatch {"}, {path4, "@org.zemb.ZEMB.DispId(\"214\")"},
             {Factory, "node objects"}, {std::string("/"), "node org"}})
        EXPECT_THAT(RunProgram({"/usr/bin/gdbus", "introspect", "--session", "--dest", "org.zemb.ZEMB",
                                "--object-path", path}).Output, ::testing::HasSubstr(text));
    // clang-format on

    // The proxies see the same refusals as failure statuses; the objects stay usable.
    EXPECT_EQ(server1->EnumDevices2(1, 0, result), E_NOINTERFACE);
    EXPECT_EQ(server4->TotalBufferSize(-666, devId, result), E_UNEXPECTED);
    HRESULT status = S_OK;
    EXPECT_FALSE(client->CreateInstance("{00000000-0000-0000-0000-000000000000}", &status));
    EXPECT_EQ(status, REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(StandIn::Exercise<MethodIndex(TInterface::IZEMBServer, "DevInfo")>(
        *server1, &IZEMBServer::DevInfo));
}

// Once the server is gone, calls give failures, not hangs.
TEST_F(ZEMBDBus, ReleaseCountsDownWithoutEndingAStandaloneServerAndAServerGoneGivesFailures) {
    auto client = Connect();
    auto a = client->CreateInstance(CLASS_ZEMBServer4);
    auto b = client->CreateInstance(CLASS_ZEMBServer2);
    ASSERT_TRUE(a && b && Server.WaitForLine("objects 2", Bound));
    EXPECT_EQ(ReleaseObject(a), S_OK);
    EXPECT_TRUE(Server.WaitForLine("objects 1", Bound));
    b.reset(); // the last reference releases without waiting
    EXPECT_TRUE(Server.WaitForLine("objects 0", Bound) &&
                Server.WaitForLine("last-release", Bound));
    // Not started for automation: it keeps serving.
    auto c = client->CreateInstance(CLASS_ZEMBServer3);
    ASSERT_TRUE(c);
    Server.Signal(SIGKILL);
    bool result = true;
    HRESULT created = S_OK;
    client->SetCallTimeout(5s);
    EXPECT_TRUE(FAILED(c->OpenDevice(1, result)) &&
                !client->CreateInstance(CLASS_ZEMBServer4, &created) && FAILED(created));
}

// Run after the server's start, so the object count goes 1, 2, 1, 0 for each dying client.
TEST_F(ZEMBDBus, CallbacksOfAClientThatEndsAreHandedOverOnceBeforeItsObjectsGo) {
    const std::string handed = "vanished-callbacks hosts 1 events 1 held 3";
    for (const bool callbacks : {true, false}) {
        TProcess dying;
        ASSERT_TRUE(dying.Start({ZEMB_CHAOS_CLIENT, callbacks ? "dying-callbacks" : "dying"}) &&
                    dying.WaitForLine("created", Bound));
        EXPECT_EQ(dying.WaitForExit(Bound), 0);
        // While both objects are still there: one proxy per callback object, however often it
        // was passed, and all three references to them among those handed over. A client
        // without callbacks hands over nothing.
        EXPECT_TRUE(Server.WaitForLine("objects 2", Bound));
        EXPECT_EQ(Server.ReadLine(Bound), callbacks ? handed : "objects 1");
        EXPECT_TRUE(Server.WaitForLine("objects 0", Bound));
    }
}

TEST_F(ZEMBDBus, CallbacksBetweenCallsAreServedFromAForeignPollLoop) {
    auto client = Connect();
    // A client application "c" with a sink that records.
    TEventLog calls;
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    std::int32_t clientAppId = -1;
    bool hooked = false, sinkSet = false;
    ASSERT_TRUE(server &&
                server->HookupClientApp2(aciBase, 1, "pc", "c", clientAppId, hooked) == S_OK &&
                hooked &&
                server->SetZEMBHost2(clientAppId, std::make_shared<TRecordingSink>(calls, "c"),
                                     sinkSet) == S_OK &&
                sinkSet);
    // Another client makes the server call this one back while it has no call of its own.
    std::atomic<bool> otherResult = false, otherDone = false;
    std::thread other([&] {
        auto client2 = TZEMBClient::Connect();
        auto server2 = client2 ? client2->CreateInstance(CLASS_ZEMBServer4) : nullptr;
        bool ok = false;
        otherResult = server2 && server2->EnumDevices2(clientAppId, 0, ok) == S_OK && ok;
        otherDone = true;
    });
    EXPECT_TRUE(WaitUntil(
        [&] {
            pollfd fd{client->Fd(), client->Events(), 0};
            poll(&fd, 1, std::clamp(client->TimeoutMs(), 0, 50));
            return !client->ProcessEvents() || otherDone;
        },
        Bound));
    other.join();
    EXPECT_TRUE(otherResult);
    EXPECT_THAT(calls,
                ::testing::ElementsAre("EnumDevice 1 @c", "EnumDevice 2 @c", "EnumDevice 3 @c"));
}
