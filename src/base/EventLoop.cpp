// SPDX-License-Identifier: MIT
#include "base/EventLoop.h"

#include "base/DebugLog.h"

#include <cerrno>
#include <exception>
#include <string>
#include <systemd/sd-event.h>
#include <time.h>
#include <utility>

struct TEventSource::TState {
    sd_event_source* Source = nullptr;
    std::function<void(std::uint32_t)> Io;
    std::function<void()> Fire;
    std::function<void()> Prepare;

    ~TState() { sd_event_source_disable_unref(Source); }
};

namespace {

using TState = TEventSource::TState;

// An error must not unwind through the loop's C frames: it ends this dispatch of the handler
// only, and leaves a line (a handler with more to say catches it itself).
template <typename F> int Guarded(const char* where, F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& error) {
        ConfDebugString(std::string("TEventLoop.") + where + ": " + error.what(), "RUVAzerComm");
    } catch (...) {
        ConfDebugString(std::string("TEventLoop.") + where + ": unknown exception", "RUVAzerComm");
    }
    return 0;
}

int OnIo(sd_event_source*, int, std::uint32_t revents, void* userdata) {
    auto* state = static_cast<TState*>(userdata);
    return Guarded("OnIo", [&] { state->Io(revents); });
}

int OnTime(sd_event_source*, std::uint64_t, void* userdata) {
    auto* state = static_cast<TState*>(userdata);
    return Guarded("OnTime", [&] { state->Fire(); });
}

int OnSignal(sd_event_source*, const signalfd_siginfo*, void* userdata) {
    auto* state = static_cast<TState*>(userdata);
    return Guarded("OnSignal", [&] { state->Fire(); });
}

int OnPrepare(sd_event_source*, void* userdata) {
    auto* state = static_cast<TState*>(userdata);
    return Guarded("OnPrepare", [&] { state->Prepare(); });
}

} // namespace

TEventSource::TEventSource() = default;
TEventSource::TEventSource(std::unique_ptr<TState> state) : State_(std::move(state)) {}
TEventSource::~TEventSource() = default;
TEventSource::TEventSource(TEventSource&&) noexcept = default;
TEventSource& TEventSource::operator=(TEventSource&&) noexcept = default;

TEventSource::operator bool() const {
    return State_ != nullptr;
}

bool TEventSource::SetEnabled(TEnabled enabled) {
    if (!State_)
        return false;
    const int mode = enabled == TEnabled::Off  ? SD_EVENT_OFF
                     : enabled == TEnabled::On ? SD_EVENT_ON
                                               : SD_EVENT_ONESHOT;
    return sd_event_source_set_enabled(State_->Source, mode) >= 0;
}

bool TEventSource::IsEnabled() const {
    if (!State_)
        return false;
    int enabled = SD_EVENT_OFF;
    sd_event_source_get_enabled(State_->Source, &enabled);
    return enabled != SD_EVENT_OFF;
}

bool TEventSource::SetTime(std::uint64_t usec) {
    return State_ && sd_event_source_set_time(State_->Source, usec) >= 0;
}

bool TEventSource::SetIoEvents(std::uint32_t events) {
    return State_ && sd_event_source_set_io_events(State_->Source, events) >= 0;
}

bool TEventSource::SetPrepare(std::function<void()> prepare) {
    if (!State_)
        return false;
    State_->Prepare = std::move(prepare);
    return sd_event_source_set_prepare(State_->Source, State_->Prepare ? &OnPrepare : nullptr) >= 0;
}

void TEventSource::SetDescription(const char* description) {
    if (State_)
        sd_event_source_set_description(State_->Source, description);
}

TEventLoop::TEventLoop(sd_event* loop) : Loop_(loop ? sd_event_ref(loop) : nullptr) {}

TEventLoop TEventLoop::Default() {
    sd_event* loop = nullptr;
    if (sd_event_default(&loop) < 0)
        return {};
    TEventLoop result;
    result.Loop_ = loop; // sd_event_default gave a reference of our own
    return result;
}

TEventLoop::~TEventLoop() {
    sd_event_unref(Loop_);
}

TEventLoop::TEventLoop(const TEventLoop& other)
    : Loop_(other.Loop_ ? sd_event_ref(other.Loop_) : nullptr) {}

TEventLoop& TEventLoop::operator=(TEventLoop other) noexcept {
    std::swap(Loop_, other.Loop_);
    return *this;
}

TEventSource TEventLoop::AddIo(int fd, std::uint32_t events,
                               std::function<void(std::uint32_t)> handler) {
    if (!Loop_)
        return {};
    auto state = std::make_unique<TState>();
    state->Io = std::move(handler);
    if (sd_event_add_io(Loop_, &state->Source, fd, events, &OnIo, state.get()) < 0)
        return {};
    return TEventSource(std::move(state));
}

TEventSource TEventLoop::AddTimer(std::function<void()> handler) {
    if (!Loop_)
        return {};
    auto state = std::make_unique<TState>();
    state->Fire = std::move(handler);
    if (sd_event_add_time(Loop_, &state->Source, CLOCK_MONOTONIC, 0, 0, &OnTime, state.get()) < 0)
        return {};
    sd_event_source_set_enabled(state->Source, SD_EVENT_OFF);
    return TEventSource(std::move(state));
}

TEventSource TEventLoop::AddSignal(int signal, std::function<void()> handler) {
    if (!Loop_)
        return {};
    auto state = std::make_unique<TState>();
    state->Fire = std::move(handler);
    if (sd_event_add_signal(Loop_, &state->Source, signal, &OnSignal, state.get()) < 0)
        return {};
    return TEventSource(std::move(state));
}

std::uint64_t TEventLoop::Now() const {
    std::uint64_t now = 0;
    if (Loop_)
        sd_event_now(Loop_, CLOCK_MONOTONIC, &now);
    return now;
}

int TEventLoop::Run() {
    return Loop_ ? sd_event_loop(Loop_) : -EINVAL;
}

void TEventLoop::Exit(int code) {
    if (Loop_)
        sd_event_exit(Loop_, code);
}

int TEventLoop::Fd() const {
    return Loop_ ? sd_event_get_fd(Loop_) : -EINVAL;
}

int TEventLoop::RunOnce() {
    if (!Loop_)
        return -EINVAL;
    if (Dispatching())
        return -EBUSY;
    if (Finished())
        return 0;
    return sd_event_run(Loop_, 0);
}

bool TEventLoop::Dispatching() const {
    if (!Loop_)
        return false;
    const int state = sd_event_get_state(Loop_);
    return state != SD_EVENT_INITIAL && state != SD_EVENT_FINISHED && state >= 0;
}

bool TEventLoop::Finished() const {
    return Loop_ && sd_event_get_state(Loop_) == SD_EVENT_FINISHED;
}

int TEventLoop::ExitCode() const {
    int code = 0;
    if (Loop_ && sd_event_get_exit_code(Loop_, &code) < 0)
        return 0;
    return code;
}
