// SPDX-License-Identifier: MIT
// Device workers hand their results back to the loop's thread, in each device's order,
// and what device code says on a worker is said there too.
#include "usb/DeviceWorker.h"

#include "base/DebugLog.h"
#include "base/OperatorMessages.h"

#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <thread>

namespace {

// Two workers, three jobs each, one of which fails: every result comes back on this thread in
// its device's order, the failure is told and its result handed back all the same.
TEST(DeviceWorker, ResultsComeBackOnTheLoopInEachDevicesOrderAndAFailureIsTold) {
    std::vector<std::string> lines;
    const TDebugOutputSink previous = SetDebugOutputSink(
        [&lines](std::string_view line, std::string_view) { lines.emplace_back(line); });
    TDeviceCompletions completions;
    std::vector<std::pair<int, int>> done; // device, job
    const std::thread::id loop = std::this_thread::get_id();
    bool elsewhere = false;
    {
        TDeviceWorker first(completions), second(completions);
        for (int job = 0; job < 3; ++job) {
            for (int device : {0, 1}) {
                (device == 0 ? first : second)
                    .Run(
                        [device, job] {
                            if (device == 1 && job == 1)
                                throw std::runtime_error("no answer");
                        },
                        [&, device, job] {
                            elsewhere = elsewhere || std::this_thread::get_id() != loop;
                            done.emplace_back(device, job);
                        });
            }
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (done.size() < 6 && std::chrono::steady_clock::now() < until) {
            pollfd fd{completions.Fd(), POLLIN, 0};
            if (::poll(&fd, 1, 1000) > 0)
                completions.RunFinished();
        }
    }
    SetDebugOutputSink(previous);
    ASSERT_EQ(done.size(), 6u);
    EXPECT_FALSE(elsewhere);
    for (int device : {0, 1}) {
        std::vector<int> order;
        for (const auto& [d, job] : done)
            if (d == device)
                order.push_back(job);
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2})) << "device " << device;
    }
    EXPECT_EQ(lines, std::vector<std::string>{"TDeviceWorker.Run: no answer"});
}

// What device code says on a worker, lines and the operator's error boxes, is said on the
// loop's thread when the job's lines are written, in the order it was said.
TEST(DeviceWorker, AnErrorBoxAskedForOnAWorkerIsShownOnTheLoopInItsPlace) {
    struct TBoxes final : IOperatorMessages {
        std::vector<std::string>& Said;
        std::thread::id Loop = std::this_thread::get_id();
        explicit TBoxes(std::vector<std::string>& said) : Said(said) {}
        void ShowInformation(std::string_view) override {}
        void ShowError(std::string_view text) override {
            Said.push_back((std::this_thread::get_id() == Loop ? "box: " : "box elsewhere: ") +
                           std::string(text));
        }
        bool AskYesNo(std::string_view, bool safeAnswer) override { return safeAnswer; }
    };
    std::vector<std::string> said;
    auto previousBoxes = SetOperatorMessages(std::make_unique<TBoxes>(said));
    const TDebugOutputSink previous = SetDebugOutputSink(
        [&said](std::string_view line, std::string_view) { said.emplace_back(line); });
    TDeviceCompletions completions;
    TDeviceLines lines;
    bool written = false;
    {
        TDeviceWorker worker(completions);
        worker.Run(
            [&lines] {
                const TDeviceLineCapture capture(lines);
                DeviceDebugString("before", "RUVAzerComm");
                DeviceShowError("cannot load");
                DeviceDebugString("after", "RUVAzerComm");
            },
            [&] {
                EXPECT_TRUE(said.empty()) << "nothing is said on the worker";
                WriteDeviceLines(lines);
                written = true;
            });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!written && std::chrono::steady_clock::now() < until) {
            pollfd fd{completions.Fd(), POLLIN, 0};
            if (::poll(&fd, 1, 1000) > 0)
                completions.RunFinished();
        }
    }
    SetDebugOutputSink(previous);
    SetOperatorMessages(std::move(previousBoxes));
    EXPECT_EQ(said, (std::vector<std::string>{"before", "box: cannot load", "after"}));
}

} // namespace
