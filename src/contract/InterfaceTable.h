// SPDX-License-Identifier: MIT
#pragma once

// The ZEMB type library 1.0: identifiers, the byte-array type and the one table
// of every method of the six automation interfaces. The C++ interfaces, the table, the
// introspection XML, the stubs, the proxies and IDispatch are all expanded from the method
// lists below, so adding a method is one line in a list plus its implementation.
// No D-Bus here: the host layer includes this header without linking sd-bus.

// Siblings by their own name: the same lines work in the source tree and as installed <zemb/...>.
#include "Enumerations.h"
#include "Status.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ZEMB {

// Library, interface and class identifiers, braced and upper case as clients pass them.
inline constexpr std::string_view LIBID_ZEMB = "{719C2088-B212-4D33-B27B-1EB070551F60}";
inline constexpr int ZEMBMajorVersion = 1;
inline constexpr int ZEMBMinorVersion = 0;

inline constexpr std::string_view IID_IZEMBServer = "{40E6511E-2CC3-46F1-8AD8-9BE8DAFEB56B}";
inline constexpr std::string_view IID_IZEMBServer2 = "{6F8F4AEA-467B-432F-AFDB-DDD82652A580}";
inline constexpr std::string_view IID_IZEMBServer3 = "{CA11B23A-2972-4FE2-945B-A7E0115F09AD}";
inline constexpr std::string_view IID_IZEMBServer4 = "{D5B4C14F-FD2E-4A67-BDF9-E975412CA4B9}";
inline constexpr std::string_view IID_IZEMBEvent = "{662790A7-A39B-46B7-9E83-AD461271F249}";
inline constexpr std::string_view IID_IZEMBHost = "{36F755B1-616D-463A-9194-647B935B65D2}";

inline constexpr std::string_view CLASS_ZEMBServer = "{FD1AB2E3-195A-4421-BD88-145B0282181C}";
inline constexpr std::string_view CLASS_ZEMBServer2 = "{A2BD98BC-1352-4793-9947-A4B5C586F342}";
inline constexpr std::string_view CLASS_ZEMBServer3 = "{9B9560C3-6E7A-44CD-8587-DBE3217AD91D}";
inline constexpr std::string_view CLASS_ZEMBServer4 = "{20549748-3037-452C-8F0E-D1196256B182}";
inline constexpr std::string_view CLASS_ZEMBEvent = "{4620B006-1ABA-41A1-8FB7-F9D50952A48B}";
inline constexpr std::string_view CLASS_ZEMBHost = "{DFF3AB64-D372-4D16-8BBB-CEF1F859ABEB}";

// A one-dimensional array of elements of ElementSize bytes each, as the clients' safe arrays
// are: 10 elements of 4 bytes are 40 bytes. On D-Bus it travels as `ay` with element size 1.
class TSafeByteArray {
public:
    TSafeByteArray() = default;
    explicit TSafeByteArray(std::vector<std::uint8_t> bytes) : Data_(std::move(bytes)) {}
    TSafeByteArray(std::size_t count, std::uint32_t elementSize)
        : Data_(count * elementSize), ElementSize_(elementSize == 0 ? 1 : elementSize) {}

    std::size_t Count() const { return Data_.size() / ElementSize_; }
    std::uint32_t ElementSize() const { return ElementSize_; }
    // Element size times element count: the bytes a transfer moves.
    std::size_t Bytes() const { return Count() * ElementSize_; }
    std::span<std::uint8_t> Data() { return {Data_.data(), Bytes()}; }
    std::span<const std::uint8_t> Data() const { return {Data_.data(), Bytes()}; }
    // Replaces the contents; the element size becomes 1, as after a trip over the bus.
    void Assign(std::span<const std::uint8_t> bytes) {
        Data_.assign(bytes.begin(), bytes.end());
        ElementSize_ = 1;
    }
    void Resize(std::size_t count) { Data_.resize(count * ElementSize_); }

    friend bool operator==(const TSafeByteArray&, const TSafeByteArray&) = default;

private:
    std::vector<std::uint8_t> Data_;
    std::uint32_t ElementSize_ = 1;
};

// The most bytes one WriteBuffer or ReadBuffer moves: 16 MiB. A link device's own buffer holds
// less than 64 KiB, and at USB full speed even 16 MiB outlasts a transfer's time-out, so a
// larger array is refused with Result False before any device is asked.
inline constexpr std::size_t MaxTransferBytes = std::size_t{16} * 1024 * 1024;

class IZEMBEvent;
class IZEMBHost;

