// SPDX-License-Identifier: MIT
#pragma once

// libzemb-client: the ZEMB server's interfaces for C++ clients on Linux.
//
// Connect to the session bus, create a server object by class identifier and call it through
// IZEMBServer4 (or an older interface). Callback objects (IZEMBEvent, IZEMBHost) that the
// client implements are exported on its connection when it passes them to the server; the
// server calls them back on the client's thread:
//  - while a call of the client is waiting for its reply (at any depth: a callback may call
//    the server again), and
//  - between calls, when the client runs ProcessEvents() from its event loop (poll Fd() for
//    Events(), at the latest after TimeoutMs()).
// A client object and everything made from it belong to the thread that connected.
// A call fails (RPC_E_TIMEOUT, RPC_E_DISCONNECTED) when the server does not answer in time or
// goes away; it never hangs beyond the call time-out.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <zemb/InterfaceTable.h>

// What the library exports; everything else in it is hidden.
#define ZEMB_CLIENT_API __attribute__((visibility("default")))

namespace ZEMB {

class TClientCore;

// The longest a call to the server may take by default. Device transfers and enumerations
// run inside the call, so this is generous.
inline constexpr std::chrono::milliseconds DefaultCallTimeout{60000};

class ZEMB_CLIENT_API TZEMBClient {
public:
    // Connects to the session bus. Null, with error filled in when given, on failure.
    static std::unique_ptr<TZEMBClient> Connect(std::string* error = nullptr);
    ~TZEMBClient();
    TZEMBClient(const TZEMBClient&) = delete;
    TZEMBClient& operator=(const TZEMBClient&) = delete;

    // Creates a server object of the class (CLASS_ZEMBServer ... CLASS_ZEMBServer4). The
    // object offers the interface of its class and the older ones; a method of a newer
    // interface fails with E_NOINTERFACE. Null and a failure status on failure. The bus starts
    // the server when it is not running. The object is released when the last reference goes
    // (or explicitly with ReleaseObject).
    std::shared_ptr<IZEMBServer4> CreateInstance(std::string_view classId,
                                                 HRESULT* status = nullptr);

    void SetCallTimeout(std::chrono::milliseconds timeout);
    // Bus name the server is reached at (default org.zemb.ZEMB).
    void SetServerName(std::string name);
    // This connection's unique bus name.
    std::string UniqueName() const;

    // For a foreign event loop: wait until Fd() is ready for Events() (poll(2) flags) or
    // TimeoutMs() passed (-1: no time limit), then ProcessEvents().
    int Fd() const;
    short Events() const;
    int TimeoutMs() const;
    // Serves every callback that is waiting, without blocking. False when the connection to
    // the bus is lost.
    bool ProcessEvents();
    // Waits up to timeout for callbacks and serves them.
    bool WaitForEvents(std::chrono::milliseconds timeout);

    // Withdraws an exported callback object: the server's calls to it fail from now on.
    // Callback objects stay exported (and referenced) until then or until disconnection.
    void Revoke(const std::shared_ptr<IZEMBEvent>& event);
    void Revoke(const std::shared_ptr<IZEMBHost>& host);

private:
    explicit TZEMBClient(std::shared_ptr<TClientCore> core);
    std::shared_ptr<TClientCore> Core_;
};

// Releases a server object made by CreateInstance now and clears the reference, waiting for
// the server's answer (the release when the last reference goes does not wait).
ZEMB_CLIENT_API HRESULT ReleaseObject(std::shared_ptr<IZEMBServer4>& object);
// The object path of a server object made by CreateInstance; empty for other objects.
ZEMB_CLIENT_API std::string ObjectPath(const IZEMBServer& object);
// The interface of the class the object was created for.
ZEMB_CLIENT_API TInterface ObjectClassInterface(const IZEMBServer& object);

// The fourteen values of IZEMBServer::DevInfo for one device, named as its parameters. Mode is
// in-ref: it is passed to the call and comes back as it was.
struct TDevInfo {
    bool Active = false;
    std::uint8_t Mode = 0;
    std::string LinkName;
    std::string FriendlyName;
    std::string SerialNumber;
    std::string VidPid;
    std::string GUID_;
    std::string UserDeviceName;
    std::uint8_t DevType = 0;
    std::uint8_t DriverType = 0;
    std::int32_t Firmware = 0;
    std::uint8_t App_ID_Hardware_Revision = 0;
    std::uint16_t Meas_App_FPGA_Rev = 0;
    bool Result = false;
};

// Calls server.DevInfo(DevID, ...) with info's Mode and fills info from the reply; the status
// of the call. Blocks as the call does (serving callbacks meanwhile); on a failure status info
// is left as it was.
ZEMB_CLIENT_API HRESULT GetDevInfo(IZEMBServer& server, std::int32_t DevID, TDevInfo& info);

} // namespace ZEMB
