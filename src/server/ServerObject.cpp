// SPDX-License-Identifier: MIT
#include "server/ServerObject.h"

#include "base/DebugLog.h"
#include "bus/Marshal.h"
#include "host/HostOperations.h"
#include "host/ServerSink.h"
#include "server/CommunicationLog.h"
#include "usb/LinkDevice.h"

#include <algorithm>
#include <cxxabi.h>
#include <typeinfo>
#include <unordered_map>

using namespace ZEMB;

namespace {
constexpr const char* kTrace = "RUVAzerComm3";
constexpr const char* kTraffic = "RUVAzerCommTraffic";
constexpr const char* kBarrier = "RUVAzer Comm";

std::uint8_t Clamp(std::uint8_t value, std::uint8_t highest) {
    return std::min(value, highest);
}

// A method's entry and exit lines, made once: a call writes them without building them.
struct TTraceTexts {
    std::string Enter; // ">TZEMBServer.ConnectDevice"
    std::string Exit;  // "<TZEMBServer.ConnectDevice"
};

// Keyed by the literal naming the method (one per method body); entries are never removed, so
// the references handed out stay valid.
const TTraceTexts& TraceTexts(const char* trace) {
    static std::unordered_map<const char*, TTraceTexts> texts;
    auto it = texts.find(trace);
    if (it == texts.end())
        it = texts.emplace(trace, TTraceTexts{std::string(">") + trace, std::string("<") + trace})
                 .first;
    return it->second;
}

// The frame of a call: steps around the body that every traced server call runs.
struct TCallFrame {
    TServerContext& Context;
    const char* Trace;              // "TZEMBServer.ConnectDevice"
    const char* Group;              // group of the entry and exit lines
    std::string_view BarrierPrefix; // what the barrier's line begins with
    bool Notify = false;            // raise the change notification at the end

    void Enter() const {
        Context.CheckStrayInterfaces();
        ConfDebugString(TraceTexts(Trace).Enter, Group);
    }
    void Leave() const {
        ConfDebugString(TraceTexts(Trace).Exit, Group);
        if (Notify) {
            RaiseDevicesChangeNotification();
        }
    }

    template <class Body> HRESULT Run(bool& Result, Body body) const {
        Enter();
        Barrier(Result, body);
        Leave();
        return S_OK;
    }

    // A call whose device operation finishes later, after the ones asked before it on that
    // device. Start(done, now) asks the host inside the barrier; Finish takes the outcome
    // inside the barrier again; then the closing line and the notification, then the reply.
    // The reply waits (the loop meanwhile serves everyone else) when the call came over the
    // bus; a direct call has no reply to wait and asks the host for an answer at once (now).
    template <class Start, class Finish>
    HRESULT RunLater(bool& Result, Start start, Finish finish) const {
        Enter();
        std::shared_ptr<TDeferredReply> reply = DeferReply();
        TDeviceDone done = [frame = *this, reply, &Result, finish](TDeviceResult& outcome) {
            frame.Barrier(Result, [&] { finish(outcome); });
            frame.Leave();
            if (reply) {
                reply->Complete();
            }
        };
        bool asked = false;
        Barrier(Result, [&] {
            start(done, !reply);
            asked = true;
        });
        if (!asked) {
            Leave();
            if (reply) {
                reply->Complete();
            }
        }
        return S_OK;
    }

    // What the body wrote before an exception stays; Result becomes False.
    template <class Body> void Barrier(bool& Result, Body body) const {
        try {
            body();
        } catch (const std::exception& error) {
            ConfDebugString(std::string(BarrierPrefix) + " " + ExceptionClassName(error) + " " +
                                error.what(),
                            kBarrier);
            Result = false;
        } catch (...) {
            ConfDebugString(std::string(BarrierPrefix) + " Exception unknown exception", kBarrier);
            Result = false;
        }
    }
};

// A transfer beyond MaxTransferBytes is refused with a line, before the host is asked: moving
// it would hold the device, and the clients waiting on it, for tens of seconds.
bool Oversized(const std::string& trace, std::size_t bytes, std::int32_t& Count) {
    if (bytes <= MaxTransferBytes)
        return false;
    ConfDebugString(trace + ": " + std::to_string(bytes) + " bytes exceed the maximum of " +
                        std::to_string(MaxTransferBytes),
                    kBarrier);
    Count = 0;
    return true;
}

TCallFrame Frame(TServerContext& context, const char* trace, const char* group = kTrace,
                 bool notify = false) {
    return TCallFrame{context, trace, group, trace, notify};
}
} // namespace

