// SPDX-License-Identifier: MIT
#pragma once
// The fuzz targets whose input is text: each defines FuzzText, which FuzzText.cpp calls with
// every input; Expect stops the run where an invariant breaks.
#include <string_view>

void FuzzText(std::string_view text);

inline void Expect(bool holds) {
    if (!holds)
        __builtin_trap();
}
