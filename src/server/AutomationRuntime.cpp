// SPDX-License-Identifier: MIT
#include "server/AutomationRuntime.h"

#include "base/Text.h"
#include "bus/Marshal.h"

#include <algorithm>
#include <cctype>
#include <set>

using namespace ZEMB;

using ZEMB::TInterface;
using ZEMB::TMethod;

struct TAutomationServer::TObject {
    std::string Path;
    std::string Owner;
    TInterface Interface = TInterface::IZEMBServer;
    std::shared_ptr<IZEMBServer> Instance;
    ZEMB::TStubTarget Target;
};

// Server side of the callback references: paths of the calling client become objects that
// call that client back.
class TAutomationServer::TCallContext final : public ZEMB::IMarshalContext {
public:
    TCallContext(TAutomationServer& server, std::string peer)
        : Server_(server), Peer_(std::move(peer)) {}
    std::shared_ptr<IZEMBEvent> ResolveEvent(const std::string& path) override {
        return Server_.RemoteEvent(Peer_, path);
    }
    std::shared_ptr<IZEMBHost> ResolveHost(const std::string& path) override {
        return Server_.RemoteHost(Peer_, path);
    }
    // The server passes no callbacks of its own to clients.
    std::string ExportEvent(const std::shared_ptr<IZEMBEvent>&) override { return "/"; }
    std::string ExportHost(const std::shared_ptr<IZEMBHost>&) override { return "/"; }

private:
    TAutomationServer& Server_;
    std::string Peer_;
};

namespace {

// What every callback object of a client has: the client's object on the bus, each method a
// call to it.
class TRemoteCallback {
protected:
    explicit TRemoteCallback(ZEMB::TProxyTarget target) : Target_(std::move(target)) {}
    template <std::size_t Index, typename... A> HRESULT ProxyMethod(std::tuple<A&...> args) {
        return ZEMB::ProxyCall<Index>(Target_, args);
    }

private:
    ZEMB::TProxyTarget Target_;
};

} // namespace

class TAutomationServer::TRemoteEvent final : public IZEMBEvent, TRemoteCallback {
public:
    explicit TRemoteEvent(ZEMB::TProxyTarget target) : TRemoteCallback(std::move(target)) {}
    ZEMB_IZEMBEVENT_METHODS(ZEMB_PROXY_METHOD)
};

class TAutomationServer::TRemoteHost final : public IZEMBHost, TRemoteCallback {
public:
    explicit TRemoteHost(ZEMB::TProxyTarget target) : TRemoteCallback(std::move(target)) {}
    ZEMB_IZEMBHOST_METHODS(ZEMB_PROXY_METHOD)
};

TAutomationServer::TAutomationServer(std::shared_ptr<TZEMBBus> bus) : Bus_(std::move(bus)) {}

TAutomationServer::~TAutomationServer() {
    Bus_->SetMethodHandler(nullptr);
    Bus_->WatchVanishingNames(nullptr);
}

void TAutomationServer::AddFactory(TAutoObjectFactory factory) {
    Factories_.push_back(std::move(factory));
}

bool TAutomationServer::Start(std::string& error, std::string_view busName) {
    Bus_->SetMethodHandler([this](const TBusMessage& call) { HandleCall(call); });
    if (!Bus_->WatchVanishingNames([this](const std::string& name) { ClientVanished(name); })) {
        error = "cannot watch the bus for clients that leave";
        return false;
    }
    return Bus_->RequestName(busName, error);
}

std::shared_ptr<IZEMBServer> TAutomationServer::ObjectAt(const std::string& path) const {
    auto it = Objects_.find(path);
    return it == Objects_.end() ? nullptr : it->second->Instance;
}

std::string TAutomationServer::OwnerOf(const std::string& path) const {
    auto it = Objects_.find(path);
    return it == Objects_.end() ? std::string() : it->second->Owner;
}

void TAutomationServer::ReplyStatus(const TBusMessage& call, HRESULT status,
                                    std::string_view text) {
    ZEMB::ReplyStatus(*Bus_, call, status, text);
}