TServerContext::TServerContext(TUSB_IFHostContainer& Container) : container_(Container) {}

TServerContext::~TServerContext() = default;

TUSB_IFHostBase& TServerContext::Host() {
    EnsureHost();
    return *host_;
}

void TServerContext::EnsureHost() {
    if (!host_) {
        SetHost(std::make_unique<TUSB_IFHostLocal>(container_));
    }
}

void TServerContext::SetHost(std::unique_ptr<TUSB_IFHostBase> host) {
    host_ = std::move(host);
    if (host_) {
        host_->SetZEMBHost(0, OwnSink());
    }
}

std::shared_ptr<TZEMBHost> TServerContext::OwnSink() {
    if (!ownSink_) {
        ownSink_ = std::make_shared<TZEMBHost>(container_);
    }
    return ownSink_;
}

void TServerContext::CheckStrayInterfaces() {
    std::int32_t& count = container_.ConnectedDevices.StrayInterfaceCount;
    if (count > 0) {
        ConfDebugString(">TZEMBServer.CheckStrayInterfaces: " + std::to_string(count), kTrace);
        --count;
    }
}

std::string ExceptionClassName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

TZEMBServer::TZEMBServer(TServerContext& Context) : context_(Context) {
    ++context_.objectCount_;
}

TZEMBServer::~TZEMBServer() {
    --context_.objectCount_;
}

HRESULT TZEMBServer::ConnectDevice(std::int32_t ClientAppID, std::int32_t DevID, std::uint8_t Mode,
                                   const std::shared_ptr<IZEMBEvent>& Callback,
                                   std::int32_t& ConnectID, bool& Result) {
    return Frame(context_, "TZEMBServer.ConnectDevice", kTrace, true).Run(Result, [&] {
        EnsureHost();
        bool active = false;
        TUSBDevMode devMode = cmExclusive;
        std::string linkName, friendlyName, serialNumber, vidPid, guid, userDeviceName;
        TUSBDevType devType = dtNotRecognized;
        TUSB_DeviceDriver driverType = ddSilabs;
        std::uint16_t firmware = 0, fpgaRevision = 0;
        std::uint8_t hardwareRevision = 0;
        Result = Host().DevInfo(DevID, active, devMode, linkName, friendlyName, serialNumber,
                                vidPid, guid, userDeviceName, devType, driverType, firmware,
                                hardwareRevision, fpgaRevision);
        if (!Result) {
            return;
        }
        const auto mode = static_cast<TUSBDevMode>(Clamp(Mode, cmShared));
        bool reconnected = false;
        Result = Host().ConnectDevice(ClientAppID, DevID, mode, Callback, ConnectID, reconnected);
        if (Result) {
            AddCommResult(ConnectID, true, reconnected ? "(Re)ConnectDevice" : "ConnectDevice");
            AddCommLine("   ClientAppID: " + std::to_string(ClientAppID));
            AddCommLine("   DevType: " + ToText(devType));
            AddCommLine("   Mode: " + ToText(mode));
            AddCommLine("   DevID: " + std::to_string(DevID));
        }
    });
}

