// SPDX-License-Identifier: MIT
#pragma once

// Stubs and proxies of the method table: moving the C++ parameters of a table method into and
// out of D-Bus messages, for direct calls (one D-Bus argument per parameter) and for Invoke
// (one variant per parameter inside an `av`). Both sides are instantiated from the method
// lists of ZEMB_TLB, so a method added there gets its stub and proxy here without code.

#include "bus/BusConnection.h"
#include "contract/InterfaceTable.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace ZEMB {

// Resolves callback references of the messages in hand: an object path of the peer becomes a
// callback object (server side), a callback object becomes a path it is exported at (client).
class IMarshalContext {
public:
    virtual ~IMarshalContext() = default;
    virtual std::shared_ptr<IZEMBEvent> ResolveEvent(const std::string& path) = 0;
    virtual std::shared_ptr<IZEMBHost> ResolveHost(const std::string& path) = 0;
    virtual std::string ExportEvent(const std::shared_ptr<IZEMBEvent>& event) = 0;
    virtual std::string ExportHost(const std::shared_ptr<IZEMBHost>& host) = 0;
};

enum class TMarshalResult { Ok, TypeMismatch, BadParamCount, Failed };

// D-Bus error name of a failure status, and back. E_UNEXPECTED is
// org.zemb.ZEMB.Error.Unexpected; the status travels in the message as "0x8000FFFF: ...".
std::string ErrorNameOf(HRESULT status);
std::string ErrorMessageOf(HRESULT status, std::string_view text);
HRESULT StatusOfError(std::string_view name, std::string_view message);

// D-Bus strings must be UTF-8; 8-bit text that is not (a device's name in another code page)
// is taken as Latin-1 so that the reply is not refused.
std::string ToValidUtf8(std::string_view text);

// --- reading and writing one value -------------------------------------------------------

template <typename T> struct TWire;
template <> struct TWire<std::int32_t> {
    static constexpr char Code = 'i';
    static constexpr const char* Sig = "i";
};
template <> struct TWire<std::uint8_t> {
    static constexpr char Code = 'y';
    static constexpr const char* Sig = "y";
};
template <> struct TWire<std::uint16_t> {
    static constexpr char Code = 'q';
    static constexpr const char* Sig = "q";
};
template <> struct TWire<std::uint32_t> {
    static constexpr char Code = 'u';
    static constexpr const char* Sig = "u";
};
template <> struct TWire<std::int64_t> {
    static constexpr char Code = 'x';
    static constexpr const char* Sig = "x";
};
template <> struct TWire<std::uint64_t> {
    static constexpr char Code = 't';
    static constexpr const char* Sig = "t";
};
template <> struct TWire<bool> { static constexpr const char* Sig = "b"; };
template <> struct TWire<std::string> { static constexpr const char* Sig = "s"; };
template <> struct TWire<TSafeByteArray> { static constexpr const char* Sig = "ay"; };
template <> struct TWire<std::shared_ptr<IZEMBEvent>> { static constexpr const char* Sig = "o"; };
template <> struct TWire<std::shared_ptr<IZEMBHost>> { static constexpr const char* Sig = "o"; };

// An object path as a value of its own (the factory's reply), apart from callback references.
struct TObjectPath {
    std::string Path;
};
template <> struct TWire<TObjectPath> { static constexpr const char* Sig = "o"; };
template <> struct TWire<std::vector<std::string>> { static constexpr const char* Sig = "as"; };

// One value; <0 errno on failure (-ENXIO: the value has another type).
template <typename T> int ReadValue(sd_bus_message* m, IMarshalContext&, T& value) {
    return sd_bus_message_read_basic(m, TWire<T>::Code, &value);
}
int ReadValue(sd_bus_message* m, IMarshalContext& ctx, bool& value);
int ReadValue(sd_bus_message* m, IMarshalContext& ctx, std::string& value);
int ReadValue(sd_bus_message* m, IMarshalContext& ctx, TSafeByteArray& value);
int ReadValue(sd_bus_message* m, IMarshalContext& ctx, std::shared_ptr<IZEMBEvent>& value);
int ReadValue(sd_bus_message* m, IMarshalContext& ctx, std::shared_ptr<IZEMBHost>& value);
int ReadValue(sd_bus_message* m, IMarshalContext& ctx, TObjectPath& value);
int ReadValue(sd_bus_message* m, IMarshalContext& ctx, std::vector<std::string>& value);

template <typename T> int WriteValue(sd_bus_message* m, IMarshalContext&, const T& value) {
    return sd_bus_message_append_basic(m, TWire<T>::Code, &value);
}
int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const bool& value);
int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const std::string& value);
int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const TSafeByteArray& value);
int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const std::shared_ptr<IZEMBEvent>& value);
int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const std::shared_ptr<IZEMBHost>& value);
int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const TObjectPath& value);
int WriteValue(sd_bus_message* m, IMarshalContext& ctx, const std::vector<std::string>& value);

