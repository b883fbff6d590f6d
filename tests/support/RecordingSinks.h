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
#define ZEMB_RECORD_EVENT(intf, slot, dispid, name, ...)                                           \
    ZEMB::HRESULT name(std::int32_t id) override {                                                 \
        Record(#name, id);                                                                         \
        return Fail;                                                                               \
    }
    ZEMB_IZEMBEVENT_METHODS(ZEMB_RECORD_EVENT)
#undef ZEMB_RECORD_EVENT
};

// A client's notification sink. FailAt: the call number (from 1) that answers E_FAIL.
class TRecordingSink : public ZEMB::IZEMBHost, public TRecorder {
public:
    using TRecorder::TRecorder;
    int FailAt = 0;
#define ZEMB_RECORD_HOST(intf, slot, dispid, name, ...)                                            \
    ZEMB::HRESULT name(std::int32_t id, bool& Result) override {                                   \
        Result = true;                                                                             \
        Record(#name, id);                                                                         \
        return ++calls_ == FailAt ? ZEMB::E_FAIL : ZEMB::S_OK;                                     \
    }
    ZEMB_IZEMBHOST_METHODS(ZEMB_RECORD_HOST)
#undef ZEMB_RECORD_HOST

private:
    int calls_ = 0;
};
