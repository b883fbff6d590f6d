// SPDX-License-Identifier: MIT
#pragma once

// The one place that speaks sd-bus: RAII over the connection, messages and slots, and the
// pump that both the server and the client library run.
//
// Contract of the pump: sd_bus_process only ever runs inside TZEMBBus::Process(); every
// incoming method call it hands back is dispatched to the method handler after
// sd_bus_process has returned, so the handler may itself call out (Call) and the pump serves
// further incoming calls while it waits, at any depth. Nothing here takes a lock; a TZEMBBus
// belongs to the thread that made it.

#include "base/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <systemd/sd-bus.h>
#include <unordered_map>
#include <vector>

struct sd_event;

// D-Bus error names the bus layer's users reply with; the bus daemon's own names otherwise.
namespace BusErrorName {
inline constexpr const char* Failed = "org.freedesktop.DBus.Error.Failed";
inline constexpr const char* UnknownObject = "org.freedesktop.DBus.Error.UnknownObject";
inline constexpr const char* UnknownInterface = "org.freedesktop.DBus.Error.UnknownInterface";
inline constexpr const char* UnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
inline constexpr const char* InvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr const char* NoReply = "org.freedesktop.DBus.Error.NoReply";
inline constexpr const char* ServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";
inline constexpr const char* NestingLimit = "org.zemb.ZEMB.Error.NestingLimit";
} // namespace BusErrorName

// An owned reference to a message; empty when no message.
class TBusMessage {
public:
    TBusMessage() = default;
    // Takes over a reference the caller owns.
    static TBusMessage Adopt(sd_bus_message* m) {
        TBusMessage r;
        r.M_ = m;
        return r;
    }
    // Adds a reference of its own.
    static TBusMessage Ref(sd_bus_message* m) { return Adopt(sd_bus_message_ref(m)); }
    TBusMessage(const TBusMessage& o) : M_(o.M_ ? sd_bus_message_ref(o.M_) : nullptr) {}
    TBusMessage(TBusMessage&& o) noexcept : M_(o.M_) { o.M_ = nullptr; }
    TBusMessage& operator=(TBusMessage o) noexcept {
        std::swap(M_, o.M_);
        return *this;
    }
    ~TBusMessage() { sd_bus_message_unref(M_); }
    sd_bus_message* Get() const { return M_; }
    sd_bus_message** Out() {
        *this = TBusMessage();
        return &M_;
    }
    explicit operator bool() const { return M_ != nullptr; }

    // The method return of call, to be filled and sent; empty when the caller wants no reply
    // or it cannot be made.
    static TBusMessage MethodReturn(const TBusMessage& call);
    // Appends an array of strings (as). False when the message refuses it (e.g. no UTF-8).
    bool AppendStrings(const std::vector<std::string>& strings);
    // Reads an array of strings (as) at the read position into strings. >= 0 on success, a
    // negative errno when the message holds no such array or it is unreadable.
    int ReadStrings(std::vector<std::string>& strings);

    // The message's header and arguments; none of these block. Typed values are read and
    // written with ReadArgs / AppendArgs of bus/Marshal.h.
    // The signature of all arguments ("" for none).
    std::string Signature() const;
    bool HasSignature(std::string_view signature) const {
        const char* own = sd_bus_message_get_signature(M_, true);
        return std::string_view(own ? own : "") == signature;
    }
    // The sender's unique name; empty when the message names none (a direct connection).
    std::string Sender() const;
    bool IsError() const { return M_ && sd_bus_message_is_method_error(M_, nullptr) > 0; }
    // False for a method call sent with "no reply expected" (and for signals and replies).
    bool ExpectsReply() const;
    // Marks a method call as wanting no reply; the receiver sends none.
    void SetNoReply();
    // Containers (type 'a', 'v', 'r' or 'e' with the signature of what they hold) around the
    // values that follow. Each is false when the message refuses (wrong type at the read
    // position, nothing left, a sealed message).
    bool OpenContainer(char type, const char* contents);
    bool CloseContainer();
    bool EnterContainer(char type, const char* contents);
    bool ExitContainer();
    // Whether the read position is at the end of the current container (or of the message).
    bool AtEnd() const;
    // Seals a message built here as sending would and rewinds it to its first argument, so
    // that it reads as the receiver would see it: for tests and fuzzers without a peer.
    bool SealForReading();

private:
    sd_bus_message* M_ = nullptr;
};