// The same, each value inside a variant (the elements of Invoke's `av`). Reading past the last
// element gives 0.
template <typename T> int ReadVariant(sd_bus_message* m, IMarshalContext& ctx, T& value) {
    int r = sd_bus_message_enter_container(m, 'v', TWire<T>::Sig);
    if (r <= 0)
        return r;
    r = ReadValue(m, ctx, value);
    if (r < 0)
        return r;
    r = sd_bus_message_exit_container(m);
    return r < 0 ? r : 1;
}

template <typename T> int WriteVariant(sd_bus_message* m, IMarshalContext& ctx, const T& value) {
    int r = sd_bus_message_open_container(m, 'v', TWire<T>::Sig);
    if (r < 0)
        return r;
    r = WriteValue(m, ctx, value);
    if (r < 0)
        return r;
    return sd_bus_message_close_container(m);
}

template <typename T> int ReadArg(sd_bus_message* m, IMarshalContext& ctx, T& value, bool variant) {
    if (!variant)
        return ReadValue(m, ctx, value);
    int r = ReadVariant(m, ctx, value);
    return r == 0 ? -EBADMSG : r;
}

template <typename T>
int WriteArg(sd_bus_message* m, IMarshalContext& ctx, const T& value, bool variant) {
    return variant ? WriteVariant(m, ctx, value) : WriteValue(m, ctx, value);
}

// --- typed arguments of messages that carry no callback references -------------------------

// Resolves no callback reference and exports none ("/").
IMarshalContext& NoCallbacks();

// Appends the values as D-Bus arguments, in order, e.g. AppendArgs(call, std::int32_t(214)).
// Never blocks; false at the first value the message refuses (text that is no object path, a
// sealed message).
template <typename... T> bool AppendArgs(TBusMessage& m, const T&... values) {
    int r = 0;
    ((r = r < 0 ? r : WriteValue(m.Get(), NoCallbacks(), values)), ...);
    return r >= 0;
}

// Reads arguments at the read position into the values, in order. Never blocks; false when
// one is missing or has another type (values read before it are overwritten, the rest not).
template <typename... T> bool ReadArgs(TBusMessage& m, T&... values) {
    bool ok = true;
    ((ok = ok && ReadValue(m.Get(), NoCallbacks(), values) > 0), ...);
    return ok;
}

// Invoke's arguments: the dispatch identifier and each value inside a variant of the `av`.
template <typename... T>
bool AppendInvoke(TBusMessage& m, std::int32_t dispId, const T&... values) {
    if (!AppendArgs(m, dispId) || !m.OpenContainer('a', "v"))
        return false;
    int r = 0;
    ((r = r < 0 ? r : WriteVariant(m.Get(), NoCallbacks(), values)), ...);
    return r >= 0 && m.CloseContainer();
}

// Reads an `av` (Invoke's reply) whose elements hold exactly the values' types; false when it
// does not.
template <typename... T> bool ReadVariants(TBusMessage& m, T&... values) {
    if (!m.EnterContainer('a', "v"))
        return false;
    bool ok = true;
    ((ok = ok && ReadVariant(m.Get(), NoCallbacks(), values) > 0), ...);
    return ok && m.AtEnd() && m.ExitContainer();
}

// Replies to call with the values (nothing when the caller wants no reply). Never blocks;
// false when the reply cannot be made or queued.
template <typename... T>
bool ReplyArgs(TZEMBBus& bus, const TBusMessage& call, const T&... values) {
    if (!call.ExpectsReply())
        return true;
    TBusMessage reply = TBusMessage::MethodReturn(call);
    return reply && AppendArgs(reply, values...) && bus.Send(reply);
}

inline TMarshalResult MarshalResultOf(int r) {
    if (r >= 0)
        return TMarshalResult::Ok;
    if (r == -ENXIO)
        return TMarshalResult::TypeMismatch;
    if (r == -EBADMSG)
        return TMarshalResult::BadParamCount;
    return TMarshalResult::Failed;
}

// --- stubs: a message in, a C++ call, a reply out -------------------------------------------

template <typename T> struct TMethodTraits;
template <typename C, typename... A> struct TMethodTraits<HRESULT (C::*)(A...)> {
    using Class = C;
    using Values = std::tuple<std::remove_cvref_t<A>...>;
    static constexpr std::size_t Arity = sizeof...(A);
};

