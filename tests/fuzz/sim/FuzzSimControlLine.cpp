// SPDX-License-Identifier: MIT
// A control-socket request line from any client: parsed or refused with a message.
#include "SimControl.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto command = ParseSimControlLine(line, error);
    if (!command && error.empty())
        std::abort();
    if (command && command->Verb != TSimControlCommand::TVerb::List && command->Name.empty())
        std::abort();
    return 0;
}