// Where an incoming method call is addressed. A part the message leaves out is empty (a call
// need not name its interface); the views live as long as the message.
struct TCallAddress {
    explicit TCallAddress(const TBusMessage& call) {
        const char* path = sd_bus_message_get_path(call.Get());
        const char* interface = sd_bus_message_get_interface(call.Get());
        const char* member = sd_bus_message_get_member(call.Get());
        Path = path ? path : "";
        Interface = interface ? interface : "";
        Member = member ? member : "";
    }
    // org.freedesktop.DBus.Introspectable.Introspect, with or without the interface named.
    bool IsIntrospect() const {
        return (Interface.empty() || Interface == "org.freedesktop.DBus.Introspectable") &&
               Member == "Introspect";
    }

    std::string Path;
    std::string_view Interface;
    std::string_view Member;
};

// A D-Bus error name and message, freed on scope exit.
class TBusError {
public:
    TBusError() = default;
    TBusError(const TBusError&) = delete;
    TBusError& operator=(const TBusError&) = delete;
    ~TBusError() { sd_bus_error_free(&E_); }
    sd_bus_error* Get() { return &E_; }
    bool IsSet() const { return sd_bus_error_is_set(&E_); }
    std::string_view Name() const { return E_.name ? E_.name : ""; }
    std::string_view Message() const { return E_.message ? E_.message : ""; }
    void Set(std::string_view name, std::string_view message);
    void SetErrno(int error, std::string_view message);

private:
    sd_bus_error E_ = SD_BUS_ERROR_NULL;
};

struct TBusSlotUnref {
    void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using TBusSlot = std::unique_ptr<sd_bus_slot, TBusSlotUnref>;

// A subscription to a signal; the handler runs inside Process() for each that arrives, until
// the match is destroyed.
class TBusSignalMatch {
public:
    explicit operator bool() const { return static_cast<bool>(Slot_); }

private:
    friend class TZEMBBus;
    std::unique_ptr<std::function<void(TBusMessage&)>> Handler_; // outlives the slot calling it
    TBusSlot Slot_;
};

// How deep calls may nest: a call out waits while incoming calls are served, and those may call
// out again. A client whose callback answers with another call drives that without end, and each
// level costs the thread's stack (a few KiB, several times that under AddressSanitizer); 64
// levels stay far inside the 8 MiB of the main thread, and a legitimate callback that calls back
// nests two or three deep.
inline constexpr int MaxCallDepth = 64;

class TZEMBBus : public std::enable_shared_from_this<TZEMBBus> {
public:
    // Incoming method call; the handler sends the reply (or none, for calls that want none).
    // It runs after sd_bus_process has returned; what it throws becomes an error reply.
    using TMethodHandler = std::function<void(const TBusMessage& call)>;
    // A unique bus name that left the bus (another process ended or closed its connection).
    // Runs inside Process(); whatever it throws is logged and dropped.
    using TNameVanishedHandler = std::function<void(const std::string& uniqueName)>;

    // Connects to the session bus ($DBUS_SESSION_BUS_ADDRESS). Null with error set on failure;
    // blocks for the connection's authentication only.
    static std::shared_ptr<TZEMBBus> OpenSession(std::string& error);
    // The same for the bus daemon at a D-Bus address ("unix:path=..."), e.g. a private one.
    static std::shared_ptr<TZEMBBus> OpenAddress(const std::string& address, std::string& error);
    // A connection that reaches nobody: only for making messages to be read back in the same
    // process (SealForReading). Never null.
    static std::shared_ptr<TZEMBBus> OpenForMessagesOnly();
    ~TZEMBBus();
    TZEMBBus(const TZEMBBus&) = delete;
    TZEMBBus& operator=(const TZEMBBus&) = delete;

    sd_bus* Get() const { return Bus_; }
    std::string UniqueName() const;
    // Takes a well-known name (not queued; fails when another process owns it).
    bool RequestName(std::string_view name, std::string& error);
    // The handler for the unique names WatchName watches.
    bool WatchVanishingNames(TNameVanishedHandler handler);
    // Watches one unique name (a client): when it leaves the bus the vanished handler runs for
    // it, once; a name that has left already counts as leaving now. Only watched names reach
    // the process: other programs joining and leaving the bus never wake it.
    void WatchName(const std::string& uniqueName);
    void SetMethodHandler(TMethodHandler handler) { MethodHandler_ = std::move(handler); }

