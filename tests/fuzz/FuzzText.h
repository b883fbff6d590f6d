// SPDX-License-Identifier: MIT
#pragma once
// Every fuzz target defines FuzzText, which FuzzText.cpp calls with every input (targets that
// want numbers read it through FuzzedDataProvider); Expect stops the run where an invariant
// breaks.
#include <string_view>

void FuzzText(std::string_view text);

inline void Expect(bool holds) {
    if (!holds)
        __builtin_trap();
}
