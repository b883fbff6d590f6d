// SPDX-License-Identifier: MIT
#include "bus/BusConnection.h"

#include "base/DebugLog.h"
#include "base/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Runs a handler of the bus's users where nothing may be thrown: inside sd-bus's or sd-event's
// C frames, or on the way back to them. A failure is logged and the pump goes on.
template <typename F> void Guarded(std::string_view what, F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& error) {
        ConfDebugString(std::string("TZEMBBus.") + std::string(what) + " " + error.what());
    } catch (...) {
        ConfDebugString(std::string("TZEMBBus.") + std::string(what) + " unknown exception");
    }
}

} // namespace

// One client's name under watch: an sd_bus_track of that name alone, whose handler runs when it
// empties, i.e. when the name leaves the bus. The bus daemon then sends only that name's
// NameOwnerChanged (a match on arg0), so nobody else's comings and goings reach the process.
struct TZEMBBus::TWatchedName {
    TZEMBBus* Bus = nullptr;
    std::string Name;
    sd_bus_track* Track = nullptr;
    TWatchedName() = default;
    TWatchedName(const TWatchedName&) = delete;
    TWatchedName& operator=(const TWatchedName&) = delete;
    ~TWatchedName() { sd_bus_track_unref(Track); }

    // Runs inside sd_bus_process: only note the name; the handler runs once it has returned.
    static int OnEmpty(sd_bus_track*, void* userdata) {
        auto* self = static_cast<TWatchedName*>(userdata);
        Guarded("NameOwnerChanged", [&] { self->Bus->Vanished_.push_back(self->Name); });
        return 0;
    }
};

struct TZEMBBus::TEventAttachment {
    TEventLoop Loop;
    TEventSource Io;
    TEventSource Time;
    // Sends the held output a little after the turn that gathered it.
    TEventSource Flush;
};

namespace {
// How long held output may wait after the turn that gathered it: a stream of calls writes its
// debug lines once per pipe's worth and sends one change signal instead of one a call, and a
// reader sees both at once all the same.
constexpr std::uint64_t HeldOutputDelayUsec = 10000;
} // namespace

void TBusError::Set(std::string_view name, std::string_view message) {
    sd_bus_error_free(&E_);
    sd_bus_error_set(&E_, std::string(name).c_str(), std::string(message).c_str());
}

void TBusError::SetErrno(int error, std::string_view message) {
    sd_bus_error_free(&E_);
    sd_bus_error_set_errnof(&E_, error, "%s: %s", std::string(message).c_str(),
                            std::strerror(error));
}

TBusMessage TBusMessage::MethodReturn(const TBusMessage& call) {
    TBusMessage reply;
    if (sd_bus_message_new_method_return(call.Get(), reply.Out()) < 0)
        return {};
    return reply;
}

bool TBusMessage::AppendStrings(const std::vector<std::string>& strings) {
    std::vector<const char*> items;
    items.reserve(strings.size() + 1);
    for (const std::string& text : strings)
        items.push_back(text.c_str());
    items.push_back(nullptr);
    // sd-bus only reads the array.
    return sd_bus_message_append_strv(M_, const_cast<char**>(items.data())) >= 0;
}

int TBusMessage::ReadStrings(std::vector<std::string>& strings) {
    int r = sd_bus_message_enter_container(M_, 'a', "s");
    if (r < 0)
        return r;
    const char* item = nullptr;
    while ((r = sd_bus_message_read(M_, "s", &item)) > 0)
        strings.emplace_back(item);
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(M_);
}

std::string TBusMessage::Signature() const {
    const char* signature = sd_bus_message_get_signature(M_, true);
    return signature ? signature : "";
}

std::string TBusMessage::Sender() const {
    const char* sender = sd_bus_message_get_sender(M_);
    return sender ? sender : "";
}

bool TBusMessage::ExpectsReply() const {
    return sd_bus_message_get_expect_reply(M_) > 0;
}

void TBusMessage::SetNoReply() {
    sd_bus_message_set_expect_reply(M_, 0);
}

bool TBusMessage::OpenContainer(char type, const char* contents) {
    return sd_bus_message_open_container(M_, type, contents) >= 0;
}

bool TBusMessage::CloseContainer() {
    return sd_bus_message_close_container(M_) >= 0;
}

