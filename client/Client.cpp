// SPDX-License-Identifier: MIT
#include "base/Text.h"
#include "bus/BusConnection.h"
#include "bus/Marshal.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <time.h>
#include <zemb/ZEMBClient.h>

namespace ZEMB {

namespace {

constexpr std::string_view CallbackPathPrefix = "/org/zemb/ZEMB/client/";

struct TClassLevel {
    std::string_view ClassId;
    TInterface Interface;
};

constexpr TClassLevel ClassLevels[] = {
    {CLASS_ZEMBServer, TInterface::IZEMBServer},
    {CLASS_ZEMBServer2, TInterface::IZEMBServer2},
    {CLASS_ZEMBServer3, TInterface::IZEMBServer3},
    {CLASS_ZEMBServer4, TInterface::IZEMBServer4},
};

} // namespace

// The connection with the callback objects exported on it. Shared by the client object and
// every proxy made from it, so proxies stay usable (and fail cleanly) whatever is freed first.
class TClientCore final : public IMarshalContext, public std::enable_shared_from_this<TClientCore> {
public:
    explicit TClientCore(std::shared_ptr<TZEMBBus> bus) : Bus(std::move(bus)) {}

    std::shared_ptr<TZEMBBus> Bus;
    std::string ServerName{BusName};
    std::chrono::microseconds CallTimeout = DefaultCallTimeout;

    struct TExport {
        TInterface Interface;
        std::shared_ptr<IZEMBEvent> Event;
        std::shared_ptr<IZEMBHost> Host;
    };
    std::map<std::string, TExport> Exports;
    std::map<const void*, std::string> PathOf;
    std::uint64_t NextExport = 0;

    void Start() {
        std::weak_ptr<TClientCore> weak = weak_from_this();
        Bus->SetMethodHandler([weak](const TBusMessage& call) {
            if (auto self = weak.lock())
                self->HandleCall(call);
        });
    }

    std::shared_ptr<IZEMBEvent> ResolveEvent(const std::string&) override { return nullptr; }
    std::shared_ptr<IZEMBHost> ResolveHost(const std::string&) override { return nullptr; }
    std::string ExportEvent(const std::shared_ptr<IZEMBEvent>& event) override {
        return Export(event.get(), TExport{TInterface::IZEMBEvent, event, nullptr});
    }
    std::string ExportHost(const std::shared_ptr<IZEMBHost>& host) override {
        return Export(host.get(), TExport{TInterface::IZEMBHost, nullptr, host});
    }

    void Revoke(const void* object) {
        auto it = PathOf.find(object);
        if (it == PathOf.end())
            return;
        Exports.erase(it->second);
        PathOf.erase(it);
    }

private:
    std::string Export(const void* object, TExport entry) {
        auto it = PathOf.find(object);
        if (it != PathOf.end())
            return it->second;
        std::string path = std::string(CallbackPathPrefix) + std::to_string(++NextExport);
        Exports.emplace(path, std::move(entry));
        PathOf.emplace(object, path);
        return path;
    }

