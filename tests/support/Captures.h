// SPDX-License-Identifier: MIT
#pragma once

// What the code under test says while the object lives: its debug lines, its message boxes.

#include "base/DebugLog.h"
#include "base/OperatorMessages.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Debug lines: of one group, or all of them; WithGroup writes each as "group|line".
class TCapturedLog {
public:
    explicit TCapturedLog(std::optional<std::string> group = std::nullopt, bool withGroup = false)
        : group_(std::move(group)) {
        previous_ = SetDebugOutputSink(
            [this, withGroup](std::string_view line, std::string_view lineGroup) {
                if (!group_ || lineGroup == *group_)
                    Lines.push_back(withGroup ? std::string(lineGroup) + "|" + std::string(line)
                                              : std::string(line));
            });
    }
    ~TCapturedLog() { SetDebugOutputSink(std::move(previous_)); }
    TCapturedLog(const TCapturedLog&) = delete;
    TCapturedLog& operator=(const TCapturedLog&) = delete;
    std::vector<std::string> Lines;

private:
    std::optional<std::string> group_;
    TDebugOutputSink previous_;
};

// The texts of the message boxes; a question gets its safe answer.
class TRecordedMessages {
public:
    TRecordedMessages() : previous_(SetOperatorMessages(std::make_unique<TRecorder>(shown))) {}
    ~TRecordedMessages() { SetOperatorMessages(std::move(previous_)); }
    TRecordedMessages(const TRecordedMessages&) = delete;
    TRecordedMessages& operator=(const TRecordedMessages&) = delete;
    std::vector<std::string> shown;

private:
    class TRecorder final : public IOperatorMessages {
    public:
        explicit TRecorder(std::vector<std::string>& shown) : shown_(shown) {}
        void ShowInformation(std::string_view text) override { shown_.emplace_back(text); }
        void ShowError(std::string_view text) override { shown_.emplace_back(text); }
        bool AskYesNo(std::string_view text, bool safeAnswer) override {
            shown_.emplace_back(text);
            return safeAnswer;
        }

    private:
        std::vector<std::string>& shown_;
    };
    std::unique_ptr<IOperatorMessages> previous_;
};
