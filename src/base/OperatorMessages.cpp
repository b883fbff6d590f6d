// SPDX-License-Identifier: MIT
#include "base/OperatorMessages.h"

#include "base/DebugLog.h"

namespace {
// Nobody to ask: the text goes to the debug output and the safe answer is taken.
class THeadlessMessages final : public IOperatorMessages {
public:
    void ShowInformation(std::string_view text) override { ConfDebugString(text); }
    void ShowError(std::string_view text) override { ConfDebugString(text); }
    bool AskYesNo(std::string_view text, bool safeAnswer) override {
        ConfDebugString(text);
        return safeAnswer;
    }
};

std::unique_ptr<IOperatorMessages>& Installed() {
    static std::unique_ptr<IOperatorMessages> messages = std::make_unique<THeadlessMessages>();
    return messages;
}
} // namespace

IOperatorMessages& OperatorMessages() {
    return *Installed();
}

std::unique_ptr<IOperatorMessages>
SetOperatorMessages(std::unique_ptr<IOperatorMessages> messages) {
    if (!messages) {
        messages = std::make_unique<THeadlessMessages>();
    }
    std::swap(messages, Installed());
    return messages;
}