    void HandleCall(const TBusMessage& call) {
        const TCallAddress address(call);
        const std::string& path = address.Path;
        std::string_view interface = address.Interface;
        std::string_view member = address.Member;
        auto it = Exports.find(path);
        if (it == Exports.end()) {
            ReplyError(*Bus, call, BusErrorName::UnknownObject, "Unknown object '" + path + "'.");
            return;
        }
        // Held here: a Revoke from inside the callback must not free the object mid-call.
        TExport entry = it->second;
        if (address.IsIntrospect()) {
            ReplyArgs(*Bus, call, IntrospectionXml(entry.Interface));
            return;
        }
        if (!interface.empty() && interface != InterfaceName(entry.Interface)) {
            ReplyError(*Bus, call, BusErrorName::UnknownInterface,
                       "The object has no interface '" + std::string(interface) + "'.");
            return;
        }
        const TMethod* method = FindMember(entry.Interface, member);
        if (!method) {
            ReplyError(*Bus, call, BusErrorName::UnknownMethod,
                       "Unknown method '" + std::string(member) + "'.");
            return;
        }
        const std::string& expected = InSignature(*method);
        if (!call.HasSignature(expected)) {
            ReplyError(*Bus, call, BusErrorName::InvalidArgs,
                       "Invalid arguments to " + std::string(method->Name) + ", expecting '" +
                           expected + "'.");
            return;
        }
        TStubTarget target;
        target.Event = entry.Event.get();
        target.Host = entry.Host.get();
        AnswerCall(*Bus, call, target, *this, *method, false);
    }
};

namespace {

// A server object seen through IZEMBServer4; calls beyond its class fail locally.
class TZEMBServerProxy final : public IZEMBServer4 {
public:
    TZEMBServerProxy(std::shared_ptr<TClientCore> core, std::string path, TInterface level)
        : Core_(std::move(core)), Path_(std::move(path)), Level_(level) {}
    ~TZEMBServerProxy() override {
        if (!Released_)
            SendRelease(false);
    }

    ZEMB_IZEMBSERVER_METHODS(ZEMB_PROXY_METHOD)
    ZEMB_IZEMBSERVER2_METHODS(ZEMB_PROXY_METHOD)
    ZEMB_IZEMBSERVER3_METHODS(ZEMB_PROXY_METHOD)
    ZEMB_IZEMBSERVER4_METHODS(ZEMB_PROXY_METHOD)

    HRESULT SendRelease(bool wait) {
        Released_ = true;
        auto& bus = Core_->Bus;
        if (!bus->IsOpen())
            return RPC_E_DISCONNECTED;
        TBusMessage call;
        if (bus->NewMethodCall(call, Core_->ServerName.c_str(), Path_.c_str(),
                               std::string(ObjectInterface).c_str(), "Release") < 0)
            return E_UNEXPECTED;
        if (!wait) {
            call.SetNoReply();
            bool sent = bus->Send(call);
            bus->Flush();
            return sent ? S_OK : RPC_E_DISCONNECTED;
        }
        TBusError error;
        TBusMessage reply = bus->Call(call, Core_->CallTimeout, error);
        return reply ? S_OK : StatusOfError(error.Name(), error.Message());
    }

    const std::string& Path() const { return Path_; }
    TInterface Level() const { return Level_; }

private:
    template <std::size_t Index, typename... A> HRESULT ProxyMethod(std::tuple<A&...> args) {
        if (MethodTable[Index].Interface > Level_)
            return E_NOINTERFACE;
        if (Released_)
            return RPC_E_DISCONNECTED;
        TProxyTarget target{Core_->Bus, Core_->ServerName, Path_, Core_->CallTimeout, Core_.get()};
        return ProxyCall<Index>(target, args);
    }

