// SPDX-License-Identifier: MIT
// The simulator's device file: any text is parsed or refused with a message, never more.
#include "FuzzText.h"
#include "SimLinkDevice.h"

#include <algorithm>
#include <cstdint>
#include <span>

void FuzzText(std::string_view text) {
    std::string error;
    const auto devices = ParseSimDeviceFile(text, error);
    Expect(devices || !error.empty());
    for (const auto& d : devices.value_or(std::vector<TSimDeviceConfig>{})) {
        // What the testbed derives from an accepted device must hold together.
        const std::string link = SimLinkNameComponent(d, d.Instance.empty() ? "1-1" : d.Instance);
        Expect(!d.Name.empty() && link.find_first_of("/\n") == std::string::npos);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        (void)SimLinkReply(
            d, std::span<const std::uint8_t>(bytes, std::min<std::size_t>(4, text.size())));
    }
}