enum class TInterface : std::uint8_t {
    IZEMBServer,
    IZEMBServer2,
    IZEMBServer3,
    IZEMBServer4,
    IZEMBEvent,
    IZEMBHost
};

// in-ref: an input passed by reference; what the callee writes stays in its own process.
enum class TParamDir : std::uint8_t { In, Out, InOut, InRef };
enum class TParamType : std::uint8_t {
    Int32,
    Byte,
    Word,
    Bool,
    WText,
    AText,
    ByteArray,
    Event,
    HostSink
};

template <TParamType T> struct TValueOf;
template <> struct TValueOf<TParamType::Int32> { using type = std::int32_t; };
template <> struct TValueOf<TParamType::Byte> { using type = std::uint8_t; };
template <> struct TValueOf<TParamType::Word> { using type = std::uint16_t; };
template <> struct TValueOf<TParamType::Bool> { using type = bool; };
template <> struct TValueOf<TParamType::WText> { using type = std::string; };
template <> struct TValueOf<TParamType::AText> { using type = std::string; };
template <> struct TValueOf<TParamType::ByteArray> { using type = TSafeByteArray; };
// A callback reference; empty means none. The same remote object always gives the same
// pointer, so that a stored sink can be compared with a new one.
template <> struct TValueOf<TParamType::Event> { using type = std::shared_ptr<IZEMBEvent>; };
template <> struct TValueOf<TParamType::HostSink> { using type = std::shared_ptr<IZEMBHost>; };

template <TParamDir D, TParamType T> struct TArgOf { using type = typename TValueOf<T>::type&; };
template <TParamType T> struct TArgOf<TParamDir::In, T> {
    using type = const typename TValueOf<T>::type&;
};
template <> struct TArgOf<TParamDir::In, TParamType::Int32> { using type = std::int32_t; };
template <> struct TArgOf<TParamDir::In, TParamType::Byte> { using type = std::uint8_t; };
template <> struct TArgOf<TParamDir::In, TParamType::Word> { using type = std::uint16_t; };
template <> struct TArgOf<TParamDir::In, TParamType::Bool> { using type = bool; };

// The C++ parameter type of a table parameter: inputs by value or const reference, every
// other direction by reference.
template <TParamDir D, TParamType T> using TArg = typename TArgOf<D, T>::type;

struct TParam {
    std::string_view Name;
    TParamDir Dir;
    TParamType Type;
};

struct TMethod {
    TInterface Interface;
    std::string_view Name;
    int Slot;
    std::int32_t DispId;
    std::span<const TParam> Params;
};

