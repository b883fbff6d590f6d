// SPDX-License-Identifier: MIT
#pragma once

#include "base/OperatorMessages.h"

// The window build's message boxes: real, modal boxes that wait for the operator.
class TQtOperatorMessages final : public IOperatorMessages {
public:
    void ShowInformation(std::string_view text) override;
    void ShowError(std::string_view text) override;
    bool AskYesNo(std::string_view text, bool safeAnswer) override;
    bool AskWarning(std::string_view caption, std::string_view text, bool safeAnswer) override;
};
