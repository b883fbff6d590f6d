// SPDX-License-Identifier: MIT
// A client of the ZEMB server: hooks up, lists the devices through its IZEMBHost sink, shows
// the first device's information, runs one write and read on it, and then serves callbacks from a
// plain poll loop.
//   zemb-client-example [--listen MILLISECONDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

namespace {

class TExampleHost final : public IZEMBHost {
public:
    HRESULT EnumDevice(std::int32_t DevID, bool& Result) override {
        std::printf("EnumDevice %d\n", DevID);
        Result = true;
        return S_OK;
    }
    HRESULT EnumConnection(std::int32_t ConnectID, bool& Result) override {
        std::printf("EnumConnection %d\n", ConnectID);
        Result = true;
        return S_OK;
    }
    HRESULT EnumApplication(std::int32_t ClientAppID, bool& Result) override {
        std::printf("EnumApplication %d\n", ClientAppID);
        Result = true;
        return S_OK;
    }
    HRESULT DeviceAdded(std::int32_t DevID, bool& Result) override {
        std::printf("DeviceAdded %d\n", DevID);
        Result = true;
        return S_OK;
    }
    HRESULT DeviceRemoved(std::int32_t DevID, bool& Result) override {
        std::printf("DeviceRemoved %d\n", DevID);
        Result = true;
        return S_OK;
    }
};

class TExampleEvent final : public IZEMBEvent {
public:
    HRESULT Disconnected(std::int32_t ConnectID) override {
        std::printf("Disconnected %d\n", ConnectID);
        return S_OK;
    }
    HRESULT Reconnected(std::int32_t ConnectID) override {
        std::printf("Reconnected %d\n", ConnectID);
        return S_OK;
    }
};

// Result by reference: it is read after the call, whatever order the arguments are evaluated in.
bool Check(const char* call, HRESULT status, const bool& result) {
    std::printf("%s: status 0x%08X, Result %s\n", call, static_cast<unsigned>(status),
                result ? "True" : "False");
    return SUCCEEDED(status);
}

} // namespace

int main(int argc, char** argv) {
    int listenMs = 0;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--listen") == 0)
            listenMs = std::atoi(argv[i + 1]);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::string error;
    auto client = ZEMB::TZEMBClient::Connect(&error);
    if (!client) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    HRESULT status = S_OK;
    auto server = client->CreateInstance(CLASS_ZEMBServer4, &status);
    if (!server) {
        std::fprintf(stderr, "CreateInstance failed: 0x%08X\n", static_cast<unsigned>(status));
        return 1;
    }
    bool ok = true;
    bool result = false;
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    std::int32_t clientAppId = -1;
    ok &= Check("HookupClientApp2",
                server->HookupClientApp2(ZEMB::aciBase, static_cast<std::int32_t>(getpid()), host,
                                         "zemb-client-example", clientAppId, result),
                result);
    auto sink = std::make_shared<TExampleHost>();
    ok &= Check("SetZEMBHost2", server->SetZEMBHost2(clientAppId, sink, result), result);
    ok &= Check("EnumDevices2", server->EnumDevices2(clientAppId, ZEMB::dtNotRecognized, result),
                result);

    std::int32_t devId = -1;
    ok &= Check(
        "FirstDevice2",
        server->FirstDevice2(ZEMB::dtNotRecognized, clientAppId, ZEMB::cmShared, devId, result),
        result);
    TDevInfo info;
    ok &= Check("DevInfo", ZEMB::GetDevInfo(*server, devId, info), info.Result);
    std::printf("DevInfo: %s, %s, firmware %s\n", info.FriendlyName.c_str(), info.LinkName.c_str(),
                ZEMB::FirmwareText(static_cast<std::uint16_t>(info.Firmware)).c_str());
    std::int32_t connectId = -1;
    auto events = std::make_shared<TExampleEvent>();
    ok &=
        Check("ConnectDevice",
              server->ConnectDevice(clientAppId, devId, ZEMB::cmShared, events, connectId, result),
              result);
    ok &= Check("OpenDevice", server->OpenDevice(connectId, result), result);
    TSafeByteArray data(std::vector<std::uint8_t>{0x10, 0x20, 0x30});
    std::int32_t count = 0;
    ok &= Check("WriteBuffer", server->WriteBuffer(connectId, data, count, result), result);
    TSafeByteArray answer(3, 1);
    ok &= Check("ReadBuffer", server->ReadBuffer(connectId, answer, count, result), result);
    std::printf("ReadBuffer data:");
    for (std::uint8_t byte : answer.Data())
        std::printf(" %02X", byte);
    std::printf("\n");
    ok &= Check("CloseDevice", server->CloseDevice(connectId, result), result);

    // Between calls the server reaches the sinks only through this loop.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(listenMs);
    while (std::chrono::steady_clock::now() < until) {
        pollfd fd{client->Fd(), client->Events(), 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
        int timeout = client->TimeoutMs();
        if (timeout < 0 || timeout > left)
            timeout = static_cast<int>(left);
        if (poll(&fd, 1, timeout) < 0)
            break;
        if (!client->ProcessEvents())
            break;
    }

    ok &= Check("DisconnectDevice", server->DisconnectDevice(connectId, result), result);
    ok &= Check("UnhookClientApp", server->UnhookClientApp(clientAppId, result), result);
    ok &= SUCCEEDED(ZEMB::ReleaseObject(server));
    return ok ? 0 : 2;
}