// The method lists: one line per method, in slot order, with (direction, type, name) per
// parameter in declaration order. M(Interface, Slot, DispId, Name, params...).
#define ZEMB_IZEMBSERVER_METHODS(M)                                                                \
    M(IZEMBServer, 7, 201, ConnectDevice, (In, Int32, ClientAppID), (In, Int32, DevID),            \
      (In, Byte, Mode), (In, Event, Callback), (Out, Int32, ConnectID), (Out, Bool, Result))       \
    M(IZEMBServer, 8, 202, OpenDevice, (In, Int32, ConnectID), (Out, Bool, Result))                \
    M(IZEMBServer, 9, 203, CloseDevice, (In, Int32, ConnectID), (Out, Bool, Result))               \
    M(IZEMBServer, 10, 204, DisconnectDevice, (In, Int32, ConnectID), (Out, Bool, Result))         \
    M(IZEMBServer, 11, 205, WriteBuffer, (In, Int32, ConnectID), (In, ByteArray, WriteData),       \
      (Out, Int32, WriteCount), (Out, Bool, Result))                                               \
    M(IZEMBServer, 12, 206, ReadBuffer, (In, Int32, ConnectID), (InOut, ByteArray, ReadData),      \
      (Out, Int32, ReadCount), (Out, Bool, Result))                                                \
    M(IZEMBServer, 13, 207, DevInfo, (In, Int32, DevID), (Out, Bool, Active), (InRef, Byte, Mode), \
      (Out, WText, LinkName), (Out, WText, FriendlyName), (Out, WText, SerialNumber),              \
      (Out, WText, VidPid), (Out, WText, GUID_), (Out, WText, UserDeviceName),                     \
      (Out, Byte, DevType), (Out, Byte, DriverType), (Out, Int32, Firmware),                       \
      (Out, Byte, App_ID_Hardware_Revision), (Out, Word, Meas_App_FPGA_Rev), (Out, Bool, Result))  \
    M(IZEMBServer, 14, 208, TrafficStat, (In, Int32, ConnectID), (Out, Int32, TotalWriteCount),    \
      (Out, Int32, TotalReadCount), (Out, Bool, Result))                                           \
    M(IZEMBServer, 15, 209, EnumDevices, (In, Byte, DevType), (Out, Bool, Result))                 \
    M(IZEMBServer, 16, 210, ConnectInfo, (In, Int32, ConnectID), (Out, Int32, DevID),              \
      (Out, Int32, ClientAppID), (Out, Bool, Connected), (Out, Bool, Active), (Out, Byte, Mode),   \
      (Out, Bool, Result))                                                                         \
    M(IZEMBServer, 17, 212, HookupClientApp, (In, Byte, ClientAppType),                            \
      (In, AText, ClientComputerName), (In, AText, ClientExeName), (Out, Int32, ClientAppID),      \
      (Out, Bool, Result))                                                                         \
    M(IZEMBServer, 18, 213, UnhookClientApp, (In, Int32, ClientAppID), (Out, Bool, Result))        \
    M(IZEMBServer, 19, 215, ClientAppInfo, (In, Int32, ClientAppID), (Out, Byte, ClientAppType),   \
      (Out, WText, ClientAppComputerName), (Out, WText, ClientAppExeName), (Out, Bool, Result))    \
    M(IZEMBServer, 20, 216, EnumApplications, (Out, Bool, Result))                                 \
    M(IZEMBServer, 21, 211, EnumConnections, (Out, Bool, Result))                                  \
    M(IZEMBServer, 22, 214, FirstDevice, (In, Byte, DevType), (In, Byte, Mode),                    \
      (Out, Int32, DevID), (Out, Bool, Result))                                                    \
    M(IZEMBServer, 23, 217, SetZEMBHost, (In, HostSink, ZEMBHost), (Out, Bool, Result))            \
    M(IZEMBServer, 24, 218, SetSuperUseMode, (Out, Bool, Result))

#define ZEMB_IZEMBSERVER2_METHODS(M)                                                               \
    M(IZEMBServer2, 25, 301, FirstDevice2, (In, Byte, DevType), (In, Int32, ClientAppID),          \
      (In, Byte, Mode), (Out, Int32, DevID), (Out, Bool, Result))

#define ZEMB_IZEMBSERVER3_METHODS(M)                                                               \
    M(IZEMBServer3, 26, 401, TotalBufferSize, (In, Int32, DevID), (Out, Int32, Value),             \
      (Out, Bool, Result))                                                                         \
    M(IZEMBServer3, 27, 402, HookupClientApp2, (In, Byte, ClientAppType),                          \
      (In, Int32, ClientProcessID), (In, AText, ClientComputerName), (In, AText, ClientExeName),   \
      (Out, Int32, ClientAppID), (Out, Bool, Result))                                              \
    M(IZEMBServer3, 28, 403, StartSession, (In, Int32, ConnectID), (Out, Bool, Result))            \
    M(IZEMBServer3, 29, 404, EndSession, (In, Int32, ConnectID), (Out, Bool, Result))

#define ZEMB_IZEMBSERVER4_METHODS(M)                                                               \
    M(IZEMBServer4, 30, 501, SetZEMBHost2, (In, Int32, ClientAppID), (In, HostSink, ZEMBHost),     \
      (Out, Bool, Result))                                                                         \
    M(IZEMBServer4, 31, 502, EnumDevices2, (In, Int32, ClientAppID), (In, Byte, DevType),          \
      (Out, Bool, Result))                                                                         \
    M(IZEMBServer4, 32, 503, EnumApplications2, (In, Int32, ClientAppID), (Out, Bool, Result))     \
    M(IZEMBServer4, 33, 504, EnumConnection2, (In, Int32, ClientAppID), (Out, Bool, Result))

#define ZEMB_IZEMBEVENT_METHODS(M)                                                                 \
    M(IZEMBEvent, 7, 201, Disconnected, (In, Int32, ConnectID))                                    \
    M(IZEMBEvent, 8, 202, Reconnected, (In, Int32, ConnectID))

#define ZEMB_IZEMBHOST_METHODS(M)                                                                  \
    M(IZEMBHost, 7, 201, EnumDevice, (In, Int32, DevID), (Out, Bool, Result))                      \
    M(IZEMBHost, 8, 204, EnumConnection, (In, Int32, ConnectID), (Out, Bool, Result))              \
    M(IZEMBHost, 9, 205, EnumApplication, (In, Int32, ClientAppID), (Out, Bool, Result))           \
    M(IZEMBHost, 10, 202, DeviceAdded, (In, Int32, DevID), (Out, Bool, Result))                    \
    M(IZEMBHost, 11, 203, DeviceRemoved, (In, Int32, DevID), (Out, Bool, Result))

