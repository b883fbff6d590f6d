// SPDX-License-Identifier: MIT
// Any bytes as a group list: the split never loses a comma outside quotes.
#include "base/DebugLog.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string list(reinterpret_cast<const char*>(data), size);
    auto items = SplitGroupList(list);
    bool quoted = list.find('"') != std::string::npos;
    if (!quoted) {
        std::size_t commas = 0;
        for (char c : list) {
            commas += c == ',';
        }
        if (commas > 0 && items.size() < commas + 1) {
            std::abort();
        }
        for (const std::string& item : items) {
            for (char c : item) {
                if (c == ',' || static_cast<unsigned char>(c) < ' ') {
                    std::abort();
                }
            }
        }
    }
    return 0;
}