bool TBusMessage::EnterContainer(char type, const char* contents) {
    return sd_bus_message_enter_container(M_, type, contents) > 0;
}

bool TBusMessage::ExitContainer() {
    return sd_bus_message_exit_container(M_) >= 0;
}

bool TBusMessage::AtEnd() const {
    return sd_bus_message_at_end(M_, false) > 0;
}

bool TBusMessage::SealForReading() {
    static std::uint64_t cookie = 0;
    return sd_bus_message_seal(M_, ++cookie, 0) >= 0 && sd_bus_message_rewind(M_, true) >= 0;
}

std::shared_ptr<TZEMBBus> TZEMBBus::OpenAddress(const std::string& address, std::string& error) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) {
        auto owned = std::shared_ptr<TZEMBBus>(new TZEMBBus(bus));
        if ((r = sd_bus_set_address(bus, address.c_str())) >= 0 &&
            (r = sd_bus_set_bus_client(bus, 1)) >= 0 && (r = sd_bus_start(bus)) >= 0)
            return owned;
    }
    error = "cannot connect to the bus at " + address + ": " + std::strerror(-r);
    return nullptr;
}

std::shared_ptr<TZEMBBus> TZEMBBus::OpenForMessagesOnly() {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        std::terminate(); // out of memory at start-up
    auto owned = std::shared_ptr<TZEMBBus>(new TZEMBBus(bus));
    // A peer end that never answers: the connection stays open (messages can be made) and
    // never gets past authentication, so nothing is ever sent or flushed.
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
        owned->Peer_ = TUniqueFd(fds[1]);
        if (sd_bus_set_fd(bus, fds[0], fds[0]) < 0)
            ::close(fds[0]);
        else
            sd_bus_start(bus); // the bus owns the descriptor now, started or not
    }
    return owned;
}

std::shared_ptr<TZEMBBus> TZEMBBus::OpenSession(std::string& error) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_user(&bus);
    if (r < 0) {
        error = std::string("cannot connect to the session bus: ") + std::strerror(-r);
        return nullptr;
    }
    return std::shared_ptr<TZEMBBus>(new TZEMBBus(bus));
}

TZEMBBus::TZEMBBus(sd_bus* bus) : Bus_(bus) {}

TZEMBBus::~TZEMBBus() {
    DetachEvent();
    Watched_.clear();
    if (Bus_) {
        if (!Peer_.Valid())
            sd_bus_flush(Bus_);
        sd_bus_close(Bus_);
        sd_bus_unref(Bus_);
    }
}

std::string TZEMBBus::UniqueName() const {
    const char* name = nullptr;
    if (sd_bus_get_unique_name(Bus_, &name) < 0 || !name)
        return {};
    return name;
}

bool TZEMBBus::RequestName(std::string_view name, std::string& error) {
    int r = sd_bus_request_name(Bus_, std::string(name).c_str(), 0);
    if (r < 0) {
        error = "cannot own the bus name " + std::string(name) + ": " + std::strerror(-r);
        return false;
    }
    return true;
}

bool TZEMBBus::WatchVanishingNames(TNameVanishedHandler handler) {
    VanishedHandler_ = std::move(handler);
    return true;
}

void TZEMBBus::WatchName(const std::string& uniqueName) {
    if (uniqueName.empty() || Watched_.contains(uniqueName))
        return;
    auto watched = std::make_unique<TWatchedName>();
    watched->Bus = this;
    watched->Name = uniqueName;
    // Adding asks the bus daemon whether the name is there (one round trip per client).
    int r = sd_bus_track_new(Bus_, &watched->Track, &TWatchedName::OnEmpty, watched.get());
    if (r >= 0)
        r = sd_bus_track_add_name(watched->Track, uniqueName.c_str());
    if (r >= 0) {
        Watched_.emplace(uniqueName, std::move(watched));
        return;
    }
    watched.reset();
    if (!NameHasOwner(uniqueName))
        Vanished_.push_back(uniqueName);
    else
        ConfDebugString("TZEMBBus.WatchName " + uniqueName + ": " + std::strerror(-r));
}

void TZEMBBus::DrainVanished() {
    if (Draining_)
        return;
    Draining_ = true;
    while (!Vanished_.empty()) {
        std::string name = std::move(Vanished_.front());
        Vanished_.pop_front();
        Watched_.erase(name);
        if (VanishedHandler_)
            Guarded("NameVanished", [&] { VanishedHandler_(name); });
    }
    Draining_ = false;
}

