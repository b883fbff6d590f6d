// SPDX-License-Identifier: MIT
// Client applications: hookup, unhook, clientinfo.
#include "CliCommands.h"
#include "CliRecords.h"

#include <unistd.h>

using namespace ZEMB;

namespace ZEMBCli {

namespace {

struct THookupArgs {
    std::string ClientType = "aciBase";
    std::string Computer;
    std::string Exe = "zemb-cli";
    bool FirstVersion = false;
};

// The ClientAppID of a command, given, --client or the current one, with the server reached.
int TargetClient(TCliSession& session, std::optional<std::int32_t> given, std::string_view command,
                 std::int32_t& id) {
    return session.Target(given ? given : session.ClientOption, session.Current().Client,
                          "ClientAppID", command, id);
}

int Hookup(TCliSession& session, std::uint8_t type, std::optional<std::int32_t> processId,
           const std::string& computer, const std::string& exe, bool firstVersion) {
    if (int code = session.EnsureServer())
        return code;
    const char* call = firstVersion ? "HookupClientApp" : "HookupClientApp2";
    TJson json = CallJson("hookup", call);
    bool result = false;
    std::int32_t id = -1;
    const std::string host = computer.empty() ? HostName() : computer;
    IZEMBServer4& server = session.Server();
    HRESULT status =
        firstVersion
            ? server.HookupClientApp(type, host, exe, id, result)
            : server.HookupClientApp2(type, processId.value_or(static_cast<std::int32_t>(getpid())),
                                      host, exe, id, result);
    if (int code = session.Check(call, status, result, json, ""))
        return code;
    json.Set("ClientAppID", id);
    session.HookedUp(id);
    session.Output().Answer(json, {"ClientAppID: " + std::to_string(id)});
    return ecOk;
}

int Unhook(TCliSession& session, std::optional<std::int32_t> clientAppId) {
    std::int32_t id = -1;
    if (int code = TargetClient(session, clientAppId, "unhook", id))
        return code;
    TJson json = CallJson("unhook", "UnhookClientApp");
    json.Set("ClientAppID", id);
    bool result = false;
    HRESULT status = session.Server().UnhookClientApp(id, result);
    session.Unhooked(id, status);
    if (int code = session.Check("UnhookClientApp", status, result, json,
                                 " (ClientAppID " + std::to_string(id) + ")"))
        return code;
    session.Output().Answer(json, {"UnhookClientApp (ClientAppID " + std::to_string(id) + "): ok"});
    return ecOk;
}

int ClientInfo(TCliSession& session, std::optional<std::int32_t> clientAppId) {
    std::int32_t id = -1;
    if (int code = TargetClient(session, clientAppId, "clientinfo", id))
        return code;
    TJson json = CallJson("clientinfo", "ClientAppInfo");
    json.Set("ClientAppID", id);
    TClientRecord c;
    c.ClientAppID = id;
    bool result = false;
    HRESULT status = LoadClient(session.Server(), c, result);
    if (int code = session.Check("ClientAppInfo", status, result, json,
                                 " (ClientAppID " + std::to_string(id) + ")"))
        return code;
    SetClientFields(json, c);
    session.Output().Answer(json, {"ClientAppID: " + std::to_string(id),
                                   "ClientAppType: " + ToText(TUSBClientAppType{c.ClientAppType}),
                                   "ClientAppComputerName: " + c.ComputerName,
                                   "ClientAppExeName: " + c.ExeName});
    return ecOk;
}

} // namespace

TRun DefineHookup(CLI::App& command, const TCommandContext& context) {
    auto args = std::make_shared<THookupArgs>();
    command.add_option("--type", args->ClientType, "client application type (default aciBase)");
    auto pid = IdArgument(command, "--pid", "process identifier (default: zemb-cli's)");
    command.add_option("--computer", args->Computer, "computer name (default: this host's)");
    command.add_option("--exe", args->Exe, "executable name (default zemb-cli)");
    command.add_flag("--v1", args->FirstVersion,
                     "use the first version's HookupClientApp (process identifier -1)");
    return [&session = context.Session, args, pid]() -> int {
        auto type = ParseClientAppType(args->ClientType);
        if (!type)
            return UsageError(session,
                              "hookup: unknown client application type '" + args->ClientType + "'");
        return Hookup(session, *type, pid->Given(), args->Computer, args->Exe, args->FirstVersion);
    };
}

TRun DefineUnhook(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "CLIENTAPPID", "default: the current client application",
                     Unhook);
}

TRun DefineClientInfo(CLI::App& command, const TCommandContext& context) {
    return IdCommand(command, context, "CLIENTAPPID", "default: the current client application",
                     ClientInfo);
}

} // namespace ZEMBCli
