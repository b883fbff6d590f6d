// SPDX-License-Identifier: MIT
// What a zemb-cli user types (hex bytes, device types, modes) and what the server sends back
// as text (quoted into JSON answers).
#include "CliFormat.h"
#include "contract/Enumerations.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (ZEMBCli::ParseHexBytes(text, bytes, error)) {
        // What was read writes back to hex that reads the same bytes again.
        std::vector<std::uint8_t> again;
        if (!ZEMBCli::ParseHexBytes(ZEMBCli::FormatHex(bytes), again, error) || again != bytes)
            std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    // A value read by name or number reads back the same from the identifier shown for it.
    auto readsBack = [&]<typename E>(auto parse, E) {
        const auto value = parse(text);
        return !value || parse(ZEMB::ToText(E{*value})) == value;
    };
    if (!readsBack(ZEMBCli::ParseDevType, ZEMB::TUSBDevType{}) ||
        !readsBack(ZEMBCli::ParseDevMode, ZEMB::TUSBDevMode{}) ||
        !readsBack(ZEMBCli::ParseClientAppType, ZEMB::TUSBClientAppType{}))
        std::abort();
    const std::string quoted = ZEMBCli::JsonQuote(text);
    // No raw control character or DEL may reach the JSON text.
    for (char c : quoted)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            std::abort();
    return 0;
}
