// SPDX-License-Identifier: MIT
// The simulator's device file: any text is parsed or refused with a message, never more.
#include "SimLinkDevice.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto devices = ParseSimDeviceFile(text, error);
    if (!devices) {
        if (error.empty())
            std::abort();
        return 0;
    }
    for (const auto& d : *devices) {
        // What the testbed derives from an accepted device must hold together.
        const std::string link = SimLinkNameComponent(d, d.Instance.empty() ? "1-1" : d.Instance);
        if (d.Name.empty() || link.find('/') != std::string::npos ||
            link.find('\n') != std::string::npos)
            std::abort();
        (void)SimLinkReply(d, std::span<const std::uint8_t>(data, size < 4 ? size : 4));
    }
    return 0;
}
