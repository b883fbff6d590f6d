// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ZEMB {

// The byte values that the interfaces carry, by ordinal. The byte is what crosses the D-Bus
// interface, so a value outside the list can arrive: it is kept as it is (the underlying type
// is fixed, so such a value is well defined) and its text form is its decimal number.
enum TUSBClientAppType : std::uint8_t { aciNone, aciBase, aciVantor, aciDostra, aciCorra };
enum TUSBDevMode : std::uint8_t { cmExclusive, cmShared };
enum TUSBDevType : std::uint8_t { dtNotRecognized, dtBrisk, dtMirel, dtFenwy, dtCorra };
enum TUSB_DeviceDriver : std::uint8_t { ddSilabs, ddWinUSB_Silabs, ddWinUSB_ST };

inline constexpr int DevTypeCount = 5;
inline constexpr int DeviceDriverCount = 3;

// The identifier exactly as declared ("dtBrisk", "cmShared"), for log lines and the window.
std::string ToText(TUSBClientAppType value);
std::string ToText(TUSBDevMode value);
std::string ToText(TUSBDevType value);
std::string ToText(TUSB_DeviceDriver value);
// The reverse, exact and case-sensitive; false for an unknown identifier.
bool FromText(std::string_view text, TUSBClientAppType& value);
bool FromText(std::string_view text, TUSBDevMode& value);
bool FromText(std::string_view text, TUSBDevType& value);
bool FromText(std::string_view text, TUSB_DeviceDriver& value);

// "%.2d.%.2d" of the major and minor byte: 0x0203 is "02.03".
std::string FirmwareText(std::uint16_t firmware);

} // namespace ZEMB
