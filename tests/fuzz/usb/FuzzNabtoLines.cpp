// SPDX-License-Identifier: MIT
// "Nabto.ini" interval lines: one per input line, as a configuration is loaded.
#include "FuzzText.h"
#include "usb/LatencySimulation.h"

#include <cstdint>

void FuzzText(std::string_view text) {
    TNabtoSim sim;
    sim.Intervals.clear();
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        (void)SplitCommaText(line);
        if (!sim.AddLine(line))
            break;
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    // The table stays sorted and free of overlaps whatever the lines were.
    for (std::size_t i = 1; i < sim.Intervals.size(); ++i)
        Expect(sim.Intervals[i - 1].FromBytes <= sim.Intervals[i].FromBytes &&
               sim.Intervals[i - 1].ToBytes <= sim.Intervals[i].FromBytes);
    for (std::uint32_t count : {0u, 1u, 64u, 65533u, 2147483647u, 4294967295u})
        (void)sim.IntervalDelay(count);
}
