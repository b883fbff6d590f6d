// SPDX-License-Identifier: MIT
// monitor: every callback of a client application as it arrives.
#include "CliCommands.h"

using namespace ZEMB;

namespace ZEMBCli {

namespace {

// Serves callbacks until one of the signals arrives (null: none) or the time is up (zero: no
// limit). With connectAll, first connects in shared mode to every device, so that their
// Disconnected and Reconnected arrive too; those connections end with it.
int Monitor(TCliSession& session, TSignalFd* signals, std::chrono::milliseconds duration,
            bool connectAll) {
    std::int32_t client = -1;
    if (int code = session.ClientFor(client))
        return code;
    if (int code = session.EnsureSink(client))
        return code;
    IZEMBServer4& server = session.Server();
    std::vector<std::int32_t> made;
    if (connectAll) {
        std::vector<std::int32_t> devIds;
        if (int code = session.CollectDevices(client, std::nullopt, devIds))
            return code;
        for (std::int32_t devId : devIds) {
            std::int32_t connectId = -1;
            bool result = false;
            if (SUCCEEDED(server.ConnectDevice(client, devId, ZEMB::cmShared, session.Event(),
                                               connectId, result)) &&
                result) {
                made.push_back(connectId);
                TJson json = CallJson("monitor", "ConnectDevice");
                json.Set("DevID", devId);
                json.Set("ConnectID", connectId);
                session.Output().Answer(json, {"Watching DevID " + std::to_string(devId) +
                                               " through ConnectID " + std::to_string(connectId)});
            }
        }
    }
    {
        TJson json = CallJson("monitor", "SetZEMBHost2");
        json.Set("ClientAppID", client);
        json.Set("monitoring", true);
        session.Output().Answer(
            json, {"Monitoring ClientAppID " + std::to_string(client) + " (interrupt to end)"});
    }

    ZEMB::TZEMBClient& bus = session.Client();
    const bool served = ServeUntil(bus, signals, duration, [&] {
        if (bus.ProcessEvents())
            return true;
        session.Output().Error(CallJson("monitor", "ProcessEvents"),
                               "monitor: the connection to the bus was lost");
        return false;
    });
    for (std::int32_t connectId : made) {
        bool result = false;
        server.DisconnectDevice(connectId, result);
    }
    return served ? ecOk : ecUnreachable;
}

} // namespace

TRun DefineMonitor(CLI::App& command, const TCommandContext& context) {
    struct TArgs {
        std::int64_t ForMs = 0;
        bool ConnectAll = false;
    };
    auto args = std::make_shared<TArgs>();
    command.add_option("--for", args->ForMs, "end after this many milliseconds")
        ->check(CLI::Range(1, 86400000));
    command.add_flag("--connect", args->ConnectAll,
                     "connect in shared mode to every device, to see Disconnected and "
                     "Reconnected too");
    return [context, args] {
        std::unique_ptr<TSignalFd> own;
        return Monitor(context.Session, SignalsFor(context, true, own),
                       std::chrono::milliseconds(args->ForMs), args->ConnectAll);
    };
}

} // namespace ZEMBCli
