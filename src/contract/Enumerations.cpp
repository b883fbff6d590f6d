// SPDX-License-Identifier: MIT
#include "contract/Enumerations.h"

#include <array>
#include <cstdio>

namespace ZEMB {
namespace {

template <typename T, std::size_t N>
std::string EnumToText(T value, const std::array<std::string_view, N>& names) {
    const auto index = static_cast<std::size_t>(value);
    if (index < N)
        return std::string(names[index]);
    return std::to_string(index);
}

template <typename T, std::size_t N>
bool EnumFromText(std::string_view text, T& value, const std::array<std::string_view, N>& names) {
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i] == text) {
            value = static_cast<T>(i);
            return true;
        }
    }
    return false;
}

constexpr std::array<std::string_view, 5> ClientAppTypeNames = {"aciNone", "aciBase", "aciVantor",
                                                                "aciDostra", "aciCorra"};
constexpr std::array<std::string_view, 2> DevModeNames = {"cmExclusive", "cmShared"};
constexpr std::array<std::string_view, 5> DevTypeNames = {"dtNotRecognized", "dtBrisk", "dtMirel",
                                                          "dtFenwy", "dtCorra"};
constexpr std::array<std::string_view, 3> DeviceDriverNames = {"ddSilabs", "ddWinUSB_Silabs",
                                                               "ddWinUSB_ST"};

} // namespace

std::string ToText(TUSBClientAppType value) {
    return EnumToText(value, ClientAppTypeNames);
}
std::string ToText(TUSBDevMode value) {
    return EnumToText(value, DevModeNames);
}
std::string ToText(TUSBDevType value) {
    return EnumToText(value, DevTypeNames);
}
std::string ToText(TUSB_DeviceDriver value) {
    return EnumToText(value, DeviceDriverNames);
}
bool FromText(std::string_view text, TUSBClientAppType& value) {
    return EnumFromText(text, value, ClientAppTypeNames);
}
bool FromText(std::string_view text, TUSBDevMode& value) {
    return EnumFromText(text, value, DevModeNames);
}
bool FromText(std::string_view text, TUSBDevType& value) {
    return EnumFromText(text, value, DevTypeNames);
}
bool FromText(std::string_view text, TUSB_DeviceDriver& value) {
    return EnumFromText(text, value, DeviceDriverNames);
}

std::string FirmwareText(std::uint16_t firmware) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2d.%.2d", firmware >> 8, firmware & 0xFF);
    return text;
}

} // namespace ZEMB
