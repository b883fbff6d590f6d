// SPDX-License-Identifier: MIT
// What a zemb-cli user types (hex bytes, device types, modes) and what the server sends back
// as text (quoted into JSON answers).
#include "CliFormat.h"
#include "FuzzText.h"
#include "contract/Enumerations.h"

#include <string>
#include <vector>

void FuzzText(std::string_view text) {
    std::vector<std::uint8_t> bytes, again;
    std::string error;
    // What was read writes back to hex that reads the same bytes again.
    if (ZEMBCli::ParseHexBytes(text, bytes, error))
        Expect(ZEMBCli::ParseHexBytes(ZEMBCli::FormatHex(bytes), again, error) && again == bytes);
    else
        Expect(!error.empty());
    // A value read by name or number reads back the same from the identifier shown for it.
    auto readsBack = [&]<typename E>(auto parse, E) {
        const auto value = parse(text);
        return !value || parse(ZEMB::ToText(E{*value})) == value;
    };
    Expect(readsBack(ZEMBCli::ParseDevType, ZEMB::TUSBDevType{}) &&
           readsBack(ZEMBCli::ParseDevMode, ZEMB::TUSBDevMode{}) &&
           readsBack(ZEMBCli::ParseClientAppType, ZEMB::TUSBClientAppType{}));
    // No raw control character or DEL may reach the JSON text.
    for (char c : ZEMBCli::JsonQuote(text))
        Expect(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
}
