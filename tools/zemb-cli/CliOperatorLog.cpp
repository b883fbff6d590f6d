// SPDX-License-Identifier: MIT
#include "CliOperatorLog.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <systemd/sd-bus.h>

namespace ZEMBCli {

namespace {

constexpr const char* kPath = "/org/zemb/ZEMB";
constexpr const char* kInterface = "org.zemb.ZEMB.Operator";

struct TError {
    sd_bus_error E = SD_BUS_ERROR_NULL;
    ~TError() { sd_bus_error_free(&E); }
    std::string Text(int r) const {
        if (E.name)
            return std::string(E.name) + (E.message ? std::string(": ") + E.message : "");
        return std::strerror(-r);
    }
};

struct TMessage {
    sd_bus_message* M = nullptr;
    ~TMessage() { sd_bus_message_unref(M); }
};

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
    TMessage call, reply;
    TError busError;
    int r = sd_bus_message_new_method_call(Bus_, &call.M, Server_.c_str(), kPath, kInterface,
                                           "GetCommunicationLog");
    if (r >= 0)
        r = sd_bus_call(Bus_, call.M, static_cast<std::uint64_t>(timeout.count()) * 1000,
                        &busError.E, &reply.M);
    if (r >= 0)
        r = sd_bus_message_enter_container(reply.M, 'a', "s");
    if (r < 0) {
        error = busError.Text(r);
        return false;
    }
    const char* line = nullptr;
    while ((r = sd_bus_message_read(reply.M, "s", &line)) > 0)
        lines.emplace_back(line);
    if (r < 0) {
        error = std::string("unreadable answer: ") + std::strerror(-r);
        return false;
    }
    return true;
}

bool TOperatorLog::Clear(std::chrono::milliseconds timeout, std::string& error) {
    TMessage call, reply;
    TError busError;
    int r = sd_bus_message_new_method_call(Bus_, &call.M, Server_.c_str(), kPath, kInterface,
                                           "ClearCommunicationLog");
    if (r >= 0)
        r = sd_bus_call(Bus_, call.M, static_cast<std::uint64_t>(timeout.count()) * 1000,
                        &busError.E, &reply.M);
    if (r < 0) {
        error = busError.Text(r);
        return false;
    }
    return true;
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
