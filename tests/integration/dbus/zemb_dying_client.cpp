// SPDX-License-Identifier: MIT
// A client that creates two server objects and ends without releasing them, as a crashed
// client would. Prints "created" once both exist. With --callbacks it first passes a sink and,
// on two connections, one event callback, which it never takes back either.
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

namespace {

class TSilentHost final : public IZEMBHost {
public:
    HRESULT EnumDevice(std::int32_t, bool&) override { return S_OK; }
    HRESULT EnumConnection(std::int32_t, bool&) override { return S_OK; }
    HRESULT EnumApplication(std::int32_t, bool&) override { return S_OK; }
    HRESULT DeviceAdded(std::int32_t, bool&) override { return S_OK; }
    HRESULT DeviceRemoved(std::int32_t, bool&) override { return S_OK; }
};

class TSilentEvent final : public IZEMBEvent {
public:
    HRESULT Disconnected(std::int32_t) override { return S_OK; }
    HRESULT Reconnected(std::int32_t) override { return S_OK; }
};

} // namespace

int main(int argc, char** argv) {
    auto client = ZEMB::TZEMBClient::Connect();
    if (!client)
        return 1;
    auto first = client->CreateInstance(CLASS_ZEMBServer4);
    auto second = client->CreateInstance(CLASS_ZEMBServer);
    if (!first || !second)
        return 1;
    if (argc > 1 && std::strcmp(argv[1], "--callbacks") == 0) {
        auto sink = std::make_shared<TSilentHost>();
        auto event = std::make_shared<TSilentEvent>();
        bool result = false;
        std::int32_t connectId = -1;
        if (FAILED(first->SetZEMBHost2(5, sink, result)) || !result)
            return 1;
        for (int i = 0; i < 2; ++i)
            if (FAILED(first->ConnectDevice(5, 1, 0, event, connectId, result)) || !result)
                return 1;
    }
    std::printf("created\n");
    std::fflush(stdout);
    _exit(0); // no destructors: nothing is released
}