#define ZEMB_ALL_METHODS(M)                                                                        \
    ZEMB_IZEMBSERVER_METHODS(M)                                                                    \
    ZEMB_IZEMBSERVER2_METHODS(M)                                                                   \
    ZEMB_IZEMBSERVER3_METHODS(M)                                                                   \
    ZEMB_IZEMBSERVER4_METHODS(M)                                                                   \
    ZEMB_IZEMBEVENT_METHODS(M)                                                                     \
    ZEMB_IZEMBHOST_METHODS(M)

// Applies a macro to each argument (separated by commas or not). Bounded recursion through
// repeated rescans; 256 rescans are far more than the longest parameter list.
#define ZEMB_PARENS ()
#define ZEMB_EXPAND(...) ZEMB_EXPAND4(ZEMB_EXPAND4(ZEMB_EXPAND4(ZEMB_EXPAND4(__VA_ARGS__))))
#define ZEMB_EXPAND4(...) ZEMB_EXPAND3(ZEMB_EXPAND3(ZEMB_EXPAND3(ZEMB_EXPAND3(__VA_ARGS__))))
#define ZEMB_EXPAND3(...) ZEMB_EXPAND2(ZEMB_EXPAND2(ZEMB_EXPAND2(ZEMB_EXPAND2(__VA_ARGS__))))
#define ZEMB_EXPAND2(...) ZEMB_EXPAND1(ZEMB_EXPAND1(ZEMB_EXPAND1(ZEMB_EXPAND1(__VA_ARGS__))))
#define ZEMB_EXPAND1(...) __VA_ARGS__
#define ZEMB_FOR_EACH_COMMA(m, ...)                                                                \
    __VA_OPT__(ZEMB_EXPAND(ZEMB_FOR_EACH_COMMA_STEP(m, __VA_ARGS__)))
#define ZEMB_FOR_EACH_COMMA_STEP(m, a, ...)                                                        \
    m a __VA_OPT__(, ZEMB_FOR_EACH_COMMA_AGAIN ZEMB_PARENS(m, __VA_ARGS__))
#define ZEMB_FOR_EACH_COMMA_AGAIN() ZEMB_FOR_EACH_COMMA_STEP

#define ZEMB_PARAM_DECL(dir, type, name)                                                           \
    ZEMB::TArg<ZEMB::TParamDir::dir, ZEMB::TParamType::type> name
#define ZEMB_PARAM_TYPE(dir, type, name) ZEMB::TArg<ZEMB::TParamDir::dir, ZEMB::TParamType::type>
#define ZEMB_PARAM_NAME(dir, type, name) name
// clang-format off
#define ZEMB_PARAM_ENTRY(dir, type, name) \
    ZEMB::TParam{#name, ZEMB::TParamDir::dir, ZEMB::TParamType::type}
// clang-format on

#define ZEMB_DECLARE_METHOD(intf, slot, dispid, name, ...)                                         \
    virtual ZEMB::HRESULT name(ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_DECL, __VA_ARGS__)) = 0;

// Every method returns the status; a server method gives its outcome in Result (true/false),
// its status is S_OK in every ordinary case.
class IZEMBServer {
public:
    virtual ~IZEMBServer() = default;
    ZEMB_IZEMBSERVER_METHODS(ZEMB_DECLARE_METHOD)
};

class IZEMBServer2 : public IZEMBServer {
public:
    ZEMB_IZEMBSERVER2_METHODS(ZEMB_DECLARE_METHOD)
};

class IZEMBServer3 : public IZEMBServer2 {
public:
    ZEMB_IZEMBSERVER3_METHODS(ZEMB_DECLARE_METHOD)
};

class IZEMBServer4 : public IZEMBServer3 {
public:
    ZEMB_IZEMBSERVER4_METHODS(ZEMB_DECLARE_METHOD)
};

// Implemented by a client, one per connection. A failure status is the client's way of
// saying the call did not arrive.
class IZEMBEvent {
public:
    virtual ~IZEMBEvent() = default;
    ZEMB_IZEMBEVENT_METHODS(ZEMB_DECLARE_METHOD)
};

