// SPDX-License-Identifier: MIT
// A control-socket request line from any client: parsed or refused with a message.
#include "FuzzText.h"
#include "SimControl.h"

void FuzzText(std::string_view line) {
    std::string error;
    const auto command = ParseSimControlLine(line, error);
    Expect(command || !error.empty());
    Expect(!command || command->Verb == TSimControlCommand::TVerb::List || !command->Name.empty());
}
