// SPDX-License-Identifier: MIT
// What a zemb-cli user types (hex bytes, device types, modes) and what the server sends back
// as text (quoted into JSON answers).
#include "CliFormat.h"

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
    ZEMBCli::ParseDevType(text);
    ZEMBCli::ParseDevMode(text);
    ZEMBCli::ParseClientAppType(text);
    const std::string quoted = ZEMBCli::JsonQuote(text);
    // No raw control character may reach the JSON text.
    for (char c : quoted)
        if (static_cast<unsigned char>(c) < 0x20)
            std::abort();
    return 0;
}