    std::shared_ptr<TClientCore> Core_;
    std::string Path_;
    TInterface Level_;
    bool Released_ = false;
};

} // namespace

TZEMBClient::TZEMBClient(std::shared_ptr<TClientCore> core) : Core_(std::move(core)) {}

TZEMBClient::~TZEMBClient() {
    // Callback objects go with the client; proxies still held fail from now on.
    Core_->Exports.clear();
    Core_->PathOf.clear();
}

std::unique_ptr<TZEMBClient> TZEMBClient::Connect(std::string* error) {
    std::string failure;
    auto bus = TZEMBBus::OpenSession(failure);
    if (!bus) {
        if (error)
            *error = failure;
        return nullptr;
    }
    auto core = std::make_shared<TClientCore>(std::move(bus));
    core->Start();
    return std::unique_ptr<TZEMBClient>(new TZEMBClient(std::move(core)));
}

std::shared_ptr<IZEMBServer4> TZEMBClient::CreateInstance(std::string_view classId,
                                                          HRESULT* status) {
    auto fail = [&](HRESULT s) -> std::shared_ptr<IZEMBServer4> {
        if (status)
            *status = s;
        return nullptr;
    };
    const TClassLevel* level = nullptr;
    for (const TClassLevel& c : ClassLevels)
        if (ZEMB::SameText(c.ClassId, classId))
            level = &c;
    if (!level)
        return fail(REGDB_E_CLASSNOTREG);
    auto& bus = Core_->Bus;
    TBusMessage call;
    if (bus->NewMethodCall(call, Core_->ServerName.c_str(), std::string(FactoryPath).c_str(),
                           std::string(ClassFactoryInterface).c_str(), "CreateInstance") < 0 ||
        !AppendArgs(call, std::string(classId)))
        return fail(E_UNEXPECTED);
    TBusError error;
    TBusMessage reply = bus->Call(call, Core_->CallTimeout, error);
    if (!reply)
        return fail(StatusOfError(error.Name(), error.Message()));
    TObjectPath path;
    if (!ReadArgs(reply, path))
        return fail(E_UNEXPECTED);
    if (status)
        *status = S_OK;
    return std::make_shared<TZEMBServerProxy>(Core_, path.Path, level->Interface);
}

void TZEMBClient::SetCallTimeout(std::chrono::milliseconds timeout) {
    Core_->CallTimeout = timeout;
}

void TZEMBClient::SetServerName(std::string name) {
    Core_->ServerName = std::move(name);
}

std::string TZEMBClient::UniqueName() const {
    return Core_->Bus->UniqueName();
}

int TZEMBClient::Fd() const {
    return Core_->Bus->Fd();
}

short TZEMBClient::Events() const {
    return Core_->Bus->Events();
}

int TZEMBClient::TimeoutMs() const {
    std::uint64_t until = Core_->Bus->TimeoutUsec();
    if (until == UINT64_MAX)
        return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    if (until <= nowUsec)
        return 0;
    std::uint64_t ms = (until - nowUsec + 999) / 1000;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

bool TZEMBClient::ProcessEvents() {
    return Core_->Bus->Process();
}

bool TZEMBClient::WaitForEvents(std::chrono::milliseconds timeout) {
    return Core_->Bus->WaitAndProcess(timeout);
}

void TZEMBClient::Revoke(const std::shared_ptr<IZEMBEvent>& event) {
    Core_->Revoke(event.get());
}

void TZEMBClient::Revoke(const std::shared_ptr<IZEMBHost>& host) {
    Core_->Revoke(host.get());
}

HRESULT ReleaseObject(std::shared_ptr<IZEMBServer4>& object) {
    auto* proxy = dynamic_cast<TZEMBServerProxy*>(object.get());
    if (!proxy)
        return E_INVALIDARG;
    HRESULT status = proxy->SendRelease(true);
    object.reset();
    return status;
}

std::string ObjectPath(const IZEMBServer& object) {
    auto* proxy = dynamic_cast<const TZEMBServerProxy*>(&object);
    return proxy ? proxy->Path() : std::string();
}

HRESULT GetDevInfo(IZEMBServer& server, std::int32_t DevID, TDevInfo& info) {
    TDevInfo out = info;
    HRESULT status = server.DevInfo(
        DevID, out.Active, out.Mode, out.LinkName, out.FriendlyName, out.SerialNumber, out.VidPid,
        out.GUID_, out.UserDeviceName, out.DevType, out.DriverType, out.Firmware,
        out.App_ID_Hardware_Revision, out.Meas_App_FPGA_Rev, out.Result);
    if (SUCCEEDED(status))
        info = std::move(out);
    return status;
}

TInterface ObjectClassInterface(const IZEMBServer& object) {
    auto* proxy = dynamic_cast<const TZEMBServerProxy*>(&object);
    return proxy ? proxy->Level() : TInterface::IZEMBServer;
}

} // namespace ZEMB
