// SPDX-License-Identifier: MIT
#include "CliOperatorLog.h"

#include "ZEMBBus.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <systemd/sd-bus.h>

namespace ZEMBCli {

namespace {

constexpr const char* kPath = "/org/zemb/ZEMB";
constexpr const char* kInterface = "org.zemb.ZEMB.Operator";

// Calls a method of the operator interface without arguments and waits for its reply. False
// with error set to the bus's error name and text (or the local failure) when there is none.
bool CallOperator(sd_bus* bus, const std::string& server, const char* member,
                  std::chrono::milliseconds timeout, TBusMessage& reply, std::string& error) {
    TBusMessage call;
    TBusError busError;
    int r =
        sd_bus_message_new_method_call(bus, call.Out(), server.c_str(), kPath, kInterface, member);
    if (r >= 0)
        r = sd_bus_call(bus, call.Get(), static_cast<std::uint64_t>(timeout.count()) * 1000,
                        busError.Get(), reply.Out());
    if (r >= 0)
        return true;
    const sd_bus_error* e = busError.Get();
    if (e->name)
        error = std::string(e->name) + (e->message ? std::string(": ") + e->message : "");
    else
        error = std::strerror(-r);
    return false;
}

} // namespace

TOperatorLog::~TOperatorLog() {
    sd_bus_slot_unref(Match_);
    sd_bus_flush_close_unref(Bus_);
}

bool TOperatorLog::Open(const std::string& serverName, std::string& error) {
    Server_ = serverName;
    int r = sd_bus_open_user(&Bus_);
    if (r < 0) {
        Bus_ = nullptr;
        error = std::string("cannot connect to the session bus: ") + std::strerror(-r);
        return false;
    }
    return true;
}

bool TOperatorLog::Lines(std::vector<std::string>& lines, std::chrono::milliseconds timeout,
                         std::string& error) {
    lines.clear();
    TBusMessage reply;
    if (!CallOperator(Bus_, Server_, "GetCommunicationLog", timeout, reply, error))
        return false;
    int r = sd_bus_message_enter_container(reply.Get(), 'a', "s");
    if (r < 0) {
        error = std::strerror(-r);
        return false;
    }
    const char* line = nullptr;
    while ((r = sd_bus_message_read(reply.Get(), "s", &line)) > 0)
        lines.emplace_back(line);
    if (r < 0) {
        error = std::string("unreadable answer: ") + std::strerror(-r);
        return false;
    }
    return true;
}

bool TOperatorLog::Clear(std::chrono::milliseconds timeout, std::string& error) {
    TBusMessage reply;
    return CallOperator(Bus_, Server_, "ClearCommunicationLog", timeout, reply, error);
}

bool TOperatorLog::Watch(std::string& error) {
    auto onChange = [](sd_bus_message*, void* userdata, sd_bus_error*) -> int {
        static_cast<TOperatorLog*>(userdata)->Changed_ = true;
        return 0;
    };
    // The bus resolves the well-known name to its current owner.
    int r = sd_bus_match_signal(Bus_, &Match_, Server_.c_str(), kPath, kInterface,
                                "CommunicationLogChanged", onChange, this);
    if (r < 0) {
        error = std::string("cannot watch the communication log: ") + std::strerror(-r);
        return false;
    }
    return true;
}

bool TOperatorLog::TakeChanged() {
    bool changed = Changed_;
    Changed_ = false;
    return changed;
}

int TOperatorLog::Fd() const {
    return sd_bus_get_fd(Bus_);
}

short TOperatorLog::Events() const {
    int events = sd_bus_get_events(Bus_);
    return static_cast<short>(events < 0 ? 0 : events);
}

int TOperatorLog::TimeoutMs() const {
    std::uint64_t usec = 0;
    if (sd_bus_get_timeout(Bus_, &usec) < 0 || usec == UINT64_MAX)
        return -1;
    // sd-bus gives an absolute monotonic time.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    if (usec <= nowUsec)
        return 0;
    const std::uint64_t ms = (usec - nowUsec + 999) / 1000;
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

bool TOperatorLog::Process() {
    for (;;) {
        int r = sd_bus_process(Bus_, nullptr);
        if (r < 0)
            return false;
        if (r == 0)
            return true;
    }
}

} // namespace ZEMBCli
