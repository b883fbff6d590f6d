// SPDX-License-Identifier: MIT
#include "CliOperatorLog.h"

#include "bus/BusConnection.h"
#include "contract/InterfaceTable.h"
#include "contract/OperatorInterface.h"

#include <cstdint>
#include <cstring>
#include <ctime>

namespace ZEMBCli {

namespace {

const std::string Path(ZEMB::FactoryPath);
const std::string Interface(ZEMB::OperatorInterface);

// Calls a method of the operator interface without arguments and waits for its reply. False
// with error set to the bus's error name and text (or the local failure) when there is none.
bool CallOperator(TZEMBBus& bus, const std::string& server, std::string_view member,
                  std::chrono::milliseconds timeout, TBusMessage& reply, std::string& error) {
    TBusError busError;
    int r = bus.CallBlocking(server.c_str(), Path.c_str(), Interface.c_str(),
                             std::string(member).c_str(), timeout, reply, busError);
    if (r >= 0)
        return true;
    if (!busError.Name().empty())
        error = std::string(busError.Name()) +
                (busError.Message().empty() ? "" : ": " + std::string(busError.Message()));
    else
        error = std::strerror(-r);
    return false;
}

} // namespace

TOperatorLog::~TOperatorLog() = default;

bool TOperatorLog::Open(const std::string& serverName, std::string& error) {
    Server_ = serverName;
    Bus_ = TZEMBBus::OpenSession(error);
    return Bus_ != nullptr;
}

bool TOperatorLog::Lines(std::vector<std::string>& lines, std::chrono::milliseconds timeout,
                         std::string& error) {
    lines.clear();
    TBusMessage reply;
    if (!CallOperator(*Bus_, Server_, ZEMB::GetCommunicationLogMethod, timeout, reply, error))
        return false;
    int r = reply.ReadStrings(lines);
    if (r < 0) {
        error = std::string("unreadable answer: ") + std::strerror(-r);
        return false;
    }
    return true;
}

bool TOperatorLog::Clear(std::chrono::milliseconds timeout, std::string& error) {
    TBusMessage reply;
    return CallOperator(*Bus_, Server_, ZEMB::ClearCommunicationLogMethod, timeout, reply, error);
}

bool TOperatorLog::Watch(std::string& error) {
    // The bus resolves the well-known name to its current owner.
    int r = Bus_->MatchSignal(Match_, Server_.c_str(), Path.c_str(), Interface.c_str(),
                              std::string(ZEMB::CommunicationLogChangedSignal).c_str(),
                              [this] { Changed_ = true; });
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
    return Bus_->Fd();
}

short TOperatorLog::Events() const {
    return Bus_->Events();
}

int TOperatorLog::TimeoutMs() const {
    const std::uint64_t usec = Bus_->TimeoutUsec();
    if (usec == UINT64_MAX)
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
    return Bus_->Process();
}

} // namespace ZEMBCli