void ReplyError(TZEMBBus& bus, const TBusMessage& call, std::string_view name,
                std::string_view message) {
    if (sd_bus_message_get_expect_reply(call.Get()) <= 0)
        return;
    TBusError error;
    error.Set(name, message);
    TBusMessage reply;
    if (sd_bus_message_new_method_error(call.Get(), reply.Out(), error.Get()) < 0)
        return;
    bus.Send(reply);
}

void TZEMBBus::Dispatch(const TBusMessage& m) {
    std::uint8_t type = 0;
    if (sd_bus_message_get_type(m.Get(), &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL)
        return; // stray replies (of calls given up) and signals nobody matched
    if (!MethodHandler_) {
        ReplyError(*this, m, SD_BUS_ERROR_UNKNOWN_OBJECT, "No objects here.");
        return;
    }
    const char* senderName = sd_bus_message_get_sender(m.Get());
    std::string sender = senderName ? senderName : "";
    if (CallDepth_ >= MaxCallDepth) {
        if (std::find(Serving_.begin(), Serving_.end(), sender) != Serving_.end())
            ReplyError(*this, m, BusErrorName::NestingLimit,
                       "Calls nested deeper than " + std::to_string(MaxCallDepth) +
                           " levels are refused.");
        else
            Held_.push_back(m);
        return;
    }
    Serving_.push_back(std::move(sender));
    try {
        MethodHandler_(m);
    } catch (...) {
        ReplyError(*this, m, "org.zemb.ZEMB.Error.Unexpected", "Catastrophic failure");
    }
    Serving_.pop_back();
}

int TZEMBBus::ProcessOne() {
    // Calls held at the depth limit go first, in the order they came, once the depth allows.
    if (!Held_.empty() && CallDepth_ < MaxCallDepth) {
        TBusMessage held = std::move(Held_.front());
        Held_.pop_front();
        Dispatch(held);
        return 1;
    }
    TBusMessage m;
    int r = sd_bus_process(Bus_, m.Out());
    if (r < 0)
        return r;
    DrainVanished();
    if (m) {
        Dispatch(m);
        return 1;
    }
    return r;
}

bool TZEMBBus::Process() {
    for (;;) {
        int r = ProcessOne();
        if (r < 0)
            return false;
        if (r == 0)
            return true;
    }
}

bool TZEMBBus::WaitAndProcess(std::chrono::microseconds timeout) {
    int r = sd_bus_wait(Bus_, timeout.count() < 0 ? UINT64_MAX
                                                  : static_cast<std::uint64_t>(timeout.count()));
    if (r < 0 && r != -EINTR)
        return false;
    return Process();
}

namespace {

struct TPendingReply {
    TBusMessage Reply;
    bool Done = false;
};

int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<TPendingReply*>(userdata);
    pending->Reply = TBusMessage::Ref(m);
    pending->Done = true;
    return 0;
}

} // namespace

struct TZEMBBus::TCallGroup {
    struct TSent {
        TPendingReply Pending;
        TBusSlot Slot;
        std::string Member;
    };
    int Depth = 0;
    std::vector<std::unique_ptr<TSent>> Sent; // stable addresses: the reply callbacks hold them
};

void TZEMBBus::BeginCallGroup() {
    auto group = std::make_unique<TCallGroup>();
    group->Depth = CallDepth_;
    Groups_.push_back(std::move(group));
}

std::vector<TZEMBBus::TCallFailure> TZEMBBus::EndCallGroup() {
    std::vector<TCallFailure> failures;
    if (Groups_.empty())
        return failures;
    std::unique_ptr<TCallGroup> group = std::move(Groups_.back());
    Groups_.pop_back();
    auto allDone = [&] {
        return std::ranges::all_of(group->Sent, [](const auto& s) { return s->Pending.Done; });
    };
    ++CallDepth_;
    while (!allDone()) {
        int r = ProcessOne();
        if (r < 0)
            break;
        if (r == 0 && !allDone()) {
            r = WaitNested();
            if (r < 0 && r != -EINTR)
                break;
        }
    }
    --CallDepth_;
    for (const auto& sent : group->Sent) {
        if (!sent->Pending.Done) {
            failures.push_back(
                {sent->Member, SD_BUS_ERROR_DISCONNECTED, "The connection to the bus was lost."});
            continue;
        }
        const sd_bus_error* e = sd_bus_message_get_error(sent->Pending.Reply.Get());
        if (e)
            failures.push_back({sent->Member, e->name ? e->name : SD_BUS_ERROR_FAILED,
                                e->message ? e->message : ""});
    }
    return failures;
}

