// SPDX-License-Identifier: MIT
// Any bytes as a group list: the split never loses a comma outside quotes.
#include "FuzzText.h"
#include "base/DebugLog.h"

#include <algorithm>
#include <string>

void FuzzText(std::string_view list) {
    const auto items = SplitGroupList(list);
    if (list.find('"') != std::string_view::npos)
        return;
    const auto commas = static_cast<std::size_t>(std::count(list.begin(), list.end(), ','));
    Expect(commas == 0 || items.size() >= commas + 1);
    for (const std::string& item : items)
        for (char c : item)
            Expect(c != ',' && static_cast<unsigned char>(c) >= ' ');
}