// Implemented by a client, one per client application (and by the operator window for
// itself). During the enumeration calls a failure status ends the enumeration.
class IZEMBHost {
public:
    virtual ~IZEMBHost() = default;
    ZEMB_IZEMBHOST_METHODS(ZEMB_DECLARE_METHOD)
};

namespace Params {
#define ZEMB_PARAM_ARRAY(intf, slot, dispid, name, ...)                                            \
    inline constexpr TParam intf##_##name[] = {ZEMB_FOR_EACH_COMMA(ZEMB_PARAM_ENTRY, __VA_ARGS__)};
ZEMB_ALL_METHODS(ZEMB_PARAM_ARRAY)
#undef ZEMB_PARAM_ARRAY
} // namespace Params

#define ZEMB_METHOD_ENTRY(intf, slot, dispid, name, ...)                                           \
    TMethod{TInterface::intf, #name, slot, dispid, Params::intf##_##name},

// Every method of the library, interface by interface, each in slot order.
inline constexpr TMethod MethodTable[] = {ZEMB_ALL_METHODS(ZEMB_METHOD_ENTRY)};
#undef ZEMB_METHOD_ENTRY

inline constexpr std::size_t MethodCount = std::size(MethodTable);

// Index of a method in MethodTable; MethodCount when absent.
constexpr std::size_t MethodIndex(TInterface intf, std::string_view name) {
    for (std::size_t i = 0; i < MethodCount; ++i)
        if (MethodTable[i].Interface == intf && MethodTable[i].Name == name)
            return i;
    return MethodCount;
}

// D-Bus name of an interface: "org.zemb.ZEMB.IZEMBServer2" and so on.
std::string_view InterfaceName(TInterface intf);
// The interface identifier ("{40E6…}") of an interface.
std::string_view InterfaceId(TInterface intf);
// The interface and every interface it derives from, root first (IZEMBServer first).
std::span<const TInterface> InterfaceChain(TInterface intf);
// The interface a method belongs to, found by its D-Bus interface name.
bool InterfaceFromName(std::string_view name, TInterface& intf);
// The D-Bus type code of a parameter type ("i", "y", "q", "b", "s", "ay", "o").
std::string_view Signature(TParamType type);
// Argument and reply signatures of a method: in, in-out and in-ref parameters are the
// arguments; out and in-out parameters the reply values, Result last.
// Made once per method of MethodTable.
const std::string& InSignature(const TMethod& method);
const std::string& OutSignature(const TMethod& method);
constexpr bool IsArgument(TParamDir dir) {
    return dir != TParamDir::Out;
}
constexpr bool IsReplyValue(TParamDir dir) {
    return dir == TParamDir::Out || dir == TParamDir::InOut;
}

// Looks a method up by its dispatch identifier among the interfaces of an object whose most
// derived interface is intf (IZEMBServer4 objects answer every dispatch identifier of
// IZEMBServer). Null when unknown.
const TMethod* FindByDispId(TInterface intf, std::int32_t dispId);
// The same by name (GetIDsOfNames), compared without regard to case as automation does.
const TMethod* FindByName(TInterface intf, std::string_view name);
// By D-Bus interface and member name, exact.
const TMethod* FindMember(TInterface intf, std::string_view member);

// Well-known bus name, factory path and interfaces of the D-Bus contract.
inline constexpr std::string_view BusName = "org.zemb.ZEMB";
inline constexpr std::string_view FactoryPath = "/org/zemb/ZEMB";
inline constexpr std::string_view ObjectPathPrefix = "/org/zemb/ZEMB/objects/";
inline constexpr std::string_view ClassFactoryInterface = "org.zemb.ZEMB.ClassFactory";
inline constexpr std::string_view ObjectInterface = "org.zemb.ZEMB.Object";
inline constexpr std::string_view DispatchInterface = "org.zemb.ZEMB.IDispatch";
inline constexpr std::string_view ErrorUnexpected = "org.zemb.ZEMB.Error.Unexpected";

// The introspection XML of an object whose most derived interface is intf, with the object
// interface and IDispatch for server objects; the slot and dispatch identifier of every
// method as annotations, every argument named. Also the interface file that registration
// installs (AllInterfacesXml: every interface of the library, no node children).
std::string IntrospectionXml(TInterface intf, std::span<const std::string> children = {});
std::string FactoryIntrospectionXml(std::span<const std::string> children = {});
// A node with children only (the paths above the factory and the objects).
std::string NodeIntrospectionXml(std::span<const std::string> children);
std::string AllInterfacesXml();

} // namespace ZEMB