std::unique_ptr<TZEMBBus::TAsyncReply> TZEMBBus::CallAsync(const TBusMessage& call,
                                                           std::chrono::microseconds timeout,
                                                           std::function<void()> onArrival) {
    auto async = std::make_unique<TAsyncReply>();
    async->OnArrival = std::move(onArrival);
    const auto arrived = [](sd_bus_message* m, void* userdata, sd_bus_error*) noexcept {
        auto* reply = static_cast<TAsyncReply*>(userdata);
        reply->Reply = TBusMessage::Ref(m);
        reply->Done = true;
        if (reply->OnArrival)
            Guarded("AsyncReply", [&] { reply->OnArrival(); });
        return 0;
    };
    sd_bus_slot* rawSlot = nullptr;
    if (sd_bus_call_async(Bus_, &rawSlot, call.Get(), arrived, async.get(),
                          static_cast<std::uint64_t>(timeout.count())) < 0)
        return nullptr;
    async->Slot.reset(rawSlot);
    return async;
}

TBusMessage TZEMBBus::Call(const TBusMessage& call, std::chrono::microseconds timeout,
                           TBusError& error) {
    if (!Groups_.empty() && Groups_.back()->Depth == CallDepth_) {
        auto sent = std::make_unique<TCallGroup::TSent>();
        const char* member = sd_bus_message_get_member(call.Get());
        sent->Member = member ? member : "";
        sd_bus_slot* rawSlot = nullptr;
        const int r = sd_bus_call_async(Bus_, &rawSlot, call.Get(), &OnReply, &sent->Pending,
                                        static_cast<std::uint64_t>(timeout.count()));
        if (r < 0) {
            error.Set(SD_BUS_ERROR_DISCONNECTED,
                      std::string("cannot send the call: ") + std::strerror(-r));
            return {};
        }
        sent->Slot.reset(rawSlot);
        Groups_.back()->Sent.push_back(std::move(sent));
        return {};
    }
    TPendingReply pending;
    sd_bus_slot* rawSlot = nullptr;
    int r = sd_bus_call_async(Bus_, &rawSlot, call.Get(), &OnReply, &pending,
                              static_cast<std::uint64_t>(timeout.count()));
    if (r < 0) {
        error.Set(SD_BUS_ERROR_DISCONNECTED,
                  std::string("cannot send the call: ") + std::strerror(-r));
        return {};
    }
    // Freed on every way out, which forgets the callback if no reply came.
    TBusSlot slot(rawSlot);
    ++CallDepth_;
    while (!pending.Done) {
        r = ProcessOne();
        if (r < 0)
            break;
        if (pending.Done)
            break;
        if (r == 0) {
            r = WaitNested();
            if (r < 0 && r != -EINTR)
                break;
        }
    }
    --CallDepth_;
    if (!pending.Done) {
        error.Set(SD_BUS_ERROR_DISCONNECTED, "The connection to the bus was lost.");
        return {};
    }
    const sd_bus_error* replyError = sd_bus_message_get_error(pending.Reply.Get());
    if (replyError) {
        error.Set(replyError->name ? replyError->name : SD_BUS_ERROR_FAILED,
                  replyError->message ? replyError->message : "");
        return {};
    }
    return pending.Reply;
}

int TZEMBBus::WaitNested() {
    // A call out may wait long: what is held so far goes out before it does.
    SendHeldOutput();
    if (NestedFd_ < 0)
        return sd_bus_wait(Bus_, UINT64_MAX);
    int timeoutMs = -1;
    if (const std::uint64_t until = TimeoutUsec(); until != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t nowUsec = std::uint64_t(now.tv_sec) * 1000000u + now.tv_nsec / 1000;
        timeoutMs =
            until <= nowUsec
                ? 0
                : static_cast<int>(std::min<std::uint64_t>((until - nowUsec + 999) / 1000, 60000));
    }
    pollfd fds[2] = {{Fd(), Events(), 0}, {NestedFd_, POLLIN, 0}};
    const int r = poll(fds, 2, timeoutMs);
    if (r < 0)
        return -errno;
    if ((fds[1].revents & POLLIN) && NestedHandler_)
        Guarded("NestedWatch", [&] { NestedHandler_(); });
    return r;
}

