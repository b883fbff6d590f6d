// SPDX-License-Identifier: MIT
#include "SetupApi.h"

#include <libudev.h>

std::shared_ptr<TSetupApi> TSetupApi::Load() {
    return nullptr;
}
TSetupApi::~TSetupApi() {
    udev_unref(udev_);
}
std::vector<TSetupApi::TDeviceInterface> TSetupApi::GetClassDevs(const TGUID&, std::size_t) const {
    return {};
}
std::optional<std::string> TSetupApi::DeviceNodeOf(const std::string&) const {
    return {};
}
std::string MakeLinkName(const std::string& vendorId, const std::string& productId,
                         const std::string& instance, const TGUID& interfaceGUID) {
    return "usb#vid_" + vendorId + "&pid_" + productId + "#" + instance + "#" +
           interfaceGUID.ToString();
}