    // Serves everything that is pending without blocking. False when the connection is lost.
    bool Process();
    // Blocks up to timeout for traffic (or the bus's own time-outs), then Process().
    bool WaitAndProcess(std::chrono::microseconds timeout);

    // Sends a call and pumps (serving incoming calls) until its reply or the time-out. The
    // reply may be an error reply: a time-out gives org.freedesktop.DBus.Error.NoReply, a lost
    // connection org.freedesktop.DBus.Error.Disconnected, both as error replies in error.
    // Returns the method return on success, an empty message with error set otherwise.
    TBusMessage Call(const TBusMessage& call, std::chrono::microseconds timeout, TBusError& error);
    // Sends a message without waiting for anything.
    bool Send(const TBusMessage& message);

    // A call sent without waiting: Reply (the method return, an error reply, or the time-out's
    // NoReply error) is set and OnArrival runs when Process or WaitAndProcess reads it. Letting
    // go of it forgets the call.
    struct TAsyncReply {
        TBusMessage Reply;
        bool Done = false;
        std::function<void()> OnArrival;
        TBusSlot Slot; // declared last: forgotten first
    };
    // Null when the call cannot be sent.
    std::unique_ptr<TAsyncReply> CallAsync(const TBusMessage& call,
                                           std::chrono::microseconds timeout,
                                           std::function<void()> onArrival = {});

    // A call group: from BeginCallGroup until EndCallGroup, a Call() made at this depth sends its
    // call and returns at once, an empty message with no error set; calls made deeper (by calls
    // served meanwhile) are not part of it. EndCallGroup pumps, serving incoming calls, until
    // every call of the group is answered or timed out, and returns the ones that failed, in the
    // order they were sent. So callbacks to many clients cost one time-out, not one per client,
    // and each client still receives its calls in the order they were made.
    struct TCallFailure {
        std::string Member;
        std::string ErrorName;
        std::string ErrorMessage;
    };
    void BeginCallGroup();
    std::vector<TCallFailure> EndCallGroup();

    // A method call without arguments yet. >= 0 with call set, a negative errno otherwise.
    int NewMethodCall(TBusMessage& call, const char* destination, const char* path,
                      const char* interface, const char* member);
    // Sends a call and blocks until its reply or the time-out, serving nothing else meanwhile:
    // for a connection of its own that offers no objects. >= 0 with reply set to the method
    // return; a negative errno otherwise, with error set to the error reply or to the local
    // failure (a time-out gives org.freedesktop.DBus.Error.Timeout).
    int CallBlocking(const TBusMessage& call, std::chrono::microseconds timeout, TBusMessage& reply,
                     TBusError& error);
    // A call without arguments, sent and waited for as CallBlocking does.
    int CallBlocking(const char* destination, const char* path, const char* interface,
                     const char* member, std::chrono::microseconds timeout, TBusMessage& reply,
                     TBusError& error);
    // Questions to the bus daemon, each blocking (serving nothing) until it answers or the
    // time-out passes. Whether a name has an owner now (false also when it cannot tell); the
    // process id of a name's owner, -1 when none or it cannot tell.
    bool NameHasOwner(const std::string& name,
                      std::chrono::microseconds timeout = std::chrono::seconds(10));
    int NameOwnerPid(const std::string& name,
                     std::chrono::microseconds timeout = std::chrono::seconds(10));
    // Replies to call with no arguments (nothing when no reply is wanted). False when it
    // cannot be sent.
    bool ReplyEmpty(const TBusMessage& call);
    // Emits a signal without arguments. False when it cannot be sent.
    bool EmitSignal(const char* path, const char* interface, const char* member);
    // A signal without arguments yet, to be filled and sent. >= 0 with signal set, a negative
    // errno otherwise.
    int NewSignal(TBusMessage& signal, const char* path, const char* interface, const char* member);
    // Subscribes to a signal (the bus resolves a well-known sender to its current owner;
    // null sender: any). The handler runs inside Process(); whatever it throws is logged and
    // dropped. >= 0 with match set, a negative errno otherwise.
    int MatchSignal(TBusSignalMatch& match, const char* sender, const char* path,
                    const char* interface, const char* member, std::function<void()> handler);
    // The same, the handler reading the signal's arguments.
    int MatchSignal(TBusSignalMatch& match, const char* sender, const char* path,
                    const char* interface, const char* member,
                    std::function<void(TBusMessage& signal)> handler);
    // Pushes queued output to the socket (blocks until written).
    void Flush();
    bool IsOpen() const;