bool TZEMBBus::Send(const TBusMessage& message) {
    return sd_bus_send(Bus_, message.Get(), nullptr) >= 0;
}

int TZEMBBus::NewMethodCall(TBusMessage& call, const char* destination, const char* path,
                            const char* interface, const char* member) {
    return sd_bus_message_new_method_call(Bus_, call.Out(), destination, path, interface, member);
}

int TZEMBBus::CallBlocking(const TBusMessage& call, std::chrono::microseconds timeout,
                           TBusMessage& reply, TBusError& error) {
    return sd_bus_call(Bus_, call.Get(), static_cast<std::uint64_t>(timeout.count()), error.Get(),
                       reply.Out());
}

int TZEMBBus::CallBlocking(const char* destination, const char* path, const char* interface,
                           const char* member, std::chrono::microseconds timeout,
                           TBusMessage& reply, TBusError& error) {
    TBusMessage call;
    int r = NewMethodCall(call, destination, path, interface, member);
    return r < 0 ? r : CallBlocking(call, timeout, reply, error);
}

namespace {
constexpr const char* DaemonName = "org.freedesktop.DBus";
constexpr const char* DaemonPath = "/org/freedesktop/DBus";
} // namespace

bool TZEMBBus::NameHasOwner(const std::string& name, std::chrono::microseconds timeout) {
    TBusMessage call, reply;
    TBusError error;
    int owned = 0;
    return NewMethodCall(call, DaemonName, DaemonPath, DaemonName, "NameHasOwner") >= 0 &&
           sd_bus_message_append_basic(call.Get(), 's', name.c_str()) >= 0 &&
           CallBlocking(call, timeout, reply, error) >= 0 &&
           sd_bus_message_read_basic(reply.Get(), 'b', &owned) > 0 && owned;
}

int TZEMBBus::NameOwnerPid(const std::string& name, std::chrono::microseconds timeout) {
    TBusMessage call, reply;
    TBusError error;
    std::uint32_t pid = 0;
    if (NewMethodCall(call, DaemonName, DaemonPath, DaemonName, "GetConnectionUnixProcessID") < 0 ||
        sd_bus_message_append_basic(call.Get(), 's', name.c_str()) < 0 ||
        CallBlocking(call, timeout, reply, error) < 0 ||
        sd_bus_message_read_basic(reply.Get(), 'u', &pid) <= 0)
        return -1;
    return static_cast<int>(pid);
}

bool TZEMBBus::ReplyEmpty(const TBusMessage& call) {
    return sd_bus_reply_method_return(call.Get(), "") >= 0;
}

bool TZEMBBus::EmitSignal(const char* path, const char* interface, const char* member) {
    return sd_bus_emit_signal(Bus_, path, interface, member, "") >= 0;
}

int TZEMBBus::NewSignal(TBusMessage& signal, const char* path, const char* interface,
                        const char* member) {
    return sd_bus_message_new_signal(Bus_, signal.Out(), path, interface, member);
}

int TZEMBBus::MatchSignal(TBusSignalMatch& match, const char* sender, const char* path,
                          const char* interface, const char* member,
                          std::function<void()> handler) {
    if (!handler)
        return MatchSignal(match, sender, path, interface, member,
                           std::function<void(TBusMessage&)>());
    return MatchSignal(match, sender, path, interface, member,
                       [handler = std::move(handler)](TBusMessage&) { handler(); });
}

int TZEMBBus::MatchSignal(TBusSignalMatch& match, const char* sender, const char* path,
                          const char* interface, const char* member,
                          std::function<void(TBusMessage&)> handler) {
    match = TBusSignalMatch();
    auto owned = std::make_unique<std::function<void(TBusMessage&)>>(std::move(handler));
    auto onSignal = [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
        auto& f = *static_cast<std::function<void(TBusMessage&)>*>(userdata);
        if (f) {
            TBusMessage signal = TBusMessage::Ref(m);
            Guarded("Signal", [&] { f(signal); });
        }
        return 0;
    };
    sd_bus_slot* slot = nullptr;
    int r =
        sd_bus_match_signal(Bus_, &slot, sender, path, interface, member, onSignal, owned.get());
    if (r < 0)
        return r;
    match.Handler_ = std::move(owned);
    match.Slot_.reset(slot);
    return r;
}

