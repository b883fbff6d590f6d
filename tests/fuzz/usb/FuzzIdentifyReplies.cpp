// SPDX-License-Identifier: MIT
// Device replies through Identify: a device path, then whatever the transport hands back to
// each read (success or failure, any length up to the count asked for, any bytes).
#include "FuzzText.h"
#include "base/DebugLog.h"
#include "base/Settings.h"
#include "usb/LinkDevice.h"

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
    // The protocol only moves bytes on an open device.
    bool WriteBuffer(const std::uint8_t* Buffer, std::uint32_t Count,
                     std::uint32_t& BytesWritten) override {
        TUSB_IFDeviceLocal::WriteBuffer(Buffer, Count, BytesWritten);
        Expect(Active());
        BytesWritten = input_.ConsumeIntegralInRange<std::uint32_t>(0, Count);
        return input_.ConsumeBool();
    }
    bool ReadBuffer(std::uint8_t* Buffer, std::uint32_t Count, std::uint32_t& BytesRead) override {
        TUSB_IFDeviceLocal::ReadBuffer(Buffer, Count, BytesRead);
        Expect(Active());
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

void FuzzText(std::string_view text) {
    [[maybe_unused]] static const auto loud = SetDebugOutputSink([](auto, auto) {});
    FuzzedDataProvider input(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    ZEMBSettings().EnableEEPWrite = input.ConsumeBool();
    const std::string path = input.ConsumeRandomLengthString(200);
    TFuzzedDevice device(input);
    device.Identify(path);
    // Identification always leaves the device closed and a known type.
    Expect(!device.Active() && device.DevType <= dtFenwy);
}
