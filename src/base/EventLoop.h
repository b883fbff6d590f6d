// SPDX-License-Identifier: MIT
#pragma once

// The one place that speaks sd-event: the loop and its sources (io, time, signal), owned.
// It lives with the host because the host's device monitor is the lowest layer that runs on
// the loop; the bus and the server build on it, and it needs neither of them.
//
// Contract: nothing here blocks except TEventLoop::Run(), which dispatches until Exit() and
// returns the exit code (negative errno when the loop failed). Handlers run on the loop's
// thread, one at a time; an exception from a handler ends that handler only (it is logged there;
// a handler with more to report about it catches it itself). Adding a source
// returns an empty TEventSource when sd-event refuses it. A TEventSource is disabled and
// released when it is destroyed, so its handler never runs afterwards.

#include <cstdint>
#include <functional>
#include <memory>

struct sd_event;
struct sd_event_source;

class TEventSource {
public:
    enum class TEnabled { Off, On, OneShot };

    TEventSource();
    ~TEventSource();
    TEventSource(TEventSource&&) noexcept;
    TEventSource& operator=(TEventSource&&) noexcept;

    explicit operator bool() const;
    bool SetEnabled(TEnabled enabled);
    // False for Off (or an empty source).
    bool IsEnabled() const;
    // A time source: when it fires, absolute CLOCK_MONOTONIC in µs.
    bool SetTime(std::uint64_t usec);
    // An io source: the EPOLL* events it waits for.
    bool SetIoEvents(std::uint32_t events);
    // Runs before the loop polls, each iteration (while the source is enabled).
    bool SetPrepare(std::function<void()> prepare);
    void SetDescription(const char* description);

    // The source and its handlers; opaque, for the loop's callbacks.
    struct TState;

private:
    friend class TEventLoop;
    explicit TEventSource(std::unique_ptr<TState> state);
    std::unique_ptr<TState> State_;
};

class TEventLoop {
public:
    // Empty; Valid() is false.
    TEventLoop() = default;
    // Shares a loop made elsewhere (takes a reference of its own).
    explicit TEventLoop(sd_event* loop);
    // The calling thread's default loop; an empty loop when it cannot be made.
    static TEventLoop Default();
    ~TEventLoop();
    TEventLoop(const TEventLoop& other);
    TEventLoop& operator=(TEventLoop other) noexcept;

    bool Valid() const { return Loop_ != nullptr; }
    sd_event* Get() const { return Loop_; }

    // Watches fd for the EPOLL* events; the handler gets the events that came.
    TEventSource AddIo(int fd, std::uint32_t events, std::function<void(std::uint32_t)> handler);
    // A CLOCK_MONOTONIC timer, made disabled: SetTime, then SetEnabled(OneShot).
    TEventSource AddTimer(std::function<void()> handler);
    // Takes the signal through the loop; the caller must have blocked it (sigprocmask).
    TEventSource AddSignal(int signal, std::function<void()> handler);

    // The loop's CLOCK_MONOTONIC time in µs (of this iteration when it runs).
    std::uint64_t Now() const;
    // Dispatches until Exit(); the exit code, or a negative errno when the loop failed.
    int Run();
    // Asks Run() to return code once the handler in progress has returned.
    void Exit(int code);

    // For a foreign loop that carries this one: the fd to poll for input (it becomes readable
    // when any source, timers included, is due), one step that dispatches what is due without
    // waiting (>0 when it dispatched, 0 when nothing was due, a negative errno on failure;
    // -EBUSY inside a handler of this loop), and whether Exit() ended the loop, with its code.
    // The carrier runs a step whenever the fd is readable and before it goes to sleep, so that
    // the loop's prepare callbacks and timers are armed for the next wait.
    int Fd() const;
    int RunOnce();
    bool Dispatching() const;
    bool Finished() const;
    int ExitCode() const;

private:
    sd_event* Loop_ = nullptr;
};