HRESULT TZEMBServer::OpenDevice(std::int32_t ConnectID, bool& Result) {
    TServerContext& context = context_;
    return Frame(context_, "TZEMBServer.OpenDevice", kTrace, true)
        .RunLater(
            Result,
            [&](const TDeviceDone& done, bool now) {
                now ? Host().TUSB_IFHostBase::OpenDeviceLater(ConnectID, done)
                    : Host().OpenDeviceLater(ConnectID, done);
            },
            [&context, ConnectID, &Result](TDeviceResult& outcome) {
                if (outcome.Error) {
                    std::rethrow_exception(outcome.Error);
                }
                Result = outcome.Ok;
                AddCommResult(ConnectID, Result, "OpenDevice");
                std::int32_t devID = 0, clientAppID = 0;
                bool connected = false, active = false;
                TUSBDevMode mode = cmExclusive;
                if (context.Host().ConnectInfo(ConnectID, devID, clientAppID, connected, active,
                                               mode)) {
                    AddCommLine("   DevID: " + std::to_string(devID));
                    AddCommLine("   ClientAppID: " + std::to_string(clientAppID));
                    AddCommLine("   Mode: " + ToText(mode));
                } else {
                    AddCommLine("TZEMBServer.OpenDevice: FHost.ConnectInfo fail" +
                                std::to_string(ConnectID));
                }
            });
}

HRESULT TZEMBServer::CloseDevice(std::int32_t ConnectID, bool& Result) {
    return Frame(context_, "TZEMBServer.CloseDevice", kTrace, true)
        .RunLater(
            Result,
            [&](const TDeviceDone& done, bool now) {
                now ? Host().TUSB_IFHostBase::CloseDeviceLater(ConnectID, done)
                    : Host().CloseDeviceLater(ConnectID, done);
            },
            [ConnectID, &Result](TDeviceResult& outcome) {
                if (outcome.Error) {
                    std::rethrow_exception(outcome.Error);
                }
                Result = outcome.Ok;
                AddCommResult(ConnectID, Result, "CloseDevice");
            });
}

HRESULT TZEMBServer::DisconnectDevice(std::int32_t ConnectID, bool& Result) {
    return Frame(context_, "TZEMBServer.DisconnectDevice", kTrace, true)
        .RunLater(
            Result,
            [&](const TDeviceDone& done, bool now) {
                now ? Host().TUSB_IFHostBase::DisconnectDeviceLater(ConnectID, done)
                    : Host().DisconnectDeviceLater(ConnectID, done);
            },
            [ConnectID, &Result](TDeviceResult& outcome) {
                if (outcome.Error) {
                    std::rethrow_exception(outcome.Error);
                }
                Result = outcome.Ok;
                AddCommResult(ConnectID, Result, "DisconnectDevice");
            });
}

HRESULT TZEMBServer::WriteBuffer(std::int32_t ConnectID, const TSafeByteArray& WriteData,
                                 std::int32_t& WriteCount, bool& Result) {
    TServerContext& context = context_;
    const std::size_t bytes = WriteData.Bytes();
    return Frame(context_, "TZEMBServer.WriteBuffer", kTraffic)
        .RunLater(
            Result,
            [&](const TDeviceDone& done, bool now) {
                if (Oversized("TZEMBServer.WriteBuffer", bytes, WriteCount)) {
                    TDeviceResult refused;
                    done(refused);
                    return;
                }
                now ? Host().TUSB_IFHostBase::WriteBufferLater(ConnectID, WriteData, done)
                    : Host().WriteBufferLater(ConnectID, WriteData, done);
            },
            [&context, ConnectID, bytes, &WriteCount, &Result](TDeviceResult& outcome) {
                WriteCount = outcome.Count;
                if (outcome.Error) {
                    std::rethrow_exception(outcome.Error);
                }
                Result = outcome.Ok;
                LogStats(context.Host(), ConnectID, Result, "WriteBuffer", bytes, WriteCount);
            });
}

HRESULT TZEMBServer::ReadBuffer(std::int32_t ConnectID, TSafeByteArray& ReadData,
                                std::int32_t& ReadCount, bool& Result) {
    TServerContext& context = context_;
    const std::size_t bytes = ReadData.Bytes();
    return Frame(context_, "TZEMBServer.ReadBuffer", kTraffic)
        .RunLater(
            Result,
            [&](const TDeviceDone& done, bool now) {
                if (Oversized("TZEMBServer.ReadBuffer", bytes, ReadCount)) {
                    TDeviceResult refused;
                    refused.Data = std::move(ReadData);
                    done(refused);
                    return;
                }
                // The array travels with the transfer and comes back with its outcome.
                now ? Host().TUSB_IFHostBase::ReadBufferLater(ConnectID, std::move(ReadData), done)
                    : Host().ReadBufferLater(ConnectID, std::move(ReadData), done);
            },
            [&context, ConnectID, bytes, &ReadData, &ReadCount, &Result](TDeviceResult& outcome) {
                ReadData = std::move(outcome.Data);
                ReadCount = outcome.Count;
                if (outcome.Error) {
                    std::rethrow_exception(outcome.Error);
                }
                Result = outcome.Ok;
                LogStats(context.Host(), ConnectID, Result, "ReadBuffer", bytes, ReadCount);
            });
}

