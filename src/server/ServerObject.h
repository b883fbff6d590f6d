// SPDX-License-Identifier: MIT
#pragma once

#include "contract/InterfaceTable.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

class TUSB_IFHostBase;

// Live server objects of the process; the operator window's close question shows it.
std::int32_t ServerObjectCount();

// The one host object that every server object forwards to, created at start-up.
TUSB_IFHostBase& Host();
// Creates the host (and with it the device scan and the device-change window) if needed.
void EnsureHost();
// Replaces the host (tests put a fake in; nullptr frees it, as at process end).
void SetHost(std::unique_ptr<TUSB_IFHostBase> host);

// Reports one pending stray client interface, if any, and counts it off.
void CheckStrayInterfaces();

// The readable class name of an exception, as the call barrier writes it.
std::string ExceptionClassName(const std::exception& error);

// The server object. One body per method serves all four classes: each class only adds the
// interface a client may ask it for. Every call forwards to the host inside the frame of a
// call (stray-interface check, entry trace, exception barrier, exit trace, change
// notification) and always returns S_OK with its outcome in Result.
class TZEMBServer : public ZEMB::IZEMBServer4 {
public:
    TZEMBServer();
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
};

class TZEMBServer2 : public TZEMBServer {};
class TZEMBServer3 : public TZEMBServer2 {};
class TZEMBServer4 : public TZEMBServer3 {};