void TZEMBBus::Flush() {
    sd_bus_flush(Bus_);
}

bool TZEMBBus::IsOpen() const {
    return sd_bus_is_open(Bus_) > 0;
}

int TZEMBBus::Fd() const {
    return sd_bus_get_fd(Bus_);
}

short TZEMBBus::Events() const {
    int events = sd_bus_get_events(Bus_);
    return events < 0 ? short(POLLIN) : static_cast<short>(events);
}

std::uint64_t TZEMBBus::TimeoutUsec() const {
    std::uint64_t until = UINT64_MAX;
    if (sd_bus_get_timeout(Bus_, &until) < 0)
        return UINT64_MAX;
    return until;
}

bool TZEMBBus::MoreBuffered() const {
    if ((!Held_.empty() && CallDepth_ < MaxCallDepth) || !Vanished_.empty())
        return true;
    // The bus's time-out is "now" while it holds messages already read (or work of its own).
    std::uint64_t until = UINT64_MAX;
    return sd_bus_get_timeout(Bus_, &until) > 0 && until == 0;
}

void TZEMBBus::ProcessFromEvent() {
    // Steps while the bus holds more than it has handed out; then back to the loop, whose poll
    // tells when the socket has more: a further step would only read it empty.
    int r = 0;
    do
        r = ProcessOne();
    while (r > 0 && MoreBuffered());
    if (r >= 0)
        return;
    // A lost connection stays readable (hang-up): stop watching it instead of spinning.
    if (Event_) {
        Event_->Io.SetEnabled(TEventSource::TEnabled::Off);
        Event_->Time.SetEnabled(TEventSource::TEnabled::Off);
    }
    if (LostHandler_)
        Guarded("ConnectionLost", [&] { LostHandler_(); });
}

bool TZEMBBus::HeldOutputWaiting() {
    bool waiting = false;
    if (HeldWaiting_)
        Guarded("HeldOutput", [&] { waiting = HeldWaiting_(); });
    return waiting || DebugOutputWaiting();
}

void TZEMBBus::SendHeldOutput() {
    // First: what it sends may write debug lines of its own.
    if (HeldSend_ && HeldWaiting_)
        Guarded("HeldOutput", [&] {
            if (HeldWaiting_())
                HeldSend_();
        });
    FlushDebugOutput();
}

void TZEMBBus::OnPrepare() {
    // Held output goes out shortly after the turn's replies; an idle loop arms nothing.
    if (!Event_->Flush.IsEnabled() && HeldOutputWaiting() &&
        Event_->Flush.SetTime(Event_->Loop.Now() + HeldOutputDelayUsec))
        Event_->Flush.SetEnabled(TEventSource::TEnabled::OneShot);
    int events = sd_bus_get_events(Bus_);
    if (events >= 0)
        Event_->Io.SetIoEvents(static_cast<std::uint32_t>(events));
    std::uint64_t until = TimeoutUsec();
    if (until == UINT64_MAX) {
        Event_->Time.SetEnabled(TEventSource::TEnabled::Off);
    } else {
        Event_->Time.SetTime(until);
        Event_->Time.SetEnabled(TEventSource::TEnabled::OneShot);
    }
}

bool TZEMBBus::AttachEvent(sd_event* event) {
    DetachEvent();
    TEventLoop loop(event);
    auto attachment = std::make_unique<TEventAttachment>();
    attachment->Io = loop.AddIo(Fd(), EPOLLIN, [this](std::uint32_t) { ProcessFromEvent(); });
    if (!attachment->Io)
        return false;
    attachment->Time = loop.AddTimer([this] { ProcessFromEvent(); });
    if (!attachment->Time)
        return false;
    attachment->Flush = loop.AddTimer([this] { SendHeldOutput(); });
    if (!attachment->Flush)
        return false;
    attachment->Flush.SetDescription("zemb-held-output");
    attachment->Loop = loop;
    attachment->Io.SetPrepare([this] { OnPrepare(); });
    attachment->Io.SetDescription("zemb-bus");
    Event_ = std::move(attachment);
    return true;
}

void TZEMBBus::DetachEvent() {
    Event_.reset();
}
