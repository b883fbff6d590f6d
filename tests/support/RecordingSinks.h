// SPDX-License-Identifier: MIT
#pragma once

// Client callbacks that write what they are told into one log, in order, as
// "DeviceRemoved 0 @A": for the tests of the host over fakes and on simulated devices.

#include "contract/InterfaceTable.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using TEventLog = std::vector<std::string>;

// A client's per-connection callback; Fail makes it answer like a client that went away.
class TRecordingEvent : public ZEMB::IZEMBEvent {
public:
    TRecordingEvent(TEventLog& log, std::string name) : log_(log), name_(std::move(name)) {}
    ZEMB::HRESULT Fail = ZEMB::S_OK;
    // Runs inside each call, as other clients' calls do while the server waits for this one.
    std::function<void()> DuringCall;
    ZEMB::HRESULT Disconnected(std::int32_t ConnectID) override {
        log_.push_back("Disconnected " + std::to_string(ConnectID) + " @" + name_);
        if (DuringCall)
            DuringCall();
        return Fail;
    }
    ZEMB::HRESULT Reconnected(std::int32_t ConnectID) override {
        log_.push_back("Reconnected " + std::to_string(ConnectID) + " @" + name_);
        if (DuringCall)
            DuringCall();
        return Fail;
    }

private:
    TEventLog& log_;
    std::string name_;
};

// A client's notification sink. FailAfter: the call number (from 1) that answers E_FAIL.
class TRecordingSink : public ZEMB::IZEMBHost {
public:
    TRecordingSink(TEventLog& log, std::string name) : log_(log), name_(std::move(name)) {}
    int FailAt = 0;
    std::function<void()> DuringCall;

    ZEMB::HRESULT EnumDevice(std::int32_t DevID, bool& Result) override {
        return Record("EnumDevice", DevID, Result);
    }
    ZEMB::HRESULT EnumConnection(std::int32_t ConnectID, bool& Result) override {
        return Record("EnumConnection", ConnectID, Result);
    }
    ZEMB::HRESULT EnumApplication(std::int32_t ClientAppID, bool& Result) override {
        return Record("EnumApplication", ClientAppID, Result);
    }
    ZEMB::HRESULT DeviceAdded(std::int32_t DevID, bool& Result) override {
        return Record("DeviceAdded", DevID, Result);
    }
    ZEMB::HRESULT DeviceRemoved(std::int32_t DevID, bool& Result) override {
        return Record("DeviceRemoved", DevID, Result);
    }

private:
    ZEMB::HRESULT Record(const char* what, std::int32_t id, bool& Result) {
        log_.push_back(std::string(what) + " " + std::to_string(id) + " @" + name_);
        Result = true;
        if (DuringCall)
            DuringCall();
        return ++calls_ == FailAt ? ZEMB::E_FAIL : ZEMB::S_OK;
    }
    TEventLog& log_;
    std::string name_;
    int calls_ = 0;
};