HRESULT TZEMBServer::DevInfo(std::int32_t DevID, bool& Active, std::uint8_t& Mode,
                             std::string& LinkName, std::string& FriendlyName,
                             std::string& SerialNumber, std::string& VidPid, std::string& GUID_,
                             std::string& UserDeviceName, std::uint8_t& DevType,
                             std::uint8_t& DriverType, std::int32_t& Firmware,
                             std::uint8_t& App_ID_Hardware_Revision,
                             std::uint16_t& Meas_App_FPGA_Rev, bool& Result) {
    return Frame(context_, "TZEMBServer.DevInfo").Run(Result, [&] {
        for (std::string* text :
             {&LinkName, &FriendlyName, &SerialNumber, &VidPid, &GUID_, &UserDeviceName}) {
            text->clear();
        }
        EnsureHost();
        bool active = false;
        TUSBDevMode mode = cmExclusive; // the host leaves it alone: Mode is always 0
        std::string linkName, friendlyName, serialNumber, vidPid, guid, userDeviceName;
        TUSBDevType devType = dtNotRecognized;
        TUSB_DeviceDriver driverType = ddSilabs;
        std::uint16_t firmware = 0, fpgaRevision = 0;
        std::uint8_t hardwareRevision = 0;
        Result = Host().DevInfo(DevID, active, mode, linkName, friendlyName, serialNumber, vidPid,
                                guid, userDeviceName, devType, driverType, firmware,
                                hardwareRevision, fpgaRevision);
        if (!Result) {
            return;
        }
        Active = active;
        Mode = static_cast<std::uint8_t>(mode);
        LinkName = linkName;
        FriendlyName = friendlyName;
        SerialNumber = serialNumber;
        VidPid = vidPid;
        GUID_ = guid;
        UserDeviceName = userDeviceName;
        DevType = static_cast<std::uint8_t>(devType);
        DriverType = static_cast<std::uint8_t>(driverType);
        Firmware = firmware;
        App_ID_Hardware_Revision = hardwareRevision;
        Meas_App_FPGA_Rev = fpgaRevision;
    });
}

HRESULT TZEMBServer::TrafficStat(std::int32_t ConnectID, std::int32_t& TotalWriteCount,
                                 std::int32_t& TotalReadCount, bool& Result) {
    return Frame(context_, "TZEMBServer.TrafficStat", kTraffic).Run(Result, [&] {
        EnsureHost();
        Result = Host().TrafficStat(ConnectID, TotalWriteCount, TotalReadCount);
    });
}

HRESULT TZEMBServer::EnumDevices(std::uint8_t, bool& Result) {
    context_.CheckStrayInterfaces();
    ConfDebugString(">TZEMBServer.EnumDevices", "");
    EnsureHost();
    Result = false;
    return S_OK;
}

HRESULT TZEMBServer::ConnectInfo(std::int32_t ConnectID, std::int32_t& DevID,
                                 std::int32_t& ClientAppID, bool& Connected, bool& Active,
                                 std::uint8_t& Mode, bool& Result) {
    return Frame(context_, "TZEMBServer.ConnectInfo").Run(Result, [&] {
        EnsureHost();
        bool connected = false, active = false;
        TUSBDevMode mode = cmExclusive;
        Result = Host().ConnectInfo(ConnectID, DevID, ClientAppID, connected, active, mode);
        if (Result) {
            Connected = connected;
            Active = active;
            Mode = static_cast<std::uint8_t>(mode);
        }
    });
}