// The interfaces an object offers; a null pointer is an interface it does not implement.
struct TStubTarget {
    IZEMBServer* Server = nullptr;
    IZEMBServer2* Server2 = nullptr;
    IZEMBServer3* Server3 = nullptr;
    IZEMBServer4* Server4 = nullptr;
    IZEMBEvent* Event = nullptr;
    IZEMBHost* Host = nullptr;

    template <typename C> C* As() const {
        if constexpr (std::is_same_v<C, IZEMBServer>)
            return Server;
        else if constexpr (std::is_same_v<C, IZEMBServer2>)
            return Server2;
        else if constexpr (std::is_same_v<C, IZEMBServer3>)
            return Server3;
        else if constexpr (std::is_same_v<C, IZEMBServer4>)
            return Server4;
        else if constexpr (std::is_same_v<C, IZEMBEvent>)
            return Event;
        else
            return Host;
    }
};

// A call whose method sends its reply later (DeferReply). Complete sends it once: the reply
// values the method has written by then, or the error of a failure status. Dropped without
// Complete, it answers E_UNEXPECTED, so that no caller waits for its time-out. Main thread only.
class TDeferredReply {
public:
    TDeferredReply() = default;
    ~TDeferredReply();
    TDeferredReply(const TDeferredReply&) = delete;
    TDeferredReply& operator=(const TDeferredReply&) = delete;

    void Complete(HRESULT status = S_OK);

    // For the stub: what sends the reply. A Complete that came first is sent at once.
    void Arm(std::function<void(HRESULT)> send);

private:
    std::function<void(HRESULT)> Send_;
    HRESULT Early_ = S_OK;
    bool CompletedEarly_ = false;
    bool Done_ = false;
};

// Inside a table method that a stub is serving: takes the call's reply over. The stub then
// sends nothing, and the method's reply-value parameters stay valid (and are what is sent)
// until the returned reply is completed or dropped. Null outside a stub (a direct C++ call).
std::shared_ptr<TDeferredReply> DeferReply();

// The stub's side of DeferReply: a frame per method call, innermost current.
struct TDeferralFrame {
    std::shared_ptr<TDeferredReply> Reply;
    TDeferralFrame* Outer = nullptr;
};
TDeferralFrame*& CurrentDeferralFrame();

struct TStubResult {
    HRESULT Status = S_OK;
    TMarshalResult Marshal = TMarshalResult::Ok;
    // Set when the method deferred its reply: WriteLater appends the reply values then.
    std::shared_ptr<TDeferredReply> Deferred;
    std::function<int(sd_bus_message* out)> WriteLater;
};

// Reads the arguments from `in` (positioned at the first one; for Invoke inside the `av`),
// calls the method and appends the reply values to `out` (for Invoke inside an open `av`).
// Out values start as 0, false, empty.
template <auto Method, std::size_t Index>
TStubResult Stub(const TStubTarget& target, IMarshalContext& ctx, sd_bus_message* in,
                 sd_bus_message* out, bool variants) {
    using Traits = TMethodTraits<decltype(Method)>;
    using Values = typename Traits::Values;
    static_assert(Index < MethodCount, "method missing from the table");
    static_assert(MethodTable[Index].Params.size() == Traits::Arity,
                  "table and interface disagree on the parameters");
    TStubResult result;
    auto* object = target.template As<typename Traits::Class>();
    if (!object) {
        result.Status = E_NOINTERFACE;
        return result;
    }
    // Shared, so that a method that defers its reply can still write its reply values.
    auto values = std::make_shared<Values>();
    int r = 0;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                if constexpr (IsArgument(MethodTable[Index].Params[I].Dir))
                    if (r >= 0)
                        r = ReadArg(in, ctx, std::get<I>(*values), variants);
            }(),
            ...);
    }
    (std::make_index_sequence<Traits::Arity>());
    if (r >= 0 && variants && sd_bus_message_at_end(in, false) == 0)
        r = -EBADMSG; // more arguments than parameters
    if (r < 0) {
        result.Marshal = MarshalResultOf(r);
        return result;
    }
    auto writeReply = [values, variants](sd_bus_message* m, IMarshalContext& c) {
        int w = 0;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (
                [&] {
                    if constexpr (IsReplyValue(MethodTable[Index].Params[I].Dir))
                        if (w >= 0)
                            w = WriteArg(m, c, std::get<I>(*values), variants);
                }(),
                ...);
        }
        (std::make_index_sequence<Traits::Arity>());
        return w;
    };
    {
        TDeferralFrame frame{nullptr, CurrentDeferralFrame()};
        CurrentDeferralFrame() = &frame;
        struct TRestore {
            TDeferralFrame& Frame;
            ~TRestore() { CurrentDeferralFrame() = Frame.Outer; }
        } restore{frame};
        result.Status = std::apply([&](auto&... v) { return (object->*Method)(v...); }, *values);
        if (frame.Reply && SUCCEEDED(result.Status)) {
            // The server exports no callbacks of its own, so a later reply needs no context.
            result.Deferred = std::move(frame.Reply);
            result.WriteLater = [writeReply](sd_bus_message* m) {
                return writeReply(m, NoCallbacks());
            };
            return result;
        }
    }
    if (FAILED(result.Status))
        return result;
    if (writeReply(out, ctx) < 0)
        result.Marshal = TMarshalResult::Failed;
    return result;
}

