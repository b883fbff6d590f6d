// SPDX-License-Identifier: MIT
// A client that misbehaves on purpose against a server, in a process of its own so that the
// test can end it abruptly. Prints "ready" and its bus name when set up, then serves its
// callbacks.
//   callback   a sink that ends the process inside its first DeviceRemoved, without answering
//   session    a session started on the first Fenwy, never ended (the test kills the process)
//   stall      a sink that never answers DeviceRemoved or DeviceAdded
//   healthy    calls ClientAppInfo again and again, printing "answered N" or "failed N" for each
//   dying      creates two server objects, prints "created" and ends without releasing them,
//              as a crashed client would
//   dying-callbacks  the same, after passing a sink and, on two connections, one event
//              callback, which it never takes back either
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

namespace {

class TChaosSink final : public IZEMBHost, public IZEMBEvent {
public:
    explicit TChaosSink(const char* mode) : Mode(mode) {}
    const char* Mode;
    HRESULT EnumDevice(std::int32_t, bool&) override { return S_OK; }
    HRESULT EnumConnection(std::int32_t, bool&) override { return S_OK; }
    HRESULT EnumApplication(std::int32_t, bool&) override { return S_OK; }
    HRESULT DeviceAdded(std::int32_t, bool&) override { return Misbehave(); }
    HRESULT DeviceRemoved(std::int32_t, bool&) override { return Misbehave(); }
    HRESULT Disconnected(std::int32_t) override { return S_OK; }
    HRESULT Reconnected(std::int32_t) override { return S_OK; }

private:
    HRESULT Misbehave() {
        if (std::strcmp(Mode, "callback") == 0)
            _exit(0);
        if (std::strcmp(Mode, "stall") == 0)
            std::this_thread::sleep_for(std::chrono::hours(1)); // ended by the test's kill
        return S_OK;
    }
};

// Ends without releasing anything: no destructors run.
int Die(TZEMBClient& client, bool callbacks) {
    auto first = client.CreateInstance(CLASS_ZEMBServer4);
    auto second = client.CreateInstance(CLASS_ZEMBServer);
    if (!first || !second)
        return 1;
    auto sink = std::make_shared<TChaosSink>("dying"), event = std::make_shared<TChaosSink>("");
    bool result = false;
    std::int32_t connectId = -1;
    if (callbacks && (FAILED(first->SetZEMBHost2(5, sink, result)) || !result))
        return 1;
    for (int i = 0; callbacks && i < 2; ++i)
        if (FAILED(first->ConnectDevice(5, 1, 0, event, connectId, result)) || !result)
            return 1;
    std::printf("created\n");
    _exit(0);
}

} // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // the test reads each line as it comes
    auto client = TZEMBClient::Connect();
    if (client && std::strncmp(mode, "dying", 5) == 0)
        return Die(*client, std::strcmp(mode, "dying-callbacks") == 0);
    auto server = client ? client->CreateInstance(CLASS_ZEMBServer4) : nullptr;
    if (!server)
        return 1;
    std::int32_t appId = -1, devId = -1, connectId = -1;
    bool result = false;
    if (FAILED(server->HookupClientApp2(aciBase, getpid(), "testhost", mode, appId, result)) ||
        !result)
        return 1;
    if (std::strcmp(mode, "healthy") == 0) {
        std::printf("ready %s\n", client->UniqueName().c_str());
        for (long n = 1;; ++n) {
            std::uint8_t type = 0;
            std::string computer, exe;
            const bool answered =
                SUCCEEDED(server->ClientAppInfo(appId, type, computer, exe, result)) && result &&
                exe == mode;
            std::printf(answered ? "answered %ld\n" : "failed %ld\n", n);
        }
    }
    if (std::strcmp(mode, "session") == 0) {
        if (FAILED(server->FirstDevice2(dtFenwy, appId, cmShared, devId, result)) || !result ||
            FAILED(server->ConnectDevice(appId, devId, cmShared, nullptr, connectId, result)) ||
            !result || FAILED(server->StartSession(connectId, result)) || !result)
            return 1;
    } else if (FAILED(server->SetZEMBHost2(appId, std::make_shared<TChaosSink>(mode), result)) ||
               !result)
        return 1;
    std::printf("ready %s\n", client->UniqueName().c_str());
    while (client->WaitForEvents(std::chrono::seconds(1)) || client->ProcessEvents())
        ;
    return 0;
}
