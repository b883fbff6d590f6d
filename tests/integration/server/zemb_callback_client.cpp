// SPDX-License-Identifier: MIT
// A client application that hooks up, sets its sink, connects to the first Fenwy with a
// callback and then serves its callbacks until it is killed, never unhooking. Prints
// "name <unique bus name>", "ids <ClientAppID> <ConnectID>" and then "ready".
#include <chrono>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

namespace {

class TQuietHost final : public IZEMBHost {
public:
    HRESULT EnumDevice(std::int32_t, bool& Result) override { return Answer(Result); }
    HRESULT EnumConnection(std::int32_t, bool& Result) override { return Answer(Result); }
    HRESULT EnumApplication(std::int32_t, bool& Result) override { return Answer(Result); }
    HRESULT DeviceAdded(std::int32_t, bool& Result) override { return Answer(Result); }
    HRESULT DeviceRemoved(std::int32_t, bool& Result) override { return Answer(Result); }

private:
    static HRESULT Answer(bool& Result) {
        Result = true;
        return S_OK;
    }
};

class TQuietEvent final : public IZEMBEvent {
public:
    HRESULT Disconnected(std::int32_t) override { return S_OK; }
    HRESULT Reconnected(std::int32_t) override { return S_OK; }
};

} // namespace

int main() {
    auto client = ZEMB::TZEMBClient::Connect();
    if (!client)
        return 1;
    auto server = client->CreateInstance(CLASS_ZEMBServer4);
    if (!server)
        return 1;
    std::int32_t appId = -1, devId = -1, connectId = -1;
    bool result = false;
    if (FAILED(server->HookupClientApp2(ZEMB::aciBase, static_cast<std::int32_t>(getpid()),
                                        "testhost", "zemb-callback-client", appId, result)) ||
        !result)
        return 2;
    auto sink = std::make_shared<TQuietHost>();
    if (FAILED(server->SetZEMBHost2(appId, sink, result)) || !result)
        return 3;
    if (FAILED(server->FirstDevice2(ZEMB::dtFenwy, appId, ZEMB::cmShared, devId, result)) ||
        !result)
        return 4;
    auto events = std::make_shared<TQuietEvent>();
    if (FAILED(server->ConnectDevice(appId, devId, ZEMB::cmShared, events, connectId, result)) ||
        !result)
        return 5;
    std::printf("name %s\nids %d %d\nready\n", client->UniqueName().c_str(), appId, connectId);
    std::fflush(stdout);
    while (client->WaitForEvents(std::chrono::seconds(1))) {
    }
    return 0;
}