void TAutomationServer::HandleCall(const TBusMessage& call) {
    const TCallAddress address(call);
    const std::string& path = address.Path;
    std::string_view interface = address.Interface;
    std::string_view member = address.Member;

    if (path == ZEMB::FactoryPath) {
        HandleFactory(call, address);
        return;
    }
    auto it = Objects_.find(path);
    if (it != Objects_.end()) {
        if ((interface.empty() || interface == ZEMB::ObjectInterface) && member == "Release") {
            // Not held here, so that an object no call is running on is gone before the
            // last-release hook runs.
            HandleRelease(call, path);
            return;
        }
        // Held here: a Release from inside a callback must not free the object mid-call.
        std::shared_ptr<TObject> object = it->second;
        HandleObject(call, object, interface, member);
        return;
    }
    if (address.IsIntrospect() && !ChildrenOf(path).empty()) {
        ReplyIntrospection(call, path);
        return;
    }
    ReplyError(*Bus_, call, BusErrorName::UnknownObject, "Unknown object '" + path + "'.");
}

std::vector<std::string> TAutomationServer::ChildrenOf(const std::string& path) const {
    std::string prefix = path == "/" ? "/" : path + "/";
    std::set<std::string> children;
    auto add = [&](std::string_view known) {
        if (!known.starts_with(prefix) || known.size() == prefix.size())
            return;
        std::string_view rest = known.substr(prefix.size());
        children.emplace(rest.substr(0, rest.find('/')));
    };
    add(ZEMB::FactoryPath);
    for (const auto& entry : Objects_)
        add(entry.first);
    return {children.begin(), children.end()};
}

void TAutomationServer::ReplyIntrospection(const TBusMessage& call, const std::string& path) {
    std::vector<std::string> children = ChildrenOf(path);
    std::string xml;
    auto it = Objects_.find(path);
    if (path == ZEMB::FactoryPath) {
        xml = ZEMB::FactoryIntrospectionXml(children);
        std::string extras;
        for (const TFactoryInterface& extra : FactoryInterfaces_)
            extras += extra.Xml;
        // The process's own interfaces go after the factory, before the child nodes.
        std::size_t at = xml.find(" <node name=");
        xml.insert(at == std::string::npos ? xml.rfind("</node>") : at, extras);
    } else if (it != Objects_.end())
        xml = ZEMB::IntrospectionXml(it->second->Interface, children);
    else
        xml = ZEMB::NodeIntrospectionXml(children);
    ZEMB::ReplyArgs(*Bus_, call, xml);
}

void TAutomationServer::HandleFactory(const TBusMessage& call, const TCallAddress& address) {
    std::string_view interface = address.Interface;
    std::string_view member = address.Member;
    if (address.IsIntrospect()) {
        ReplyIntrospection(call, std::string(ZEMB::FactoryPath));
        return;
    }
    for (const TFactoryInterface& extra : FactoryInterfaces_) {
        if (interface == extra.Name) {
            extra.Handle(call, member);
            return;
        }
    }
    if ((!interface.empty() && interface != ZEMB::ClassFactoryInterface) ||
        member != "CreateInstance") {
        ReplyError(*Bus_, call, BusErrorName::UnknownMethod,
                   "Unknown method '" + std::string(member) + "' of the class factory.");
        return;
    }
    TBusMessage in = call;
    std::string classId;
    if (!call.HasSignature("s") || !ZEMB::ReadArgs(in, classId)) {
        ReplyError(*Bus_, call, BusErrorName::InvalidArgs,
                   "CreateInstance expects one class identifier (s).");
        return;
    }
    if (!call.ExpectsReply())
        return; // an object whose path nobody learns could never be used or released
    auto factory = std::ranges::find_if(Factories_, [&](const TAutoObjectFactory& f) {
        return ZEMB::SameText(f.ClassID(), classId);
    });
    if (factory == Factories_.end()) {
        ReplyStatus(call, REGDB_E_CLASSNOTREG, std::string("Class not registered: ") + classId);
        return;
    }
    auto object = std::make_shared<TObject>();
    object->Interface = factory->DefaultInterface();
    object->Instance = factory->CreateObject();
    IZEMBServer* instance = object->Instance.get();
    object->Target.Server = instance;
    object->Target.Server2 = dynamic_cast<IZEMBServer2*>(instance);
    object->Target.Server3 = dynamic_cast<IZEMBServer3*>(instance);
    object->Target.Server4 = dynamic_cast<IZEMBServer4*>(instance);
    bool complete = instance != nullptr;
    for (TInterface i : ZEMB::InterfaceChain(object->Interface)) {
        if ((i == TInterface::IZEMBServer2 && !object->Target.Server2) ||
            (i == TInterface::IZEMBServer3 && !object->Target.Server3) ||
            (i == TInterface::IZEMBServer4 && !object->Target.Server4))
            complete = false;
    }
    if (!complete) {
        ReplyStatus(call, E_NOINTERFACE, "The class object made no object of its class.");
        return;
    }
    // Interfaces beyond the class's own are not offered even when the object has them.
    if (object->Interface < TInterface::IZEMBServer4)
        object->Target.Server4 = nullptr;
    if (object->Interface < TInterface::IZEMBServer3)
        object->Target.Server3 = nullptr;
    if (object->Interface < TInterface::IZEMBServer2)
        object->Target.Server2 = nullptr;
    object->Owner = call.Sender();
    Bus_->WatchName(object->Owner); // its objects go when it leaves the bus
    object->Path = std::string(ZEMB::ObjectPathPrefix) + std::to_string(++NextObject_);
    Objects_.emplace(object->Path, object);
    if (!ZEMB::ReplyArgs(*Bus_, call, ZEMB::TObjectPath{object->Path}))
        Release(object->Path); // the same when the reply cannot be sent
}

