// SPDX-License-Identifier: MIT
#pragma once

// The automation runtime of the server on the D-Bus session bus: the class-object factory at
// /org/zemb/ZEMB, one object path per server object, Release, the release of every object of
// a client that leaves the bus, the object count with its last-release hook, IDispatch and
// introspection, all served from the method table. Callback references that clients pass in
// become IZEMBEvent / IZEMBHost objects that call the client back through the same pump.
//
// Blocking: a call out to a client pumps the bus (serving other clients) until the client
// answers or the callback time-out passes; nothing else blocks.

#include "bus/BusConnection.h"
#include "contract/InterfaceTable.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Makes the objects of one server class. The object must implement the class's default
// interface (and, through it, every older one).
class TAutoObjectFactory {
public:
    using TCreator = std::function<std::shared_ptr<ZEMB::IZEMBServer>()>;
    TAutoObjectFactory(std::string className, std::string_view classId,
                       ZEMB::TInterface defaultInterface, TCreator creator)
        : ClassName_(std::move(className)), ClassID_(classId), DefaultInterface_(defaultInterface),
          Creator_(std::move(creator)) {}

    const std::string& ClassName() const { return ClassName_; }
    // "ZEMB." + class name, e.g. "ZEMB.ZEMBServer4".
    std::string ProgID() const { return "ZEMB." + ClassName_; }
    const std::string& ClassID() const { return ClassID_; }
    ZEMB::TInterface DefaultInterface() const { return DefaultInterface_; }
    std::shared_ptr<ZEMB::IZEMBServer> CreateObject() const {
        return Creator_ ? Creator_() : nullptr;
    }

private:
    std::string ClassName_;
    std::string ClassID_;
    ZEMB::TInterface DefaultInterface_;
    TCreator Creator_;
};

// The time a call out to a client may take before it fails with RPC_E_TIMEOUT. Short, since
// every other client waits while a client is called back.
inline constexpr std::chrono::milliseconds DefaultCallbackTimeout{5000};

class TAutomationServer {
public:
    explicit TAutomationServer(std::shared_ptr<TZEMBBus> bus);
    ~TAutomationServer();
    TAutomationServer(const TAutomationServer&) = delete;
    TAutomationServer& operator=(const TAutomationServer&) = delete;

    // Class factories, in the order they were added; CreateInstance looks them up by class
    // identifier (braces required, letter case ignored).
    void AddFactory(TAutoObjectFactory factory);
    const std::vector<TAutoObjectFactory>& Factories() const { return Factories_; }

    // Serves the factory and the objects on the bus from now on and takes the well-known name.
    // False with error set when the name is owned by another process.
    bool Start(std::string& error, std::string_view busName = ZEMB::BusName);

    // An interface of the process itself, served at the factory path beside the class
    // factory; its XML goes into the factory path's introspection.
    struct TFactoryInterface {
        std::string Name;
        std::string Xml;
        std::function<void(const TBusMessage& call, std::string_view member)> Handle;
    };
    void AddFactoryInterface(TFactoryInterface extra) {
        FactoryInterfaces_.push_back(std::move(extra));
    }

    // Live objects created through the factory and not yet released.
    int ObjectCount() const { return static_cast<int>(Objects_.size()); }
    // Runs each time the count falls to 0 through a release (Release or the client leaving).
    void SetLastReleaseHook(std::function<void()> hook) { LastReleaseHook_ = std::move(hook); }
    // Runs when a client leaves the bus, with the callback objects it passed that are still
    // held somewhere (its IZEMBHost sinks and IZEMBEvent callbacks): nobody can answer them
    // again, so their holders should let them go. Not run for a client that passed none.
    using TCallbacksVanishedHook =
        std::function<void(const std::vector<std::shared_ptr<ZEMB::IZEMBHost>>& hosts,
                           const std::vector<std::shared_ptr<ZEMB::IZEMBEvent>>& events)>;
    void SetCallbacksVanishedHook(TCallbacksVanishedHook hook) {
        CallbacksVanishedHook_ = std::move(hook);
    }
    // Runs when a client leaves the bus, after the callbacks hook, with the server objects it
    // made, just before they are released.
    using TObjectsVanishedHook =
        std::function<void(const std::vector<std::shared_ptr<ZEMB::IZEMBServer>>& objects)>;
    void SetObjectsVanishedHook(TObjectsVanishedHook hook) {
        ObjectsVanishedHook_ = std::move(hook);
    }
    // Set before the first client passes a callback.
    void SetCallbackTimeout(std::chrono::microseconds timeout) { CallbackTimeout_ = timeout; }
    std::chrono::microseconds CallbackTimeout() const { return CallbackTimeout_; }

    TZEMBBus& Bus() { return *Bus_; }
    // The object at a path (tests and the operator window); null when none.
    std::shared_ptr<ZEMB::IZEMBServer> ObjectAt(const std::string& path) const;
    // The bus name of the client that created the object at path; empty when none.
    std::string OwnerOf(const std::string& path) const;

private:
    struct TObject;
    class TCallContext;
    class TRemoteEvent;
    class TRemoteHost;

    void HandleCall(const TBusMessage& call);
    void HandleFactory(const TBusMessage& call, const TCallAddress& address);
    void HandleObject(const TBusMessage& call, const std::shared_ptr<TObject>& object,
                      std::string_view interface, std::string_view member);
    void HandleRelease(const TBusMessage& call, const std::string& path);
    void CallMethod(const TBusMessage& call, const std::shared_ptr<TObject>& object,
                    const ZEMB::TMethod& method, bool invoke);
    void Release(const std::string& path);
    void ClientVanished(const std::string& name);
    void ReplyStatus(const TBusMessage& call, ZEMB::HRESULT status, std::string_view text);
    void ReplyIntrospection(const TBusMessage& call, const std::string& path);
    std::vector<std::string> ChildrenOf(const std::string& path) const;
    std::shared_ptr<ZEMB::IZEMBEvent> RemoteEvent(const std::string& peer, const std::string& path);
    std::shared_ptr<ZEMB::IZEMBHost> RemoteHost(const std::string& peer, const std::string& path);

    std::shared_ptr<TZEMBBus> Bus_;
    std::vector<TAutoObjectFactory> Factories_;
    std::vector<TFactoryInterface> FactoryInterfaces_;
    std::map<std::string, std::shared_ptr<TObject>> Objects_;
    std::uint64_t NextObject_ = 0;
    std::function<void()> LastReleaseHook_;
    TCallbacksVanishedHook CallbacksVanishedHook_;
    TObjectsVanishedHook ObjectsVanishedHook_;
    std::chrono::microseconds CallbackTimeout_ = DefaultCallbackTimeout;
    std::map<std::string, std::weak_ptr<ZEMB::IZEMBEvent>> RemoteEvents_;
    std::map<std::string, std::weak_ptr<ZEMB::IZEMBHost>> RemoteHosts_;
};
