// SPDX-License-Identifier: MIT
#pragma once

// Stand-ins for the server object and for client callback objects, made from the method table:
// every method checks that its arguments are the agreed values of that method and answers with
// the agreed reply values. The test calls every method with those arguments through the real
// proxies and stubs and checks the replies, so a parameter lost, swapped or mistyped on the
// way in either direction fails the method it belongs to.

#include "bus/Marshal.h"
#include "contract/InterfaceTable.h"

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

namespace StandIn {

// The agreed value of parameter p of method m: phase 0 what the caller sends, phase 1 what the
// callee answers. Values differ per method and parameter, and cover the top bit of every width
// and text beyond ASCII. Every reply's Result is true, which the example client and the callback
// tests go by.
using S = std::size_t;
template <typename I> struct TRecorder;
template <typename T> void Fill(T& v, S m, S p, S phase) {
    if constexpr (std::is_same_v<T, std::int32_t>)
        v = static_cast<std::int32_t>(m * 1000 + p * 10 + phase) * (phase ? -1 : 1);
    else if constexpr (std::is_same_v<T, std::uint8_t>)
        v = static_cast<std::uint8_t>(m * 7 + p * 3 + phase * 128);
    else if constexpr (std::is_same_v<T, std::uint16_t>)
        v = static_cast<std::uint16_t>(0x8000u + m * 31 + p + phase * 999);
    else if constexpr (std::is_same_v<T, bool>)
        v = (phase == 1 && ZEMB::MethodTable[m].Params[p].Name == "Result") ||
            (m + p + phase) % 2 == 0;
    else if constexpr (std::is_same_v<T, std::string>)
        v = "M" + std::to_string(m) + "P" + std::to_string(p) + "/" + std::to_string(phase) +
            " Grüße";
    else if constexpr (std::is_same_v<T, ZEMB::TSafeByteArray>) {
        std::vector<std::uint8_t> bytes(m % 5 + p + phase * 3 + 1);
        for (S i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 37 + m + phase * 200);
        bytes.back() = 0xFF;
        v = ZEMB::TSafeByteArray(std::move(bytes));
    } else // a callback argument: a new recorder (below) that answers with the agreed values
        v = std::make_shared<TRecorder<typename T::element_type>>();
}

template <typename T> T Agreed(S m, S p, S phase) {
    T v{};
    Fill(v, m, p, phase);
    return v;
}
template <typename T> bool Matches(const T& v, S m, S p, S phase) {
    if constexpr (requires { v.get(); })
        return v != nullptr; // a callback arrives as some object; which one is the bus layer's
    else
        return v == Agreed<T>(m, p, phase);
}

// Calls f(std::integral_constant<std::size_t, I>) for every I below N.
template <std::size_t N, typename F> void ForEachIndex(F&& f) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (f(std::integral_constant<std::size_t, I>()), ...);
    }
    (std::make_index_sequence<N>());
}

// False in the stand-in server when it serves other tests: it answers without checking.
inline bool CheckArguments = true;

// Callee side: checks the arguments, writes the reply values (and the in-ref value, which
// must not travel back).
template <std::size_t Index, typename... A> ZEMB::HRESULT Answer(const std::tuple<A&...>& args) {
    constexpr const ZEMB::TMethod& info = ZEMB::MethodTable[Index];
    bool ok = true;
    ForEachIndex<sizeof...(A)>([&](auto i) { // each value checked before it is overwritten
        if constexpr (ZEMB::IsArgument(info.Params[i].Dir))
            ok = ok && (!CheckArguments || Matches(std::get<i>(args), Index, i, 0));
        if constexpr (info.Params[i].Dir != ZEMB::TParamDir::In &&
                      !std::is_const_v<std::tuple_element_t<i, std::tuple<A...>>>)
            Fill(std::get<i>(args), Index, i, 1);
    });
    return ok ? ZEMB::S_OK : ZEMB::E_INVALIDARG;
}

// Caller side: calls one method with the agreed arguments; true when the status is S_OK, the
// reply values are the agreed ones and the in-ref value came back unchanged.
template <std::size_t Index, typename C, typename M> bool Exercise(C& object, M method) {
    using Values = typename ZEMB::TMethodTraits<M>::Values;
    constexpr const ZEMB::TMethod& info = ZEMB::MethodTable[Index];
    constexpr std::size_t N = std::tuple_size_v<Values>;
    Values values{};
    ForEachIndex<N>([&](auto i) {
        if constexpr (ZEMB::IsArgument(info.Params[i].Dir))
            Fill(std::get<i>(values), Index, i, 0);
    });
    bool ok = std::apply([&](auto&... v) { return (object.*method)(v...); }, values) == ZEMB::S_OK;
    ForEachIndex<N>([&](auto i) {
        if constexpr (constexpr auto dir = info.Params[i].Dir; dir != ZEMB::TParamDir::In)
            ok = ok && Matches(std::get<i>(values), Index, i, ZEMB::IsReplyValue(dir) ? 1 : 0);
    });
    return ok;
}

#define STANDIN_ANSWER(intf, slot, dispid, name, ...)                                              \
    ZEMB::HRESULT name(ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_DECL, __VA_ARGS__)) override {               \
        return StandIn::Answer<ZEMB::MethodIndex(ZEMB::TInterface::intf, #name)>(                  \
            std::forward_as_tuple(ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_NAME, __VA_ARGS__)));             \
    }

// The names of the methods of object's interface (and those it extends) that did not round-trip
// with the agreed values, each followed by a blank.
#define STANDIN_EXERCISE(intf, slot, dispid, name, ...)                                            \
    if constexpr (std::is_base_of_v<ZEMB::intf, I>)                                                \
        if (!Exercise<ZEMB::MethodIndex(ZEMB::TInterface::intf, #name)>(object,                    \
                                                                        &ZEMB::intf::name))        \
            failed += #name " ";
template <typename I> std::string Failing(I& object) {
    std::string failed;
    ZEMB_ALL_METHODS(STANDIN_EXERCISE)
    return failed;
}

template <> struct TRecorder<ZEMB::IZEMBEvent> final : ZEMB::IZEMBEvent {
    ZEMB_IZEMBEVENT_METHODS(STANDIN_ANSWER)
};
template <> struct TRecorder<ZEMB::IZEMBHost> final : ZEMB::IZEMBHost {
    ZEMB_IZEMBHOST_METHODS(STANDIN_ANSWER)
};
// Not final: the stand-in server builds on it.
template <> struct TRecorder<ZEMB::IZEMBServer4> : ZEMB::IZEMBServer4 {
    ZEMB_IZEMBSERVER_METHODS(STANDIN_ANSWER)
    ZEMB_IZEMBSERVER2_METHODS(STANDIN_ANSWER)
    ZEMB_IZEMBSERVER3_METHODS(STANDIN_ANSWER)
    ZEMB_IZEMBSERVER4_METHODS(STANDIN_ANSWER)
};

} // namespace StandIn
