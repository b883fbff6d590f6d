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

// What both kinds of callback share: each call a line in the log.
class TRecorder {
public:
    TRecorder(TEventLog& log, std::string name) : log_(log), name_(std::move(name)) {}
    // Runs inside each call, as other clients' calls do while the server waits for this one.
    std::function<void()> DuringCall;

protected:
    void Record(const char* what, std::int32_t id) {
        log_.push_back(std::string(what) + " " + std::to_string(id) + " @" + name_);
        if (DuringCall)
            DuringCall();
    }

private:
    TEventLog& log_;
    std::string name_;
};

// A client's per-connection callback; Fail makes it answer like a client that went away.
class TRecordingEvent : public ZEMB::IZEMBEvent, public TRecorder {
public:
    using TRecorder::TRecorder;
    ZEMB::HRESULT Fail = ZEMB::S_OK;
    ZEMB::HRESULT Disconnected(std::int32_t ConnectID) override {
        Record("Disconnected", ConnectID);
        return Fail;
    }
    ZEMB::HRESULT Reconnected(std::int32_t ConnectID) override {
        Record("Reconnected", ConnectID);
        return Fail;
    }
};

// A client's notification sink. FailAt: the call number (from 1) that answers E_FAIL.
class TRecordingSink : public ZEMB::IZEMBHost, public TRecorder {
public:
    using TRecorder::TRecorder;
    int FailAt = 0;
    ZEMB::HRESULT EnumDevice(std::int32_t DevID, bool& Result) override {
        return Answer("EnumDevice", DevID, Result);
    }
    ZEMB::HRESULT EnumConnection(std::int32_t ConnectID, bool& Result) override {
        return Answer("EnumConnection", ConnectID, Result);
    }
    ZEMB::HRESULT EnumApplication(std::int32_t ClientAppID, bool& Result) override {
        return Answer("EnumApplication", ClientAppID, Result);
    }
    ZEMB::HRESULT DeviceAdded(std::int32_t DevID, bool& Result) override {
        return Answer("DeviceAdded", DevID, Result);
    }
    ZEMB::HRESULT DeviceRemoved(std::int32_t DevID, bool& Result) override {
        return Answer("DeviceRemoved", DevID, Result);
    }

private:
    ZEMB::HRESULT Answer(const char* what, std::int32_t id, bool& Result) {
        Result = true;
        Record(what, id);
        return ++calls_ == FailAt ? ZEMB::E_FAIL : ZEMB::S_OK;
    }
    int calls_ = 0;
};