void TAutomationServer::HandleRelease(const TBusMessage& call, const std::string& path) {
    const std::string sender = call.Sender();
    if (sender.empty() || OwnerOf(path) != sender) {
        ReplyStatus(call, E_ACCESSDENIED, "The object belongs to another client.");
        return;
    }
    if (!call.HasSignature("")) {
        ReplyError(*Bus_, call, BusErrorName::InvalidArgs, "Release takes no arguments.");
        return;
    }
    Bus_->ReplyEmpty(call);
    Release(path);
}

void TAutomationServer::HandleObject(const TBusMessage& call,
                                     const std::shared_ptr<TObject>& object,
                                     std::string_view interface, std::string_view member) {
    TBusMessage in = call;
    if ((interface.empty() || interface == "org.freedesktop.DBus.Introspectable") &&
        member == "Introspect") {
        ReplyIntrospection(call, object->Path);
        return;
    }
    if (interface == ZEMB::DispatchInterface) {
        if (member == "GetIDsOfNames") {
            std::string name;
            if (!call.HasSignature("s") || !ZEMB::ReadArgs(in, name)) {
                ReplyError(*Bus_, call, BusErrorName::InvalidArgs, "GetIDsOfNames expects (s).");
                return;
            }
            const TMethod* method = ZEMB::FindByName(object->Interface, name);
            if (!method) {
                ReplyStatus(call, DISP_E_UNKNOWNNAME, std::string("Unknown name: ") + name);
                return;
            }
            ZEMB::ReplyArgs(*Bus_, call, method->DispId);
            return;
        }
        if (member == "Invoke") {
            std::int32_t dispId = 0;
            if (!call.HasSignature("iav") || !ZEMB::ReadArgs(in, dispId)) {
                ReplyError(*Bus_, call, BusErrorName::InvalidArgs, "Invoke expects (iav).");
                return;
            }
            const TMethod* method = ZEMB::FindByDispId(object->Interface, dispId);
            if (!method) {
                ReplyStatus(call, DISP_E_MEMBERNOTFOUND,
                            "Unknown dispatch identifier " + std::to_string(dispId));
                return;
            }
            CallMethod(call, object, *method, true);
            return;
        }
        ReplyError(*Bus_, call, BusErrorName::UnknownMethod,
                   "Unknown method '" + std::string(member) + "' of IDispatch.");
        return;
    }
    const TMethod* method = nullptr;
    if (interface.empty()) {
        for (TInterface i : ZEMB::InterfaceChain(object->Interface))
            if (!method)
                method = ZEMB::FindMember(i, member);
    } else {
        TInterface intf;
        bool offered = false;
        if (ZEMB::InterfaceFromName(interface, intf)) {
            for (TInterface i : ZEMB::InterfaceChain(object->Interface))
                offered = offered || i == intf;
        }
        if (!offered) {
            ReplyError(*Bus_, call, BusErrorName::UnknownInterface,
                       "The object has no interface '" + std::string(interface) + "'.");
            return;
        }
        method = ZEMB::FindMember(intf, member);
    }
    if (!method) {
        ReplyError(*Bus_, call, BusErrorName::UnknownMethod,
                   "Unknown method '" + std::string(member) + "'.");
        return;
    }
    const std::string& expected = ZEMB::InSignature(*method);
    if (!call.HasSignature(expected)) {
        ReplyError(*Bus_, call, BusErrorName::InvalidArgs,
                   "Invalid arguments '" + call.Signature() + "' to " + std::string(method->Name) +
                       ", expecting '" + expected + "'.");
        return;
    }
    CallMethod(call, object, *method, false);
}