using TStubFunction = TStubResult (*)(const TStubTarget&, IMarshalContext&, sd_bus_message*,
                                      sd_bus_message*, bool);

// The stub of each method, in the order of MethodTable.
extern const TStubFunction StubTable[MethodCount];

// Answers a call of a table method on target: reads the arguments (Invoke: from the `av`),
// calls, and replies with the reply values, or with the error of a failure status, a type
// mismatch or a wrong argument count. An exception escaping the call is E_UNEXPECTED.
void AnswerCall(TZEMBBus& bus, const TBusMessage& call, const TStubTarget& target,
                IMarshalContext& context, const TMethod& method, bool invoke);
// Replies with the D-Bus error of a failure status.
void ReplyStatus(TZEMBBus& bus, const TBusMessage& call, HRESULT status, std::string_view text);

// --- proxies: a C++ call, a message out, the reply in --------------------------------------

// Where a proxy's calls go.
struct TProxyTarget {
    std::shared_ptr<TZEMBBus> Bus;
    std::string Destination;
    std::string Path;
    std::chrono::microseconds Timeout{0};
    IMarshalContext* Context = nullptr;
};

// Sends the method's arguments and, on a normal reply, writes the reply values into the
// caller's references. A failure (error reply, time-out, lost connection, a reply that does
// not fit) gives a failure status and leaves the outputs alone.
template <std::size_t Index, typename... A>
HRESULT ProxyCall(const TProxyTarget& target, const std::tuple<A&...>& args) {
    static_assert(MethodTable[Index].Params.size() == sizeof...(A),
                  "table and interface disagree on the parameters");
    constexpr const TMethod& info = MethodTable[Index];
    auto bus = target.Bus;
    if (!bus || !bus->IsOpen())
        return RPC_E_DISCONNECTED;
    TBusMessage call;
    if (sd_bus_message_new_method_call(
            bus->Get(), call.Out(),
            target.Destination.empty() ? nullptr : target.Destination.c_str(), target.Path.c_str(),
            std::string(InterfaceName(info.Interface)).c_str(), std::string(info.Name).c_str()) < 0)
        return E_UNEXPECTED;
    int r = 0;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                if constexpr (IsArgument(info.Params[I].Dir))
                    if (r >= 0)
                        r = WriteValue(call.Get(), *target.Context, std::get<I>(args));
            }(),
            ...);
    }
    (std::make_index_sequence<sizeof...(A)>());
    if (r < 0)
        return E_INVALIDARG;
    TBusError error;
    TBusMessage reply = bus->Call(call, target.Timeout, error);
    if (!reply && !error.IsSet())
        return S_OK; // sent as part of a call group; its outcome comes with the group's end
    if (!reply)
        return StatusOfError(error.Name(), error.Message());
    if (sd_bus_message_has_signature(reply.Get(), OutSignature(info).c_str()) <= 0)
        return E_UNEXPECTED;
    // Read everything first so that a broken reply changes none of the caller's outputs.
    std::tuple<std::remove_cvref_t<A>...> values{};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                if constexpr (IsReplyValue(info.Params[I].Dir))
                    if (r >= 0)
                        r = ReadValue(reply.Get(), *target.Context, std::get<I>(values));
            }(),
            ...);
    }
    (std::make_index_sequence<sizeof...(A)>());
    if (r < 0)
        return E_UNEXPECTED;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (
            [&] {
                if constexpr (IsReplyValue(info.Params[I].Dir) && !std::is_const_v<A>)
                    std::get<I>(args) = std::move(std::get<I>(values));
            }(),
            ...);
    }
    (std::make_index_sequence<sizeof...(A)>());
    return S_OK;
}

// Defines, inside a class with a `ProxyMethod<Index>(std::tuple<A&...>)`, the override of
// every method of one method list.
#define ZEMB_PROXY_METHOD(intf, slot, dispid, name, ...)                                           \
    HRESULT name(ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_DECL, __VA_ARGS__)) override {                     \
        return ProxyMethod<ZEMB::MethodIndex(ZEMB::TInterface::intf, #name)>(                      \
            std::forward_as_tuple(ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_NAME, __VA_ARGS__)));             \
    }

} // namespace ZEMB
