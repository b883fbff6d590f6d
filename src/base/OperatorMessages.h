// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <string>
#include <string_view>

// The seam for the operator's message boxes and yes/no questions. The headless
// implementation writes the text to the debug output and takes the safe answer; the window
// installs one that shows real boxes. Every call blocks until the operator has answered.
class IOperatorMessages {
public:
    virtual ~IOperatorMessages() = default;
    virtual void ShowInformation(std::string_view text) = 0;
    virtual void ShowError(std::string_view text) = 0;
    // Returns the operator's answer; safeAnswer is what to take when nobody can be asked.
    virtual bool AskYesNo(std::string_view text, bool safeAnswer) = 0;
    // The same in a warning box with its own caption and the safe answer as the default button;
    // where no box can show it, it is asked as any other question.
    virtual bool AskWarning(std::string_view caption, std::string_view text, bool safeAnswer) {
        static_cast<void>(caption);
        return AskYesNo(text, safeAnswer);
    }
};

IOperatorMessages& OperatorMessages();
// Installs an implementation for the rest of the process (nullptr restores the headless one)
// and returns the previous one.
std::unique_ptr<IOperatorMessages> SetOperatorMessages(std::unique_ptr<IOperatorMessages> messages);