void TAutomationServer::CallMethod(const TBusMessage& call, const std::shared_ptr<TObject>& object,
                                   const TMethod& method, bool invoke) {
    TCallContext context(*this, call.Sender());
    ZEMB::AnswerCall(*Bus_, call, object->Target, context, method, invoke);
}

void TAutomationServer::Release(const std::string& path) {
    auto it = Objects_.find(path);
    if (it == Objects_.end())
        return;
    // The object itself goes when the last call running on it returns.
    Objects_.erase(it);
    if (Objects_.empty() && LastReleaseHook_)
        LastReleaseHook_();
}

void TAutomationServer::ClientVanished(const std::string& name) {
    // The client's callbacks first: releasing its objects may end the process's loop.
    const std::string prefix = name + " ";
    std::vector<std::shared_ptr<IZEMBHost>> hosts;
    std::vector<std::shared_ptr<IZEMBEvent>> events;
    for (const auto& [key, remote] : RemoteHosts_)
        if (key.starts_with(prefix))
            if (auto host = remote.lock())
                hosts.push_back(std::move(host));
    for (const auto& [key, remote] : RemoteEvents_)
        if (key.starts_with(prefix))
            if (auto event = remote.lock())
                events.push_back(std::move(event));
    std::erase_if(RemoteEvents_,
                  [&](const auto& e) { return e.second.expired() || e.first.starts_with(prefix); });
    std::erase_if(RemoteHosts_,
                  [&](const auto& e) { return e.second.expired() || e.first.starts_with(prefix); });
    if ((!hosts.empty() || !events.empty()) && CallbacksVanishedHook_)
        CallbacksVanishedHook_(hosts, events);

    std::vector<std::string> paths;
    std::vector<std::shared_ptr<IZEMBServer>> instances;
    for (const auto& [path, object] : Objects_)
        if (object->Owner == name) {
            paths.push_back(path);
            instances.push_back(object->Instance);
        }
    if (!instances.empty() && ObjectsVanishedHook_)
        ObjectsVanishedHook_(instances);
    instances.clear(); // each object goes with its release, not after the last one
    for (const std::string& path : paths)
        Release(path);
}

std::shared_ptr<IZEMBEvent> TAutomationServer::RemoteEvent(const std::string& peer,
                                                           const std::string& path) {
    std::string key = peer + " " + path;
    if (auto existing = RemoteEvents_[key].lock())
        return existing;
    std::erase_if(RemoteEvents_, [](const auto& e) { return e.second.expired(); });
    Bus_->WatchName(peer); // its callbacks are let go when it leaves the bus
    // Callback objects never pass callbacks on.
    auto remote = std::make_shared<TRemoteEvent>(
        ZEMB::TProxyTarget{Bus_, peer, path, CallbackTimeout_, &ZEMB::NoCallbacks()});
    RemoteEvents_[key] = remote;
    return remote;
}

std::shared_ptr<IZEMBHost> TAutomationServer::RemoteHost(const std::string& peer,
                                                         const std::string& path) {
    std::string key = peer + " " + path;
    if (auto existing = RemoteHosts_[key].lock())
        return existing;
    std::erase_if(RemoteHosts_, [](const auto& e) { return e.second.expired(); });
    Bus_->WatchName(peer);
    auto remote = std::make_shared<TRemoteHost>(
        ZEMB::TProxyTarget{Bus_, peer, path, CallbackTimeout_, &ZEMB::NoCallbacks()});
    RemoteHosts_[key] = remote;
    return remote;
}