HRESULT TZEMBServer::HookupClientApp(std::uint8_t ClientAppType,
                                     const std::string& ClientComputerName,
                                     const std::string& ClientExeName, std::int32_t& ClientAppID,
                                     bool& Result) {
    // No barrier of its own: HookupClientApp2 has one.
    context_.CheckStrayInterfaces();
    ConfDebugString(">TZEMBServer.HookupClientApp", kTrace);
    HookupClientApp2(ClientAppType, -1, ClientComputerName, ClientExeName, ClientAppID, Result);
    ConfDebugString("<TZEMBServer.HookupClientApp", kTrace);
    return S_OK;
}

HRESULT TZEMBServer::UnhookClientApp(std::int32_t ClientAppID, bool& Result) {
    context_.CheckStrayInterfaces();
    ConfDebugString(">TZEMBServer.UnhookClientApp", kTrace);
    TCallFrame frame = Frame(context_, "TZEMBServer.UnhookClientApp");
    frame.Barrier(Result, [&] { Result = Host().UnhookClientApp(ClientAppID); });
    ConfDebugString("<TZEMBServer.UnhookClientApp", kTrace);
    AddCommLine("UnhookClientApp (ClientAppID: " + std::to_string(ClientAppID) + ")");
    RaiseDevicesChangeNotification();
    return S_OK;
}

HRESULT TZEMBServer::ClientAppInfo(std::int32_t ClientAppID, std::uint8_t& ClientAppType,
                                   std::string& ClientAppComputerName,
                                   std::string& ClientAppExeName, bool& Result) {
    return Frame(context_, "TZEMBServer.ClientAppInfo").Run(Result, [&] {
        ClientAppComputerName.clear();
        ClientAppExeName.clear();
        TUSBClientAppType type = aciNone;
        std::string computerName, exeName;
        Result = Host().ClientAppInfo(ClientAppID, type, computerName, exeName);
        if (Result) {
            ClientAppType = static_cast<std::uint8_t>(type);
            ClientAppComputerName = computerName;
            ClientAppExeName = exeName;
        }
    });
}

HRESULT TZEMBServer::EnumApplications(bool& Result) {
    ConfDebugString("TZEMBServer.EnumApplications", "");
    Result = false;
    return S_OK;
}

HRESULT TZEMBServer::EnumConnections(bool& Result) {
    ConfDebugString("TZEMBServer.EnumConnections", "");
    Result = false;
    return S_OK;
}

HRESULT TZEMBServer::FirstDevice(std::uint8_t DevType, std::uint8_t Mode, std::int32_t& DevID,
                                 bool& Result) {
    return Frame(context_, "TZEMBServer.FirstDevice").Run(Result, [&] {
        FirstDevice2(DevType, -1, Mode, DevID, Result);
        ConfDebugString("TZEMBServer.FirstDevice. DevID: " + std::to_string(DevID), kTrace);
    });
}

HRESULT TZEMBServer::SetZEMBHost(const std::shared_ptr<IZEMBHost>&, bool& Result) {
    ConfDebugString("TZEMBServer.SetZEMBHost", "");
    Result = false;
    return S_OK;
}

HRESULT TZEMBServer::SetSuperUseMode(bool& Result) {
    Result = true;
    return S_OK;
}

HRESULT TZEMBServer::FirstDevice2(std::uint8_t DevType, std::int32_t ClientAppID, std::uint8_t Mode,
                                  std::int32_t& DevID, bool& Result) {
    return Frame(context_, "TZEMBServer.FirstDevice2").Run(Result, [&] {
        const auto devType = static_cast<TUSBDevType>(Clamp(DevType, dtCorra));
        const auto mode = static_cast<TUSBDevMode>(Clamp(Mode, cmShared));
        Result = Host().FirstDevice(devType, ClientAppID, mode, DevID);
        if (Result) {
            return;
        }
        std::string line = "No device found (" + ToText(devType) + " " + ToText(mode) + ")";
        if (devType == dtMirel || devType == dtFenwy) {
            Result = Host().FirstDevice(dtNotRecognized, ClientAppID, mode, DevID);
            if (Result) {
                line += ". Using NotRecognized device instead";
            }
        }
        AddCommLine(line);
    });
}

