// SPDX-License-Identifier: MIT
#pragma once

#include "contract/InterfaceTable.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

class TUSB_IFHostBase;
class TUSB_IFHostContainer;
class TZEMBHost;

// What every server object of the process shares, made by main and handed to each: the
// container, and the one host object over it that every call forwards to.
class TServerContext {
public:
    // The container must outlive the context.
    explicit TServerContext(TUSB_IFHostContainer& Container);
    ~TServerContext();
    TServerContext(const TServerContext&) = delete;
    TServerContext& operator=(const TServerContext&) = delete;

    // The host; created over the container on first use.
    TUSB_IFHostBase& Host();
    // Creates the host if there is none.
    void EnsureHost();
    // Replaces the host (tests put a fake in; nullptr frees it, as at process end).
    void SetHost(std::unique_ptr<TUSB_IFHostBase> host);
    // The server's own IZEMBHost, set on its own entry (ClientAppID 0) of the registry when
    // the host is made, as the operator window sets it; the tree is read through it.
    std::shared_ptr<TZEMBHost> OwnSink();

    // Reports one pending stray client interface of the container, if any, and counts it off.
    void CheckStrayInterfaces();

    // Live server objects; the operator window's close question shows it.
    std::int32_t ServerObjectCount() const { return objectCount_; }

private:
    friend class TZEMBServer;
    TUSB_IFHostContainer& container_;
    std::unique_ptr<TUSB_IFHostBase> host_;
    std::shared_ptr<TZEMBHost> ownSink_;
    std::int32_t objectCount_ = 0;
};

// The readable class name of an exception, as the call barrier writes it.
std::string ExceptionClassName(const std::exception& error);

// The server object. One body per method serves all four classes: each class only adds the
// interface a client may ask it for. Every call forwards to the host inside the frame of a
// call (stray-interface check, entry trace, exception barrier, exit trace, change
// notification) and always returns S_OK with its outcome in Result.
class TZEMBServer : public ZEMB::IZEMBServer4 {
public:
    explicit TZEMBServer(TServerContext& Context);
    ~TZEMBServer() override;
    TZEMBServer(const TZEMBServer&) = delete;
    TZEMBServer& operator=(const TZEMBServer&) = delete;

#define ZEMB_OVERRIDE_METHOD(intf, slot, dispid, name, ...)                                        \
    ZEMB::HRESULT name(ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_DECL, __VA_ARGS__)) override;
    ZEMB_IZEMBSERVER_METHODS(ZEMB_OVERRIDE_METHOD)
    ZEMB_IZEMBSERVER2_METHODS(ZEMB_OVERRIDE_METHOD)
    ZEMB_IZEMBSERVER3_METHODS(ZEMB_OVERRIDE_METHOD)
    ZEMB_IZEMBSERVER4_METHODS(ZEMB_OVERRIDE_METHOD)
#undef ZEMB_OVERRIDE_METHOD

    // The client that made this object left the bus: the sessions it started and did not end
    // are ended as EndSession would, so that device changes held back for them go ahead.
    void ClientLeft();

private:
    TUSB_IFHostBase& Host() {
        return context_.Host();
    }
    void EnsureHost() {
        context_.EnsureHost();
    }

    TServerContext& context_;
    std::vector<std::int32_t> sessions_; // ConnectIDs of the sessions this object started
};

class TZEMBServer2 : public TZEMBServer {
public:
    using TZEMBServer::TZEMBServer;
};
class TZEMBServer3 : public TZEMBServer2 {
public:
    using TZEMBServer2::TZEMBServer2;
};
class TZEMBServer4 : public TZEMBServer3 {
public:
    using TZEMBServer3::TZEMBServer3;
};
