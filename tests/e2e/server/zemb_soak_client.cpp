// SPDX-License-Identifier: MIT
// One client of the soak run: takes the INDEX-th Fenwy the server enumerates, exclusively,
// and makes COUNT round trips of 64 bytes through it, checking every byte of every echo.
//   zemb_soak_client INDEX COUNT
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>
#include <zemb/ZEMBClient.h>

using namespace ZEMB;

namespace {

class TDeviceList final : public IZEMBHost {
public:
    std::vector<std::int32_t> DevIDs;
    HRESULT EnumDevice(std::int32_t DevID, bool& Result) override {
        DevIDs.push_back(DevID);
        Result = true;
        return S_OK;
    }
    HRESULT EnumConnection(std::int32_t, bool&) override { return S_OK; }
    HRESULT EnumApplication(std::int32_t, bool&) override { return S_OK; }
    HRESULT DeviceAdded(std::int32_t, bool&) override { return S_OK; }
    HRESULT DeviceRemoved(std::int32_t, bool&) override { return S_OK; }
};

int Fail(int index, const char* what) {
    std::fprintf(stderr, "client %d: %s\n", index, what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return Fail(-1, "usage: zemb_soak_client INDEX COUNT");
    const int index = std::atoi(argv[1]);
    const long count = std::atol(argv[2]);
    auto client = TZEMBClient::Connect();
    auto server = client ? client->CreateInstance(CLASS_ZEMBServer4) : nullptr;
    if (!server)
        return Fail(index, "no server");
    std::int32_t appId = -1, connectId = -1;
    bool result = false;
    auto list = std::make_shared<TDeviceList>();
    if (FAILED(server->HookupClientApp2(aciBase, getpid(), "soakhost",
                                        "soak" + std::to_string(index) + ".exe", appId, result)) ||
        !result || FAILED(server->SetZEMBHost2(appId, list, result)) ||
        FAILED(server->EnumDevices2(appId, dtFenwy, result)))
        return Fail(index, "hook-up or enumeration failed");
    std::ranges::sort(list->DevIDs);
    if (index < 0 || static_cast<std::size_t>(index) >= list->DevIDs.size())
        return Fail(index, "no device for this client");
    if (FAILED(server->ConnectDevice(appId, list->DevIDs[index], cmExclusive, nullptr, connectId,
                                     result)) ||
        !result || FAILED(server->OpenDevice(connectId, result)) || !result)
        return Fail(index, "connect or open failed");
    std::vector<std::uint8_t> bytes(64);
    for (long trip = 0; trip < count; ++trip) {
        for (std::size_t k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<std::uint8_t>(index * 31 + trip * 7 + static_cast<long>(k));
        std::int32_t moved = 0;
        TSafeByteArray echo(bytes.size(), 1);
        if (FAILED(server->WriteBuffer(connectId, TSafeByteArray(bytes), moved, result)) ||
            !result || FAILED(server->ReadBuffer(connectId, echo, moved, result)) || !result)
            return Fail(index, "transfer failed");
        if (!std::ranges::equal(echo.Data(), bytes))
            return Fail(index, "echo differs from what was written");
    }
    server->CloseDevice(connectId, result);
    server->DisconnectDevice(connectId, result);
    server->UnhookClientApp(appId, result);
    std::printf("client %d: %ld round trips, every byte echoed\n", index, count);
    return 0;
}