HRESULT TZEMBServer::TotalBufferSize(std::int32_t DevID, std::int32_t& Value, bool& Result) {
    return Frame(context_, "TZEMBServer3.TotalBufferSize").Run(Result, [&] {
        Result = Host().TotalBufferSize(DevID, Value);
    });
}

HRESULT TZEMBServer::HookupClientApp2(std::uint8_t ClientAppType, std::int32_t ClientProcessID,
                                      const std::string& ClientComputerName,
                                      const std::string& ClientExeName, std::int32_t& ClientAppID,
                                      bool& Result) {
    TCallFrame frame = Frame(context_, "TZEMBServer.HookupClientApp2", kTrace, true);
    frame.BarrierPrefix = "TZEMBServer.HookupClientApp";
    return frame.Run(Result, [&] {
        const auto type = static_cast<TUSBClientAppType>(Clamp(ClientAppType, aciCorra));
        // The names end at their first NUL, as the clients' zero-terminated texts do.
        const std::string computerName =
            ClientComputerName.substr(0, ClientComputerName.find('\0'));
        const std::string exeName = ClientExeName.substr(0, ClientExeName.find('\0'));
        Result = Host().HookupClientApp(type, ClientProcessID, computerName, exeName, ClientAppID);
        AddCommLine(std::string("HookupClientApp: ") + (Result ? " ok" : " not ok"));
        if (Result) {
            AddCommLine("  ClientAppID: " + std::to_string(ClientAppID));
            AddCommLine("  ClientExeName: " + exeName);
        }
    });
}

HRESULT TZEMBServer::StartSession(std::int32_t ConnectID, bool& Result) {
    TCallFrame frame = Frame(context_, "TZEMBServer3.StartSession");
    frame.BarrierPrefix = "TZEMBServer.StartSession";
    return frame.Run(Result, [&] {
        Result = Host().StartSession(ConnectID);
        if (Result && std::ranges::find(sessions_, ConnectID) == sessions_.end())
            sessions_.push_back(ConnectID);
    });
}

HRESULT TZEMBServer::EndSession(std::int32_t ConnectID, bool& Result) {
    return Frame(context_, "TZEMBServer3.EndSession").Run(Result, [&] {
        std::erase(sessions_, ConnectID);
        Result = Host().EndSession(ConnectID);
    });
}

HRESULT TZEMBServer::SetZEMBHost2(std::int32_t ClientAppID,
                                  const std::shared_ptr<IZEMBHost>& ZEMBHost, bool& Result) {
    return Frame(context_, "TZEMBServer.SetZEMBHost").Run(Result, [&] {
        Result = Host().SetZEMBHost(ClientAppID, ZEMBHost);
    });
}

HRESULT TZEMBServer::EnumDevices2(std::int32_t ClientAppID, std::uint8_t DevType, bool& Result) {
    return Frame(context_, "TZEMBServer4.EnumDevices2").Run(Result, [&] {
        EnsureHost();
        Result = Host().EnumDevices(ClientAppID, static_cast<TUSBDevType>(Clamp(DevType, dtCorra)));
    });
}

HRESULT TZEMBServer::EnumApplications2(std::int32_t ClientAppID, bool& Result) {
    return Frame(context_, "TZEMBServer4.EnumApplications2").Run(Result, [&] {
        Result = Host().EnumApplications(ClientAppID);
    });
}

HRESULT TZEMBServer::EnumConnection2(std::int32_t ClientAppID, bool& Result) {
    return Frame(context_, "TZEMBServer4.EnumConnections2").Run(Result, [&] {
        Result = Host().EnumConnections(ClientAppID);
    });
}

void TZEMBServer::ClientLeft() {
    std::vector<std::int32_t> running;
    running.swap(sessions_);
    for (const std::int32_t ConnectID : running) {
        ConfDebugString(
            "TZEMBServer.ClientLeft: EndSession (ConnectID: " + std::to_string(ConnectID) + ")",
            kBarrier);
        try {
            Host().EndSession(ConnectID);
        } catch (const std::exception& error) {
            ConfDebugString("TZEMBServer.ClientLeft " + ExceptionClassName(error) + " " +
                                error.what(),
                            kBarrier);
        }
    }
}
