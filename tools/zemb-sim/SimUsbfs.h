// SPDX-License-Identifier: MIT
#pragma once

#include "SimLinkDevice.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The C libraries' own tag names, declared here so that this header needs neither of them.
typedef struct _GSource GSource;                         // NOLINT(bugprone-reserved-identifier)
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;     // NOLINT(bugprone-reserved-identifier)
typedef struct _UMockdevIoctlClient UMockdevIoctlClient; // NOLINT(bugprone-reserved-identifier)
typedef struct _UMockdevIoctlData UMockdevIoctlData;     // NOLINT(bugprone-reserved-identifier)

// The USB descriptors of a simulated link device: device, configuration, interface 0 with the
// bulk endpoints 0x81 (in) and 0x02 (out).
std::vector<std::uint8_t> SimUsbDescriptors(const TSimDeviceConfig& config);
// String descriptor `index` (0: language list, 1 manufacturer, 2 product, 3 serial); empty
// when the device has none of that index.
std::vector<std::uint8_t> SimUsbStringDescriptor(const TSimDeviceConfig& config,
                                                 std::uint8_t index);

// The usbfs side of one plugged libusb device: a UMockdevIoctlBase whose handlers answer the
// usbfs ioctls and read() of the node from the engine's state. umockdev calls the handlers
// on its worker thread; Gone() may be called from any other thread.
//
// Each open() of the node is a UMockdevIoctlClient, and usbfs keeps state per open file: the
// read position in the descriptors, the claim of interface 0, the URBs. umockdev (0.17) never
// says when a client goes away ("client-vanished" and "notify::connected" do not come) and
// gives a later open the address of a freed client. So the handler holds a reference to every
// client it keeps state for, and lets go of the state when it finds the client disconnected.
// umockdev sees a close only after the closing program has moved on: a claim of interface 0
// that another file holds is answered once that file turns out closed, or with EBUSY after
// kClaimGrace, where the kernel would decide at once.
class TSimUsbfsHandler {
public:
    TSimUsbfsHandler(TSimLinkDevice& device, unsigned devnum, std::function<void()> onUnplugFault);
    ~TSimUsbfsHandler();
    TSimUsbfsHandler(const TSimUsbfsHandler&) = delete;
    TSimUsbfsHandler& operator=(const TSimUsbfsHandler&) = delete;

    UMockdevIoctlBase* Base() const { return base_; }
    // The device was pulled out: fail every pending URB as gone, answer ENODEV from now on.
    void Gone();

private:
    struct Urb {
        UMockdevIoctlClient* client = nullptr; // the open file that submitted it
        UMockdevIoctlData* data = nullptr;     // the URB record in the client, kept for the reap
        UMockdevIoctlData* buffer = nullptr;
        std::uint8_t endpoint = 0;
        std::uint32_t length = 0;
        int status = 0;
        int actualLength = 0;
        std::vector<std::uint8_t> in; // bytes for an IN URB
    };
    static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static int OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    // The state of an open file, made on its first request.
    struct File {
        std::size_t readOffset = 0;
    };
    struct WaitingClaim {
        UMockdevIoctlClient* client = nullptr;
        std::chrono::steady_clock::time_point until;
    };
    static constexpr std::chrono::milliseconds kClaimGrace{250};
    static constexpr std::chrono::milliseconds kClaimRetry{2};
    File& FileLocked(UMockdevIoctlClient* client);
    // Forgets the files whose client has disconnected.
    void SweepLocked();
    void ForgetLocked(UMockdevIoctlClient* client);
    // Claims interface 0 for `client` unless another open file holds it.
    bool ClaimLocked(UMockdevIoctlClient* client);
    // The same, after forgetting closed files when another holds the claim.
    bool TakeClaimLocked(UMockdevIoctlClient* client);
    void WaitForClaimLocked(UMockdevIoctlClient* client);
    static int OnRetryClaims(void* self);
    void HandleIoctl(UMockdevIoctlClient* client);
    void Submit(UMockdevIoctlClient* client);
    void Reap(UMockdevIoctlClient* client);
    void Discard(UMockdevIoctlClient* client);
    void Control(UMockdevIoctlClient* client);
    void CompleteControl(Urb& urb, const std::uint8_t* setup, std::uint32_t dataLength);
    void PollPendingLocked();
    static void Release(Urb& urb);

    TSimLinkDevice& device_;
    const unsigned devnum_;
    std::function<void()> onUnplugFault_;
    UMockdevIoctlBase* base_ = nullptr;
    const std::vector<std::uint8_t> descriptors_;

    std::mutex mutex_;
    bool gone_ = false;
    UMockdevIoctlClient* claimant_ = nullptr;     // the open file holding interface 0
    std::vector<std::unique_ptr<Urb>> pending_;   // IN URBs waiting for a reply
    std::vector<std::unique_ptr<Urb>> completed_; // waiting to be reaped, in order
    std::map<UMockdevIoctlClient*, File> files_;  // each holds a reference to its client
    std::vector<WaitingClaim> waitingClaims_;
    GSource* retry_ = nullptr; // retries the waiting claims on umockdev's worker
};
