// SPDX-License-Identifier: MIT
// Device replies through Identify: a device path, then whatever the transport hands back to
// each read (success or failure, any length up to the count asked for, any bytes).
#include "base/DebugLog.h"
#include "base/Settings.h"
#include "usb/LinkDevice.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

class TFuzzedDevice : public TUSB_IFDeviceLocal {
public:
    explicit TFuzzedDevice(FuzzedDataProvider& input) : input_(input) {}
    ~TFuzzedDevice() override { CloseOnDestroy(); }

    bool OpenDevice() override {
        if (!input_.ConsumeBool())
            return false;
        Handle = TUniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        return Handle.Valid();
    }
    bool CloseDevice() override { return Handle.Valid() && Handle.Close(); }
    bool WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                     std::uint32_t& BytesWritten) override {
        TUSB_IFDeviceLocal::WriteBuffer(Buffer, Count, BytesWritten);
        if (!Active())
            __builtin_trap(); // the protocol only writes to an open device
        BytesWritten = input_.ConsumeIntegralInRange<std::uint32_t>(0, Count);
        return input_.ConsumeBool();
    }
    bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& BytesRead) override {
        TUSB_IFDeviceLocal::ReadBuffer(Buffer, Count, BytesRead);
        if (!Active())
            __builtin_trap();
        const auto bytes = input_.ConsumeBytes<std::uint8_t>(
            input_.ConsumeIntegralInRange<std::uint32_t>(0, Count));
        std::copy(bytes.begin(), bytes.end(), Buffer);
        BytesRead = static_cast<std::uint32_t>(bytes.size());
        return input_.ConsumeBool();
    }

private:
    FuzzedDataProvider& input_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        SetDebugOutputSink([](std::string_view, std::string_view) {});
        return true;
    }();
    (void)quiet;
    FuzzedDataProvider input(data, size);
    ZEMBSettings().EnableEEPWrite = input.ConsumeBool();
    const std::string path = input.ConsumeRandomLengthString(200);
    TFuzzedDevice device(input);
    device.Identify(path);
    // Identification always leaves the device closed and a known type.
    if (device.Active() || device.DevType > dtFenwy)
        __builtin_trap();
    return 0;
}