    // For a foreign event loop: poll fd, poll events, and the absolute CLOCK_MONOTONIC time in
    // µs by which Process() must run even without traffic (UINT64_MAX: none, 0: now).
    int Fd() const;
    short Events() const;
    std::uint64_t TimeoutUsec() const;

    // Runs the pump from an sd-event loop: an io source on the bus fd and a timer for the
    // bus's own time-outs. Calls made while the pump waits for a reply do not return to
    // sd-event: timers and other sources wait until the outermost dispatch returns.
    bool AttachEvent(sd_event* event);
    void DetachEvent();
    // Called from the sd-event pump when the connection is lost (the sources are disabled);
    // whatever it throws is logged and dropped.
    void SetConnectionLostHandler(std::function<void()> handler) {
        LostHandler_ = std::move(handler);
    }

    // A descriptor watched beside the bus while a Call() or a call group waits for replies:
    // when it is readable, handler runs there, between incoming calls. sd-event's sources wait
    // for the outermost dispatch; this one cannot, since a call a client makes from inside its
    // callback may be waiting for what it announces (a device worker's finished transfer).
    // -1 stops watching. Whatever the handler throws is logged and dropped.
    void SetNestedWatch(int fd, std::function<void()> handler) {
        NestedFd_ = fd;
        NestedHandler_ = std::move(handler);
    }

    // Output gathered over several turns of the loop (e.g. one signal for many changes): when
    // the pump is about to wait and waiting() says something is held, send runs a little later
    // (10 ms, with the held debug lines), so a stream of calls costs one send, not one a turn;
    // before a call out waits it runs at once. Whatever either throws is logged and dropped.
    void SetHeldOutput(std::function<bool()> waiting, std::function<void()> send) {
        HeldWaiting_ = std::move(waiting);
        HeldSend_ = std::move(send);
    }

    // Depth of nested Call()s in progress (0: the pump is at the outermost level). At
    // MaxCallDepth an incoming call from a sender that is already being served further up (the
    // one driving the nesting) is answered with the error NestingLimit; a call from anyone else
    // is held and served, in arrival order, as soon as the depth falls: it is never refused.
    int CallDepth() const { return CallDepth_; }

private:
    explicit TZEMBBus(sd_bus* bus);
    // One sd_bus_process step plus the dispatch of what it handed back. <0: connection lost.
    int ProcessOne();
    void Dispatch(const TBusMessage& m);
    void DrainVanished();
    void ProcessFromEvent();
    // Whether a step of the pump would find something without reading the socket.
    bool MoreBuffered() const;
    void OnPrepare();
    // Waits for bus traffic (or the bus's own time-outs) and the nested watch; <0 on failure.
    int WaitNested();
    bool HeldOutputWaiting();
    // Sends what SetHeldOutput holds and writes the held debug lines.
    void SendHeldOutput();

    sd_bus* Bus_ = nullptr;
    TMethodHandler MethodHandler_;
    TNameVanishedHandler VanishedHandler_;
    std::function<void()> LostHandler_;
    int NestedFd_ = -1;
    std::function<void()> NestedHandler_;
    std::function<bool()> HeldWaiting_;
    std::function<void()> HeldSend_;
    struct TWatchedName;
    std::unordered_map<std::string, std::unique_ptr<TWatchedName>> Watched_;
    std::deque<std::string> Vanished_;
    bool Draining_ = false;
    int CallDepth_ = 0;
    std::deque<TBusMessage> Held_; // calls that arrived at MaxCallDepth, oldest first
    struct TCallGroup;
    std::vector<std::unique_ptr<TCallGroup>> Groups_; // innermost last
    std::vector<std::string> Serving_; // senders of the calls being dispatched, outermost first
    // The io and time sources of AttachEvent; none while detached.
    struct TEventAttachment;
    std::unique_ptr<TEventAttachment> Event_;
    // The far end of a connection made by OpenForMessagesOnly.
    TUniqueFd Peer_;
};

// Replies to a call with the D-Bus error name and message (no reply when none is wanted).
void ReplyError(TZEMBBus& bus, const TBusMessage& call, std::string_view name,
                std::string_view message);
